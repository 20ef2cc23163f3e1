#include "vorpin_cardlock.h"

#include <mutex>

namespace {

// Never destroyed: a host may still reach the card from a static destructor
// or another thread while the process exits.
std::recursive_mutex& Lock() noexcept {
  static std::recursive_mutex* const lock = new std::recursive_mutex;
  return *lock;
}

// A lock that cannot be taken (only a recursion count overflow can do that)
// ends the process rather than let card work run unserialized or let an
// exception reach a host.
void Acquire() noexcept { Lock().lock(); }

void Release() noexcept { Lock().unlock(); }

}  // namespace

extern "C" VORPIN_CARDLOCK_API void vorpin_cardlock_acquire(void) { Acquire(); }

extern "C" VORPIN_CARDLOCK_API void vorpin_cardlock_release(void) { Release(); }
