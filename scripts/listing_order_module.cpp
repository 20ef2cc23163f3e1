// The PKCS#11 module of the default card: forwards every call to SoftHSM2
// and hands out the result of each object search sorted by CKA_ID, so that
// the signing objects (CKA_ID 01) always come before the encryption objects
// (CKA_ID 02), as on a real card. SoftHSM2 itself lists objects in the order
// of their addresses in its heap, which changes from one C_Initialize to the
// next within a process: a host that starts and stops the card library
// around every piece of work (as the encryption library does) would see the
// two key pairs swap places.
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/module.h"

namespace {

CK_FUNCTION_LIST* g_real = nullptr;
CK_FUNCTION_LIST g_table;
void* g_module = nullptr;

struct Search {
  std::vector<CK_OBJECT_HANDLE> handles;
  size_t next = 0;
};
std::map<CK_SESSION_HANDLE, Search> g_searches;

std::string Id(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
  CK_ATTRIBUTE attr = {CKA_ID, nullptr, 0};
  if (g_real->C_GetAttributeValue(session, object, &attr, 1) != CKR_OK ||
      attr.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
    return std::string();
  }
  std::string id(attr.ulValueLen, '\0');
  attr.pValue = id.empty() ? nullptr : &id[0];
  if (g_real->C_GetAttributeValue(session, object, &attr, 1) != CKR_OK) return std::string();
  return id;
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR templ, CK_ULONG count) {
  if (g_searches.count(session) != 0) return CKR_OPERATION_ACTIVE;
  CK_RV rv = g_real->C_FindObjectsInit(session, templ, count);
  if (rv != CKR_OK) return rv;
  Search search;
  CK_OBJECT_HANDLE batch[16];
  CK_ULONG found = 0;
  do {
    rv = g_real->C_FindObjects(session, batch, 16, &found);
    if (rv != CKR_OK) {
      g_real->C_FindObjectsFinal(session);
      return rv;
    }
    search.handles.insert(search.handles.end(), batch, batch + found);
  } while (found > 0);
  g_real->C_FindObjectsFinal(session);

  std::vector<std::pair<std::string, CK_OBJECT_HANDLE>> keyed;
  for (CK_OBJECT_HANDLE h : search.handles) keyed.emplace_back(Id(session, h), h);
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 0; i < keyed.size(); ++i) search.handles[i] = keyed[i].second;
  g_searches[session] = std::move(search);
  return CKR_OK;
}

CK_RV FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR out, CK_ULONG max,
                  CK_ULONG_PTR count) {
  auto it = g_searches.find(session);
  if (it == g_searches.end()) return CKR_OPERATION_NOT_INITIALIZED;
  if (count == nullptr || (out == nullptr && max > 0)) return CKR_ARGUMENTS_BAD;
  Search& search = it->second;
  CK_ULONG n = 0;
  while (n < max && search.next < search.handles.size()) out[n++] = search.handles[search.next++];
  *count = n;
  return CKR_OK;
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE session) {
  return g_searches.erase(session) != 0 ? CKR_OK : CKR_OPERATION_NOT_INITIALIZED;
}

CK_RV CloseSession(CK_SESSION_HANDLE session) {
  g_searches.erase(session);
  return g_real->C_CloseSession(session);
}

CK_RV CloseAllSessions(CK_SLOT_ID slot) {
  g_searches.clear();
  return g_real->C_CloseAllSessions(slot);
}

CK_RV Finalize(CK_VOID_PTR reserved) {
  g_searches.clear();
  return g_real->C_Finalize(reserved);
}

__attribute__((destructor)) void Unload() {
  if (g_module != nullptr) platform::UnloadModule(g_module);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(
    CK_FUNCTION_LIST_PTR_PTR list) {
  if (list == nullptr) return CKR_ARGUMENTS_BAD;
  if (g_real == nullptr) {
    if (g_module == nullptr) g_module = platform::LoadModule(VORPIN_SOFTHSM_MODULE);
    if (g_module == nullptr) return CKR_GENERAL_ERROR;
    auto get = platform::FindFunction<CK_C_GetFunctionList>(g_module, "C_GetFunctionList");
    if (get == nullptr || get(&g_real) != CKR_OK) return CKR_GENERAL_ERROR;
    g_table = *g_real;
    g_table.C_FindObjectsInit = FindObjectsInit;
    g_table.C_FindObjects = FindObjects;
    g_table.C_FindObjectsFinal = FindObjectsFinal;
    g_table.C_CloseSession = CloseSession;
    g_table.C_CloseAllSessions = CloseAllSessions;
    g_table.C_Finalize = Finalize;
  }
  *list = &g_table;
  return CKR_OK;
}
