/*
 * emucard: the project's emulated card, a small PKCS#11 module for tests.
 *
 * The module file is "aetpkss1.dll" (file name and soname), so the card
 * library's dlopen("aetpkss1.dll") finds it on the loader's path. A test
 * executable links the same module and drives it through the control
 * functions below; since glibc matches an already loaded object by its
 * soname, the card library then talks to the very object the test set up.
 * The test's own reference keeps the module loaded, so the scenario and the
 * call log survive C_Finalize and dlclose; only emucard_reset clears them.
 *
 * What the module holds, all in memory:
 *  - readers (slots) with the ids the test chooses, each with or without a
 *    token; a token can be pulled out and put back (pulling it out closes
 *    its sessions);
 *  - per token: objects in listing order (the order C_FindObjects returns
 *    them), a user PIN (default "123456"), a locked flag and an optional
 *    retry limit after which wrong PINs lock it;
 *  - faults: "the Nth call of C_xxx from now answers rv" and "every call of
 *    C_xxx answers rv"; a faulting call does nothing else (it writes no
 *    output) and is logged with the answer it gave;
 *  - a log of every call with its arguments and answer.
 *
 * The calls the card library makes behave as PKCS#11 v2 says, including
 * the two-call length convention of C_Sign and C_Decrypt (CKM_RSA_PKCS done
 * with OpenSSL) and the visibility of private objects only after C_Login.
 * Every other entry of the function list answers CKR_FUNCTION_NOT_SUPPORTED.
 * Not thread-safe: tests drive it from one thread.
 */
#ifndef EMUCARD_H
#define EMUCARD_H

#include <p11-kit/pkcs11.h>
#include <stddef.h>

#define EMUCARD_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* The calls the module implements, for faults and the log. */
typedef enum emucard_fn {
  EMUCARD_C_GetFunctionList,
  EMUCARD_C_Initialize,
  EMUCARD_C_Finalize,
  EMUCARD_C_GetSlotList,
  EMUCARD_C_OpenSession,
  EMUCARD_C_CloseSession,
  EMUCARD_C_Login,
  EMUCARD_C_Logout,
  EMUCARD_C_FindObjectsInit,
  EMUCARD_C_FindObjects,
  EMUCARD_C_FindObjectsFinal,
  EMUCARD_C_GetAttributeValue,
  EMUCARD_C_SeedRandom,
  EMUCARD_C_GenerateRandom,
  EMUCARD_C_SignInit,
  EMUCARD_C_Sign,
  EMUCARD_C_DecryptInit,
  EMUCARD_C_Decrypt,
  EMUCARD_FN_COUNT
} emucard_fn;

/* "C_OpenSession" and so on. */
EMUCARD_API const char* emucard_fn_name(emucard_fn fn);

/* ---- Scenario ------------------------------------------------------------- */

/* Back to an empty module: no reader, no fault, empty log, not initialized. */
EMUCARD_API void emucard_reset(void);

/* Adds a reader with the given slot id (listing order is the order of the
 * calls), with or without a token. 0, or -1 when the id is taken. */
EMUCARD_API int emucard_add_reader(CK_SLOT_ID slot, int with_token);

/* Pulls the token out (present 0; its sessions are closed) or puts it back. */
EMUCARD_API void emucard_set_token_present(CK_SLOT_ID slot, int present);

/* The count that C_GetSlotList reports to a count query (null list) from now
 * on, whatever readers there are; for a module that claims absurd numbers. */
EMUCARD_API void emucard_set_reported_slot_count(CK_ULONG count);

/* Objects, appended in listing order to the token of slot. Each returns the
 * new object's handle, or CK_INVALID_HANDLE when the slot is unknown or the
 * bytes do not decode. */

/* CKO_CERTIFICATE, CKC_X_509, public, CKA_VALUE = der (not checked). */
EMUCARD_API CK_OBJECT_HANDLE emucard_add_certificate(CK_SLOT_ID slot, const unsigned char* der,
                                                     size_t der_len);
/* CKO_PRIVATE_KEY, CKK_RSA, private (visible after C_Login), usable with
 * CKM_RSA_PKCS for C_Sign and C_Decrypt. key: PEM (PKCS#1 or PKCS#8) or DER. */
EMUCARD_API CK_OBJECT_HANDLE emucard_add_private_key(CK_SLOT_ID slot, const unsigned char* key,
                                                     size_t key_len);
/* CKO_PUBLIC_KEY, CKK_RSA, public. key: a public or private key, PEM or DER. */
EMUCARD_API CK_OBJECT_HANDLE emucard_add_public_key(CK_SLOT_ID slot, const unsigned char* key,
                                                    size_t key_len);
/* Any object made of the given attributes (copied). CKA_PRIVATE true makes
 * it visible only after C_Login. It takes part in searches and
 * C_GetAttributeValue but cannot sign or decrypt. */
EMUCARD_API CK_OBJECT_HANDLE emucard_add_object(CK_SLOT_ID slot, const CK_ATTRIBUTE* attrs,
                                                CK_ULONG count);

/* The token's user PIN (default "123456"). */
EMUCARD_API void emucard_set_user_pin(CK_SLOT_ID slot, const char* pin, size_t pin_len);
/* A locked PIN: every C_Login answers CKR_PIN_LOCKED. */
EMUCARD_API void emucard_set_pin_locked(CK_SLOT_ID slot, int locked);
/* After this many wrong PINs in a row the PIN locks; 0 (default) never. */
EMUCARD_API void emucard_set_pin_retry_limit(CK_SLOT_ID slot, unsigned limit);

/* The nth call of fn from now (1 = the next one) answers rv. Several may be
 * pending for one function. */
EMUCARD_API void emucard_fail_nth(emucard_fn fn, unsigned nth, CK_RV rv);
/* Every call of fn from now answers rv (CKR_OK lifts it). */
EMUCARD_API void emucard_fail_always(emucard_fn fn, CK_RV rv);

/* ---- Call log ----------------------------------------------------------------- */

#define EMUCARD_MAX_ATTRS 8
#define EMUCARD_MAX_BYTES 64

/* One template attribute as the call received it. */
typedef struct emucard_attr {
  CK_ATTRIBUTE_TYPE type;
  CK_ULONG value_len;   /* ulValueLen on entry */
  int value_null;       /* pValue was null */
  CK_ULONG value_ulong; /* the value read as a CK_ULONG when value_len is its size */
} emucard_attr;

/* One call. Fields a function has no use for are 0. */
typedef struct emucard_call {
  emucard_fn fn;
  CK_RV rv;                    /* the answer given */
  int null_arg;                /* C_Initialize / C_Finalize: the argument was null;
                                  C_OpenSession: application and notify both null;
                                  C_GetSlotList: the list was null;
                                  C_Sign / C_Decrypt: the output was null */
  CK_SLOT_ID slot;             /* C_OpenSession */
  CK_BBOOL token_present;      /* C_GetSlotList */
  CK_SESSION_HANDLE session;   /* the session argument; C_OpenSession: the one opened */
  CK_FLAGS flags;              /* C_OpenSession */
  CK_USER_TYPE user_type;      /* C_Login */
  CK_OBJECT_HANDLE object;     /* C_GetAttributeValue, C_SignInit, C_DecryptInit */
  CK_MECHANISM_TYPE mechanism; /* C_SignInit, C_DecryptInit */
  int mechanism_param;         /* the mechanism came with a parameter */
  CK_ULONG count;              /* C_GetSlotList: *pulCount on entry; C_FindObjects: the
                                  maximum count; C_Login: PIN length; C_SeedRandom,
                                  C_GenerateRandom, C_Sign, C_Decrypt: input length */
  CK_ULONG out_len;            /* C_Sign / C_Decrypt: *pul...Len on entry */
  CK_ULONG result;             /* what came back: slots listed, objects found, the
                                  length stored */
  CK_ULONG attr_count;         /* C_FindObjectsInit, C_GetAttributeValue */
  emucard_attr attrs[EMUCARD_MAX_ATTRS];
  CK_ULONG bytes_len; /* C_Login: the PIN, C_SeedRandom: the random seed (at most
                         EMUCARD_MAX_BYTES of them) */
  unsigned char bytes[EMUCARD_MAX_BYTES];
} emucard_call;

EMUCARD_API size_t emucard_call_count(void);
/* Copies call i (0 = oldest) into out. 0, or -1 when there is no such call. */
EMUCARD_API int emucard_get_call(size_t i, emucard_call* out);
EMUCARD_API void emucard_clear_log(void);

/* ---- State -------------------------------------------------------------------- */

/* C_Initialize is in force. */
EMUCARD_API int emucard_initialized(void);
/* Sessions open now, on every slot. */
EMUCARD_API int emucard_open_sessions(void);
/* The user is logged in on the token of slot. */
EMUCARD_API int emucard_logged_in(CK_SLOT_ID slot);

#ifdef __cplusplus
}
#endif

#endif /* EMUCARD_H */
