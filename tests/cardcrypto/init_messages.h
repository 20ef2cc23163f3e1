// The trace messages of vorpin_init, shared by the suites that start the
// card library on different module folders.
#ifndef TESTS_CARDCRYPTO_INIT_MESSAGES_H
#define TESTS_CARDCRYPTO_INIT_MESSAGES_H

#include <string>
#include <vector>

// The messages of a vorpin_init that succeeds, in order; a failing one
// emits a prefix of them, its failure message and kInitFailed.
inline const std::vector<std::string> kInitSteps = {
    "vorpin_init(): initializing Smart Card module...",
    "vorpin_init(): trying to load the PKCS#11 library: aetpkss1.dll ...",
    "vorpin_init(): load the PKCS#11 library: aetpkss1.dll OK.",
    "vorpin_init(): trying to get the function address of C_GetFunctionList...",
    "vorpin_init(): get the function address of C_GetFunctionList OK.",
    "vorpin_init(): trying to get the function list of PKCS#11 library...",
    "vorpin_init(): get the function list of PKCS#11 library OK.",
    "vorpin_init(): trying to initialize the Cryptoki library..",
    "vorpin_init(): initialize the Cryptoki library OK.",
    "vorpin_init(): trying to get the number of slots in the system...",
    "vorpin_init(): there are 1 slots in the system.",
    "vorpin_init(): trying to get the slot list...",
    "vorpin_init(): get the slot list OK.",
    "vorpin_init(): initialize Smart Card module OK.",
};
inline constexpr char kInitFailed[] = "vorpin_init(): failed to initialize Smart Card module!";
// The first steps of a successful start followed by tail.
inline std::vector<std::string> InitMessages(size_t steps, const std::vector<std::string>& tail) {
  std::vector<std::string> out(kInitSteps.begin(), kInitSteps.begin() + steps);
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

#endif
