// vorpin_init / vorpin_fini: binding to the PKCS#11 module and the
// library-wide state.
#include <cstdlib>

#include "alloc.h"
#include "platform/module.h"
#include "state.h"
#include "trace.h"
#include "vorpin_cardlock.h"
#include "vorpin_dll.h"

LibraryState& State() noexcept {
  static LibraryState state;
  return state;
}

namespace {

int32_t InitSteps(LibraryState& s) {
  vorpin_trace("vorpin_init(): initializing Smart Card module...");
  vorpin_trace("vorpin_init(): trying to load the PKCS#11 library: %s ...", kModuleFileName);
  // A failed load leaves a module of an earlier start in place, so that
  // vorpin_fini still unloads it.
  void* module = platform::LoadModule(kModuleFileName);
  if (module == nullptr) {
    vorpin_trace("vorpin_init(): could NOT load the PKCS#11 library: %s!", kModuleFileName);
    return VORPIN_ERR_LOAD_MODULE;
  }
  s.module = module;

  vorpin_trace("vorpin_init(): load the PKCS#11 library: %s OK.", kModuleFileName);
  vorpin_trace("vorpin_init(): trying to get the function address of C_GetFunctionList...");
  auto get_function_list =
      platform::FindFunction<CK_C_GetFunctionList>(s.module, "C_GetFunctionList");
  if (get_function_list == nullptr) {
    vorpin_trace("vorpin_init(): failed to get the function address of C_GetFunctionList!");
    return VORPIN_ERR_NO_GET_FUNCTION_LIST;
  }

  vorpin_trace("vorpin_init(): get the function address of C_GetFunctionList OK.");
  vorpin_trace("vorpin_init(): trying to get the function list of PKCS#11 library...");
  // The list is taken into the state only when the module hands out a
  // usable one, so a failing second start cannot spoil the first one's.
  CK_FUNCTION_LIST* functions = nullptr;
  if (get_function_list(&functions) != CKR_OK || functions == nullptr) {
    vorpin_trace("vorpin_init(): failed to get the function list of PKCS#11 library!");
    return VORPIN_ERR_GET_FUNCTION_LIST;
  }
  s.functions = functions;

  vorpin_trace("vorpin_init(): get the function list of PKCS#11 library OK.");
  vorpin_trace("vorpin_init(): trying to initialize the Cryptoki library..");
  if (s.functions->C_Initialize(nullptr) != CKR_OK) {
    vorpin_trace("vorpin_init(): failed to initialize the Cryptoki library!");
    return VORPIN_ERR_INITIALIZE;
  }
  s.cryptoki = 1;
  vorpin_trace("vorpin_init(): initialize the Cryptoki library OK.");

  vorpin_trace("vorpin_init(): trying to get the number of slots in the system...");
  CK_ULONG count = 0;
  if (s.functions->C_GetSlotList(CK_FALSE, nullptr, &count) != CKR_OK) {
    vorpin_trace("vorpin_init(): failed to get the number of slots in the system!");
    return VORPIN_ERR_SLOT_COUNT;
  }
  vorpin_trace("vorpin_init(): there are %d slots in the system.", static_cast<int>(count));
  if (count == 0) {
    vorpin_trace("vorpin_init(): no any slot found!");
    return VORPIN_ERR_NO_SLOT;
  }

  // A second vorpin_init without vorpin_fini fails at C_Initialize above,
  // so a slot list of an earlier call is never overwritten here.
  if (!AllocationRefused("vorpin_init slot list")) {
    s.slots = static_cast<CK_SLOT_ID*>(std::calloc(count, sizeof(CK_SLOT_ID)));
  }
  if (s.slots == nullptr) {
    vorpin_trace("vorpin_init(): allocate a buffer to store slot list error!");
    return VORPIN_ERR_MEMORY;
  }

  vorpin_trace("vorpin_init(): trying to get the slot list...");
  if (s.functions->C_GetSlotList(CK_TRUE, s.slots, &count) != CKR_OK) {
    vorpin_trace("vorpin_init(): failed to get the slot list!");
    return VORPIN_ERR_SLOT_LIST;
  }
  // The count of token slots itself is not kept; only whether the first
  // entry was written, so that an empty reader is never used as a slot.
  s.first_slot_set = count > 0;

  vorpin_trace("vorpin_init(): get the slot list OK.");
  vorpin_trace("vorpin_init(): initialize Smart Card module OK.");
  s.initialized = 1;
  return VORPIN_OK;
}

}  // namespace

extern "C" VORPIN_API int32_t VORPIN_CDECL vorpin_init(void) {
  const vorpin::CardLock lock;
  int32_t rc = InitSteps(State());
  if (rc != VORPIN_OK) vorpin_trace("vorpin_init(): failed to initialize Smart Card module!");
  return rc;
}

extern "C" VORPIN_API int32_t VORPIN_CDECL vorpin_fini(void) {
  const vorpin::CardLock lock;
  LibraryState& s = State();
  if (s.slots != nullptr) {
    std::free(s.slots);
    s.slots = nullptr;
  }
  s.first_slot_set = false;

  vorpin_trace("vorpin_fini(): trying to finalize the Cryptoki library...");
  int32_t rc = VORPIN_OK;
  if (s.cryptoki == 1) {
    if (s.functions->C_Finalize(nullptr) == CKR_OK) {
      vorpin_trace("vorpin_fini(): finalize the Cryptoki library OK.");
    } else {
      vorpin_trace("vorpin_fini(): failed to finalize the Cryptoki library!");
      rc = VORPIN_ERR_FINALIZE;
    }
  }
  // Both flags are cleared on every path, also after a failed C_Finalize:
  // the slot list and the module are released below, so nothing may use
  // them, and a later vorpin_init starts from the beginning.
  s.cryptoki = 0;
  s.initialized = 0;

  if (s.module != nullptr) {
    platform::UnloadModule(s.module);
    s.module = nullptr;
  }
  s.functions = nullptr;
  return rc;
}
