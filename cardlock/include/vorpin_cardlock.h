/*
 * vorpin_cardlock: the one lock that serializes card work in a process.
 *
 * The card library keeps the PKCS#11 module, its function list and the slot
 * list in process-wide state between vorpin_init and vorpin_fini, and the
 * module is started for single-threaded use. Every card function of
 * vorpin_dll, and every card bracket (vorpin_init ... vorpin_fini) of the
 * signing and the encryption library, runs under this lock, so two card
 * calls never overlap, whichever of the three libraries they come through.
 *
 * The lock is recursive: a thread that holds it for a whole bracket takes it
 * again in each vorpin_* call of that bracket. It lives in a shared library
 * of its own so that the three libraries share one instance without
 * exporting anything beyond their own lists. Internal: not for hosts.
 */
#ifndef VORPIN_CARDLOCK_H
#define VORPIN_CARDLOCK_H

#define VORPIN_CARDLOCK_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Waits until no other thread holds the lock, then takes it (once more when
 * the calling thread holds it already). */
VORPIN_CARDLOCK_API void vorpin_cardlock_acquire(void);

/* Gives back one acquire of the calling thread. */
VORPIN_CARDLOCK_API void vorpin_cardlock_release(void);

#ifdef __cplusplus
}

namespace vorpin {

// Holds the card lock for its scope.
class CardLock {
 public:
  CardLock() noexcept { vorpin_cardlock_acquire(); }
  ~CardLock() { vorpin_cardlock_release(); }
  CardLock(const CardLock&) = delete;
  CardLock& operator=(const CardLock&) = delete;
};

}  // namespace vorpin
#endif

#endif /* VORPIN_CARDLOCK_H */
