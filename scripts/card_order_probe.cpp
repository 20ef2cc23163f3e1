// Lists the CKA_ID of the certificates and the RSA private keys on the
// first token, in the order the token lists them to the same two-attribute
// searches the card library makes. Provisioning runs it to check that the
// signing objects come first. Prints "cert <id> <id>..." and "key <id>...".
// usage: card_order_probe PIN (the keys are seen only after a login)
#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <string>

#include "platform/module.h"

namespace {

std::string Ids(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls,
                CK_ATTRIBUTE_TYPE type_attr, CK_ULONG type) {
  CK_ATTRIBUTE templ[2] = {{CKA_CLASS, &cls, sizeof cls}, {type_attr, &type, sizeof type}};
  std::string out;
  if (f->C_FindObjectsInit(s, templ, 2) != CKR_OK) return " ?";
  CK_OBJECT_HANDLE handles[8];
  CK_ULONG n = 0;
  f->C_FindObjects(s, handles, 8, &n);
  f->C_FindObjectsFinal(s);
  for (CK_ULONG i = 0; i < n; ++i) {
    unsigned char id[64];
    CK_ATTRIBUTE attr = {CKA_ID, id, sizeof id};
    out += ' ';
    if (f->C_GetAttributeValue(s, handles[i], &attr, 1) != CKR_OK) {
      out += '?';
      continue;
    }
    for (CK_ULONG j = 0; j < attr.ulValueLen; ++j) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02x", id[j]);
      out += hex;
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  void* module = platform::LoadModule("aetpkss1.dll");
  if (module == nullptr) return 2;
  auto get_list = platform::FindFunction<CK_C_GetFunctionList>(module, "C_GetFunctionList");
  CK_FUNCTION_LIST* f = nullptr;
  if (get_list == nullptr || get_list(&f) != CKR_OK || f->C_Initialize(nullptr) != CKR_OK) return 2;
  CK_SLOT_ID slots[8];
  CK_ULONG count = 8;
  CK_SESSION_HANDLE s;
  if (f->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK || count == 0 ||
      f->C_OpenSession(slots[0], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s) !=
          CKR_OK) {
    return 2;
  }
  std::printf("cert%s\n", Ids(f, s, CKO_CERTIFICATE, CKA_CERTIFICATE_TYPE, CKC_X_509).c_str());
  std::string pin = argv[1];
  if (f->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size()) != CKR_OK) {
    return 2;
  }
  std::printf("key%s\n", Ids(f, s, CKO_PRIVATE_KEY, CKA_KEY_TYPE, CKK_RSA).c_str());
  f->C_Logout(s);
  f->C_CloseSession(s);
  f->C_Finalize(nullptr);
  platform::UnloadModule(module);
  return 0;
}
