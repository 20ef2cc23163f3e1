// The emulated card: PKCS#11 calls over readers, tokens and objects held in
// memory, with faults and a call log that the tests control (emucard.h).
#include "emucard.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct BioFree {
  void operator()(BIO* p) const { BIO_free_all(p); }
};
struct BnFree {
  void operator()(BIGNUM* p) const { BN_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

using Bytes = std::vector<unsigned char>;

struct Object {
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>> attrs;  // in the order given
  bool is_private = false;
  std::shared_ptr<EVP_PKEY> key;  // set for the RSA private keys that sign and decrypt

  const Bytes* Find(CK_ATTRIBUTE_TYPE type) const {
    for (const auto& a : attrs)
      if (a.first == type) return &a.second;
    return nullptr;
  }
};

struct Reader {
  CK_SLOT_ID id = 0;
  bool present = false;
  std::vector<Object> objects;  // listing order
  std::string pin = "123456";
  bool locked = false;
  unsigned retry_limit = 0;
  unsigned wrong_tries = 0;
  bool logged_in = false;
};

enum class Op { kNone, kSign, kDecrypt };

struct Session {
  CK_SLOT_ID slot = 0;
  CK_FLAGS flags = 0;
  bool finding = false;
  std::vector<CK_OBJECT_HANDLE> found;
  size_t next_found = 0;
  Op op = Op::kNone;
  std::shared_ptr<EVP_PKEY> op_key;
};

struct Fault {
  unsigned countdown;
  CK_RV rv;
};

struct Module {
  bool initialized = false;
  std::vector<Reader> readers;  // listing order
  std::map<CK_SESSION_HANDLE, Session> sessions;
  // Handles far from 0, 1, 2 so that a handle confused with an index shows.
  CK_SESSION_HANDLE next_session = 0x5e0001;
  CK_OBJECT_HANDLE next_object = 0x0b0001;
  bool has_reported_count = false;
  CK_ULONG reported_count = 0;
  std::vector<Fault> nth[EMUCARD_FN_COUNT];
  CK_RV always[EMUCARD_FN_COUNT] = {};
  std::vector<emucard_call> log;
};

Module& M() {
  static Module module;
  return module;
}

Reader* FindReader(CK_SLOT_ID id) {
  for (auto& r : M().readers)
    if (r.id == id) return &r;
  return nullptr;
}

// Runs one call: body records the arguments into the log entry, asks
// Faulted, and does the work. The entry is logged with the answer.
template <class Body>
CK_RV Run(emucard_fn fn, Body body) noexcept {
  emucard_call call;
  std::memset(&call, 0, sizeof call);
  call.fn = fn;
  CK_RV rv;
  try {
    rv = body(call);
  } catch (...) {
    rv = CKR_HOST_MEMORY;
  }
  call.rv = rv;
  try {
    M().log.push_back(call);
  } catch (...) {
    // A lost log entry cannot be reported from here.
  }
  return rv;
}

// True when a fault answers this call; rv receives the answer.
bool Faulted(emucard_fn fn, CK_RV* rv) {
  Module& m = M();
  bool fired = false;
  auto& pending = m.nth[fn];
  for (auto& f : pending) {
    if (--f.countdown == 0 && !fired) {
      *rv = f.rv;
      fired = true;
    }
  }
  pending.erase(std::remove_if(pending.begin(), pending.end(),
                               [](const Fault& f) { return f.countdown == 0; }),
                pending.end());
  if (fired) return true;
  if (m.always[fn] != CKR_OK) {
    *rv = m.always[fn];
    return true;
  }
  return false;
}

void RecordAttrs(emucard_call& call, const CK_ATTRIBUTE* attrs, CK_ULONG count) {
  call.attr_count = count;
  if (attrs == nullptr) return;
  for (CK_ULONG i = 0; i < count && i < EMUCARD_MAX_ATTRS; ++i) {
    emucard_attr& a = call.attrs[i];
    a.type = attrs[i].type;
    a.value_len = attrs[i].ulValueLen;
    a.value_null = attrs[i].pValue == nullptr;
    if (!a.value_null && a.value_len == sizeof(CK_ULONG))
      std::memcpy(&a.value_ulong, attrs[i].pValue, sizeof(CK_ULONG));
  }
}

void RecordBytes(emucard_call& call, const unsigned char* p, CK_ULONG len) {
  call.bytes_len = len;
  if (p != nullptr) std::memcpy(call.bytes, p, std::min<CK_ULONG>(len, EMUCARD_MAX_BYTES));
}

// The session and its reader, or the answer that refuses the handle.
CK_RV Lookup(CK_SESSION_HANDLE h, Session** session, Reader** reader) {
  Module& m = M();
  if (!m.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  auto it = m.sessions.find(h);
  if (it == m.sessions.end()) return CKR_SESSION_HANDLE_INVALID;
  *session = &it->second;
  *reader = FindReader(it->second.slot);
  return *reader == nullptr ? CKR_SESSION_HANDLE_INVALID : CKR_OK;
}

// An object of the session's token that the session may see.
const Object* Visible(const Reader& reader, CK_OBJECT_HANDLE h) {
  for (const auto& o : reader.objects)
    if (o.handle == h) return (o.is_private && !reader.logged_in) ? nullptr : &o;
  return nullptr;
}

void CloseSessionsOf(CK_SLOT_ID slot) {
  auto& sessions = M().sessions;
  for (auto it = sessions.begin(); it != sessions.end();)
    it = it->second.slot == slot ? sessions.erase(it) : std::next(it);
  if (Reader* r = FindReader(slot)) r->logged_in = false;
}

Bytes UlongBytes(CK_ULONG v) {
  Bytes b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

Bytes BoolBytes(bool v) { return Bytes{static_cast<unsigned char>(v ? CK_TRUE : CK_FALSE)}; }

Bytes BnParam(const EVP_PKEY* key, const char* name) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return {};
  BnPtr bn(raw);
  Bytes b(static_cast<size_t>(BN_num_bytes(bn.get())));
  BN_bn2bin(bn.get(), b.data());
  return b;
}

PkeyPtr ReadPrivateKey(const unsigned char* p, size_t len) {
  BioPtr bio(BIO_new_mem_buf(p, static_cast<int>(len)));
  PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) {
    const unsigned char* q = p;
    key.reset(d2i_AutoPrivateKey(nullptr, &q, static_cast<long>(len)));
  }
  ERR_clear_error();
  if (key && EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) key.reset();
  return key;
}

PkeyPtr ReadPublicKey(const unsigned char* p, size_t len) {
  BioPtr bio(BIO_new_mem_buf(p, static_cast<int>(len)));
  PkeyPtr key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) {
    const unsigned char* q = p;
    key.reset(d2i_PUBKEY(nullptr, &q, static_cast<long>(len)));
  }
  ERR_clear_error();
  if (!key) return ReadPrivateKey(p, len);
  if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) key.reset();
  return key;
}

CK_OBJECT_HANDLE AddObject(CK_SLOT_ID slot, Object object) {
  Reader* r = FindReader(slot);
  if (r == nullptr) return CK_INVALID_HANDLE;
  object.handle = M().next_object++;
  r->objects.push_back(std::move(object));
  return r->objects.back().handle;
}

Object RsaKeyObject(CK_OBJECT_CLASS cls, const EVP_PKEY* key) {
  Object o;
  o.attrs.emplace_back(CKA_CLASS, UlongBytes(cls));
  o.attrs.emplace_back(CKA_KEY_TYPE, UlongBytes(CKK_RSA));
  o.attrs.emplace_back(CKA_TOKEN, BoolBytes(true));
  o.attrs.emplace_back(CKA_PRIVATE, BoolBytes(cls == CKO_PRIVATE_KEY));
  o.attrs.emplace_back(CKA_MODULUS, BnParam(key, OSSL_PKEY_PARAM_RSA_N));
  o.attrs.emplace_back(CKA_PUBLIC_EXPONENT, BnParam(key, OSSL_PKEY_PARAM_RSA_E));
  if (cls == CKO_PRIVATE_KEY) {
    o.attrs.emplace_back(CKA_SIGN, BoolBytes(true));
    o.attrs.emplace_back(CKA_DECRYPT, BoolBytes(true));
    o.attrs.emplace_back(CKA_SENSITIVE, BoolBytes(true));
    o.is_private = true;
  } else {
    o.attrs.emplace_back(CKA_VERIFY, BoolBytes(true));
    o.attrs.emplace_back(CKA_ENCRYPT, BoolBytes(true));
  }
  return o;
}

bool Matches(const Object& o, const CK_ATTRIBUTE* templ, CK_ULONG count) {
  for (CK_ULONG i = 0; i < count; ++i) {
    const Bytes* have = o.Find(templ[i].type);
    if (have == nullptr || have->size() != templ[i].ulValueLen) return false;
    if (templ[i].ulValueLen != 0 &&
        (templ[i].pValue == nullptr ||
         std::memcmp(have->data(), templ[i].pValue, templ[i].ulValueLen) != 0))
      return false;
  }
  return true;
}

// The key of a private-key object for CKM_RSA_PKCS without parameter.
CK_RV StartKeyOperation(CK_SESSION_HANDLE h, CK_MECHANISM* mech, CK_OBJECT_HANDLE key, Op op) {
  Session* s;
  Reader* r;
  if (CK_RV rv = Lookup(h, &s, &r); rv != CKR_OK) return rv;
  if (mech == nullptr) return CKR_ARGUMENTS_BAD;
  if (s->op != Op::kNone) return CKR_OPERATION_ACTIVE;
  if (mech->mechanism != CKM_RSA_PKCS) return CKR_MECHANISM_INVALID;
  if (mech->pParameter != nullptr || mech->ulParameterLen != 0) return CKR_MECHANISM_PARAM_INVALID;
  const Object* o = Visible(*r, key);
  if (o == nullptr) return CKR_KEY_HANDLE_INVALID;
  if (!o->key) return CKR_KEY_FUNCTION_NOT_PERMITTED;
  s->op = op;
  s->op_key = o->key;
  return CKR_OK;
}

void EndKeyOperation(Session* s) {
  s->op = Op::kNone;
  s->op_key.reset();
}

// C_Sign and C_Decrypt: the two-call length convention over one RSA
// operation. The length query (null output) and a too small output keep
// the operation; every other answer ends it.
CK_RV KeyOperation(emucard_call& call, Op op, CK_SESSION_HANDLE h, const unsigned char* in,
                   CK_ULONG in_len, unsigned char* out, CK_ULONG* out_len) {
  call.session = h;
  call.count = in_len;
  call.null_arg = out == nullptr;
  call.out_len = out_len != nullptr ? *out_len : 0;
  CK_RV rv;
  if (Faulted(call.fn, &rv)) return rv;
  Session* s;
  Reader* r;
  if (rv = Lookup(h, &s, &r); rv != CKR_OK) return rv;
  if (s->op != op) return CKR_OPERATION_NOT_INITIALIZED;
  if (out_len == nullptr || (in == nullptr && in_len != 0)) {
    EndKeyOperation(s);
    return CKR_ARGUMENTS_BAD;
  }
  const CK_ULONG k = static_cast<CK_ULONG>(EVP_PKEY_get_size(s->op_key.get()));
  if (op == Op::kSign && in_len + 11 > k) {
    EndKeyOperation(s);
    return CKR_DATA_LEN_RANGE;
  }
  if (op == Op::kDecrypt && in_len != k) {
    EndKeyOperation(s);
    return CKR_ENCRYPTED_DATA_LEN_RANGE;
  }
  if (out == nullptr) {
    *out_len = k;
    call.result = k;
    return CKR_OK;
  }

  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(s->op_key.get(), nullptr));
  Bytes result(k);
  size_t result_len = k;
  bool ok = ctx != nullptr;
  if (op == Op::kSign) {
    ok = ok && EVP_PKEY_sign_init(ctx.get()) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
         EVP_PKEY_sign(ctx.get(), result.data(), &result_len, in, in_len) == 1;
  } else {
    ok = ok && EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
         EVP_PKEY_decrypt(ctx.get(), result.data(), &result_len, in, in_len) == 1;
  }
  ERR_clear_error();
  if (!ok) {
    EndKeyOperation(s);
    return op == Op::kSign ? CKR_FUNCTION_FAILED : CKR_ENCRYPTED_DATA_INVALID;
  }
  if (*out_len < result_len) {
    *out_len = result_len;
    call.result = result_len;
    return CKR_BUFFER_TOO_SMALL;
  }
  std::memcpy(out, result.data(), result_len);
  *out_len = result_len;
  call.result = result_len;
  EndKeyOperation(s);
  return CKR_OK;
}

// ---- The PKCS#11 calls ---------------------------------------------------------

CK_RV Initialize(void* args) {
  return Run(EMUCARD_C_Initialize, [&](emucard_call& call) {
    call.null_arg = args == nullptr;
    CK_RV rv;
    if (Faulted(call.fn, &rv)) return rv;
    if (M().initialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    M().initialized = true;
    return CKR_OK;
  });
}

CK_RV Finalize(void* reserved) {
  return Run(EMUCARD_C_Finalize, [&](emucard_call& call) {
    call.null_arg = reserved == nullptr;
    CK_RV rv;
    if (Faulted(call.fn, &rv)) return rv;
    Module& m = M();
    if (!m.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (reserved != nullptr) return CKR_ARGUMENTS_BAD;
    m.sessions.clear();
    for (auto& r : m.readers) r.logged_in = false;
    m.initialized = false;
    return CKR_OK;
  });
}

CK_RV GetSlotList(CK_BBOOL token_present, CK_SLOT_ID* list, CK_ULONG* count) {
  return Run(EMUCARD_C_GetSlotList, [&](emucard_call& call) {
    call.token_present = token_present;
    call.null_arg = list == nullptr;
    call.count = count != nullptr ? *count : 0;
    CK_RV rv;
    if (Faulted(call.fn, &rv)) return rv;
    Module& m = M();
    if (!m.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (count == nullptr) return CKR_ARGUMENTS_BAD;
    std::vector<CK_SLOT_ID> ids;
    for (const auto& r : m.readers)
      if (!token_present || r.present) ids.push_back(r.id);
    if (list == nullptr) {
      *count = m.has_reported_count ? m.reported_count : ids.size();
      call.result = *count;
      return CKR_OK;
    }
    if (*count < ids.size()) {
      *count = ids.size();
      return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(ids.begin(), ids.end(), list);
    *count = ids.size();
    call.result = *count;
    return CKR_OK;
  });
}

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, void* application, CK_NOTIFY notify,
                  CK_SESSION_HANDLE* session) {
  return Run(EMUCARD_C_OpenSession, [&](emucard_call& call) {
    call.slot = slot;
    call.flags = flags;
    call.null_arg = application == nullptr && notify == nullptr;
    CK_RV rv;
    if (Faulted(call.fn, &rv)) return rv;
    Module& m = M();
    if (!m.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    Reader* r = FindReader(slot);
    if (r == nullptr) return CKR_SLOT_ID_INVALID;
    if (!r->present) return CKR_TOKEN_NOT_PRESENT;
    if ((flags & CKF_SERIAL_SESSION) == 0) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    if (session == nullptr) return CKR_ARGUMENTS_BAD;
    Session s;
    s.slot = slot;
    s.flags = flags;
    CK_SESSION_HANDLE h = m.next_session++;
    m.sessions.emplace(h, std::move(s));
    *session = h;
    call.session = h;
    return CKR_OK;
  });
}

CK_RV CloseSession(CK_SESSION_HANDLE h) {
  return Run(EMUCARD_C_CloseSession, [&](emucard_call& call) {
    call.session = h;
    CK_RV rv;
    if (Faulted(call.fn, &rv)) return rv;
    Session* s;
    Reader* r;
    if (rv = Lookup(h, &s, &r); rv != CKR_OK) return rv;
    const CK_SLOT_ID slot = s->slot;
    M().sessions.erase(h);
    // The login belongs to the application: it ends with its last session.
    bool any = false;
    for (const auto& entry : M().sessions) any = any || entry.second.slot == slot;
    if (!any) r->logged_in = false;
    return CKR_OK;
  });
}

CK_RV Login(CK_SESSION_HANDLE h, CK_USER_TYPE user, CK_UTF8CHAR* pin, CK_ULONG pin_len) {
  return Run(EMUCARD_C_Login, [&](emucard_call& call) {
    call.session = h;
    call.user_type = user;
    call.count = pin_len;
    RecordBytes(call, pin, pin_len);
    CK_RV rv;
    if (Faulted(call.fn, &rv)) return rv;
    Session* s;
    Reader* r;
    if (rv = Lookup(h, &s, &r); rv != CKR_OK) return rv;
    if (user != CKU_USER) return CKR_USER_TYPE_INVALID;
    if (r->logged_in) return CKR_USER_ALREADY_LOGGED_IN;
    if (pin == nullptr && pin_len != 0) return CKR_ARGUMENTS_BAD;
    if (r->locked) return CKR_PIN_LOCKED;
    if (pin_len != r->pin.size() || std::memcmp(pin, r->pin.data(), pin_len) != 0) {
      ++r->wrong_tries;
      if (r->retry_limit != 0 && r->wrong_tries >= r->retry_limit) r->locked = true;
      return CKR_PIN_INCORRECT;
    }
    r->wrong_tries = 0;
    r->logged_in = true;
    return CKR_OK;
  });
}

CK_RV Logout(CK_SESSION_HANDLE h) {
  return Run(EMUCARD_C_Logout, [&](emucard_call& call) {
    call.session = h;
    CK_RV rv;
    if (Faulted(call.fn, &rv)) return rv;
    Session* s;
    Reader* r;
    if (rv = Lookup(h, &s, &r); rv != CKR_OK) return rv;
    if (!r->logged_in) return CKR_USER_NOT_LOGGED_IN;
    r->logged_in = false;
    return CKR_OK;
  });
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE* templ, CK_ULONG count) {
  return Run(EMUCARD_C_FindObjectsInit, [&](emucard_call& call) {
    call.session = h;
    RecordAttrs(call, templ, count);
    CK_RV rv;
    if (Faulted(call.fn, &rv)) return rv;
    Session* s;
    Reader* r;
    if (rv = Lookup(h, &s, &r); rv != CKR_OK) return rv;
    if (templ == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
    if (s->finding) return CKR_OPERATION_ACTIVE;
    s->found.clear();
    s->next_found = 0;
    for (const auto& o : r->objects)
      if (Visible(*r, o.handle) != nullptr && Matches(o, templ, count))
        s->found.push_back(o.handle);
    s->finding = true;
    return CKR_OK;
  });
}

CK_RV FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE* objects, CK_ULONG max, CK_ULONG* found) {
  return Run(EMUCARD_C_FindObjects, [&](emucard_call& call) {
    call.session = h;
    call.count = max;
    CK_RV rv;
    if (Faulted(call.fn, &rv)) return rv;
    Session* s;
    Reader* r;
    if (rv = Lookup(h, &s, &r); rv != CKR_OK) return rv;
    if (!s->finding) return CKR_OPERATION_NOT_INITIALIZED;
    if (found == nullptr || (objects == nullptr && max != 0)) return CKR_ARGUMENTS_BAD;
    CK_ULONG n = 0;
    while (n < max && s->next_found < s->found.size()) objects[n++] = s->found[s->next_found++];
    *found = n;
    call.result = n;
    return CKR_OK;
  });
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE h) {
  return Run(EMUCARD_C_FindObjectsFinal, [&](emucard_call& call) {
    call.session = h;
    CK_RV rv;
    if (Faulted(call.fn, &rv)) return rv;
    Session* s;
    Reader* r;
    if (rv = Lookup(h, &s, &r); rv != CKR_OK) return rv;
    if (!s->finding) return CKR_OPERATION_NOT_INITIALIZED;
    s->finding = false;
    s->found.clear();
    return CKR_OK;
  });
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE object, CK_ATTRIBUTE* templ,
                        CK_ULONG count) {
  return Run(EMUCARD_C_GetAttributeValue, [&](emucard_call& call) {
    call.session = h;
    call.object = object;
    RecordAttrs(call, templ, count);
    CK_RV rv;
    if (Faulted(call.fn, &rv)) return rv;
    Session* s;
    Reader* r;
    if (rv = Lookup(h, &s, &r); rv != CKR_OK) return rv;
    const Object* o = Visible(*r, object);
    if (o == nullptr) return CKR_OBJECT_HANDLE_INVALID;
    if (templ == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
    rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
      CK_ATTRIBUTE& a = templ[i];
      const Bytes* value = o->Find(a.type);
      const bool sensitive = o->key && a.type == CKA_PRIVATE_EXPONENT;
      if (value == nullptr || sensitive) {
        a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        rv = sensitive ? CKR_ATTRIBUTE_SENSITIVE : CKR_ATTRIBUTE_TYPE_INVALID;
      } else if (a.pValue == nullptr) {
        a.ulValueLen = value->size();
      } else if (a.ulValueLen < value->size()) {
        a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        rv = CKR_BUFFER_TOO_SMALL;
      } else {
        std::memcpy(a.pValue, value->data(), value->size());
        a.ulValueLen = value->size();
      }
    }
    if (count > 0) call.result = templ[0].ulValueLen;
    return rv;
  });
}

CK_RV SeedRandom(CK_SESSION_HANDLE h, CK_BYTE* random_seed, CK_ULONG len) {
  return Run(EMUCARD_C_SeedRandom, [&](emucard_call& call) {
    call.session = h;
    call.count = len;
    RecordBytes(call, random_seed, len);
    CK_RV rv;
    if (Faulted(call.fn, &rv)) return rv;
    Session* s;
    Reader* r;
    if (rv = Lookup(h, &s, &r); rv != CKR_OK) return rv;
    if (random_seed == nullptr && len != 0) return CKR_ARGUMENTS_BAD;
    return CKR_OK;
  });
}

CK_RV GenerateRandom(CK_SESSION_HANDLE h, CK_BYTE* out, CK_ULONG len) {
  return Run(EMUCARD_C_GenerateRandom, [&](emucard_call& call) {
    call.session = h;
    call.count = len;
    call.null_arg = out == nullptr;
    CK_RV rv;
    if (Faulted(call.fn, &rv)) return rv;
    Session* s;
    Reader* r;
    if (rv = Lookup(h, &s, &r); rv != CKR_OK) return rv;
    if (out == nullptr && len != 0) return CKR_ARGUMENTS_BAD;
    if (len != 0 && RAND_bytes(out, static_cast<int>(len)) != 1) return CKR_FUNCTION_FAILED;
    return CKR_OK;
  });
}

CK_RV SignInit(CK_SESSION_HANDLE h, CK_MECHANISM* mech, CK_OBJECT_HANDLE key) {
  return Run(EMUCARD_C_SignInit, [&](emucard_call& call) {
    call.session = h;
    call.object = key;
    call.mechanism = mech != nullptr ? mech->mechanism : 0;
    call.mechanism_param = mech != nullptr && (mech->pParameter != nullptr || mech->ulParameterLen);
    CK_RV rv;
    if (Faulted(call.fn, &rv)) return rv;
    return StartKeyOperation(h, mech, key, Op::kSign);
  });
}

CK_RV Sign(CK_SESSION_HANDLE h, CK_BYTE* data, CK_ULONG len, CK_BYTE* sig, CK_ULONG* sig_len) {
  return Run(EMUCARD_C_Sign, [&](emucard_call& call) {
    return KeyOperation(call, Op::kSign, h, data, len, sig, sig_len);
  });
}

CK_RV DecryptInit(CK_SESSION_HANDLE h, CK_MECHANISM* mech, CK_OBJECT_HANDLE key) {
  return Run(EMUCARD_C_DecryptInit, [&](emucard_call& call) {
    call.session = h;
    call.object = key;
    call.mechanism = mech != nullptr ? mech->mechanism : 0;
    call.mechanism_param = mech != nullptr && (mech->pParameter != nullptr || mech->ulParameterLen);
    CK_RV rv;
    if (Faulted(call.fn, &rv)) return rv;
    return StartKeyOperation(h, mech, key, Op::kDecrypt);
  });
}

CK_RV Decrypt(CK_SESSION_HANDLE h, CK_BYTE* enc, CK_ULONG len, CK_BYTE* out, CK_ULONG* out_len) {
  return Run(EMUCARD_C_Decrypt, [&](emucard_call& call) {
    return KeyOperation(call, Op::kDecrypt, h, enc, len, out, out_len);
  });
}

// Every entry the card library does not use.
template <class... Args>
CK_RV NotSupported(Args...) {
  return CKR_FUNCTION_NOT_SUPPORTED;
}
template <class... Args>
void SetNotSupported(CK_RV (*&entry)(Args...)) {
  entry = &NotSupported<Args...>;
}

CK_RV GetFunctionListEntry(CK_FUNCTION_LIST** list);

CK_FUNCTION_LIST MakeFunctionList() {
  CK_FUNCTION_LIST f;
  std::memset(&f, 0, sizeof f);
  f.version = {2, 40};
  SetNotSupported(f.C_GetInfo);
  SetNotSupported(f.C_GetSlotInfo);
  SetNotSupported(f.C_GetTokenInfo);
  SetNotSupported(f.C_GetMechanismList);
  SetNotSupported(f.C_GetMechanismInfo);
  SetNotSupported(f.C_InitToken);
  SetNotSupported(f.C_InitPIN);
  SetNotSupported(f.C_SetPIN);
  SetNotSupported(f.C_CloseAllSessions);
  SetNotSupported(f.C_GetSessionInfo);
  SetNotSupported(f.C_GetOperationState);
  SetNotSupported(f.C_SetOperationState);
  SetNotSupported(f.C_CreateObject);
  SetNotSupported(f.C_CopyObject);
  SetNotSupported(f.C_DestroyObject);
  SetNotSupported(f.C_GetObjectSize);
  SetNotSupported(f.C_SetAttributeValue);
  SetNotSupported(f.C_EncryptInit);
  SetNotSupported(f.C_Encrypt);
  SetNotSupported(f.C_EncryptUpdate);
  SetNotSupported(f.C_EncryptFinal);
  SetNotSupported(f.C_DecryptUpdate);
  SetNotSupported(f.C_DecryptFinal);
  SetNotSupported(f.C_DigestInit);
  SetNotSupported(f.C_Digest);
  SetNotSupported(f.C_DigestUpdate);
  SetNotSupported(f.C_DigestKey);
  SetNotSupported(f.C_DigestFinal);
  SetNotSupported(f.C_SignUpdate);
  SetNotSupported(f.C_SignFinal);
  SetNotSupported(f.C_SignRecoverInit);
  SetNotSupported(f.C_SignRecover);
  SetNotSupported(f.C_VerifyInit);
  SetNotSupported(f.C_Verify);
  SetNotSupported(f.C_VerifyUpdate);
  SetNotSupported(f.C_VerifyFinal);
  SetNotSupported(f.C_VerifyRecoverInit);
  SetNotSupported(f.C_VerifyRecover);
  SetNotSupported(f.C_DigestEncryptUpdate);
  SetNotSupported(f.C_DecryptDigestUpdate);
  SetNotSupported(f.C_SignEncryptUpdate);
  SetNotSupported(f.C_DecryptVerifyUpdate);
  SetNotSupported(f.C_GenerateKey);
  SetNotSupported(f.C_GenerateKeyPair);
  SetNotSupported(f.C_WrapKey);
  SetNotSupported(f.C_UnwrapKey);
  SetNotSupported(f.C_DeriveKey);
  SetNotSupported(f.C_GetFunctionStatus);
  SetNotSupported(f.C_CancelFunction);
  SetNotSupported(f.C_WaitForSlotEvent);
  f.C_Initialize = Initialize;
  f.C_Finalize = Finalize;
  f.C_GetFunctionList = GetFunctionListEntry;
  f.C_GetSlotList = GetSlotList;
  f.C_OpenSession = OpenSession;
  f.C_CloseSession = CloseSession;
  f.C_Login = Login;
  f.C_Logout = Logout;
  f.C_FindObjectsInit = FindObjectsInit;
  f.C_FindObjects = FindObjects;
  f.C_FindObjectsFinal = FindObjectsFinal;
  f.C_GetAttributeValue = GetAttributeValue;
  f.C_SeedRandom = SeedRandom;
  f.C_GenerateRandom = GenerateRandom;
  f.C_SignInit = SignInit;
  f.C_Sign = Sign;
  f.C_DecryptInit = DecryptInit;
  f.C_Decrypt = Decrypt;
  return f;
}

CK_RV GetFunctionListEntry(CK_FUNCTION_LIST** list) {
  static CK_FUNCTION_LIST functions = MakeFunctionList();
  return Run(EMUCARD_C_GetFunctionList, [&](emucard_call& call) {
    call.null_arg = list == nullptr;
    CK_RV rv;
    if (Faulted(call.fn, &rv)) return rv;
    if (list == nullptr) return CKR_ARGUMENTS_BAD;
    *list = &functions;
    return CKR_OK;
  });
}

const char* const kNames[EMUCARD_FN_COUNT] = {
    "C_GetFunctionList",
    "C_Initialize",
    "C_Finalize",
    "C_GetSlotList",
    "C_OpenSession",
    "C_CloseSession",
    "C_Login",
    "C_Logout",
    "C_FindObjectsInit",
    "C_FindObjects",
    "C_FindObjectsFinal",
    "C_GetAttributeValue",
    "C_SeedRandom",
    "C_GenerateRandom",
    "C_SignInit",
    "C_Sign",
    "C_DecryptInit",
    "C_Decrypt",
};

bool ValidFn(emucard_fn fn) {
  const int i = static_cast<int>(fn);
  return i >= 0 && i < static_cast<int>(EMUCARD_FN_COUNT);
}

}  // namespace

extern "C" {

EMUCARD_API CK_RV C_GetFunctionList(CK_FUNCTION_LIST** list) { return GetFunctionListEntry(list); }

EMUCARD_API const char* emucard_fn_name(emucard_fn fn) { return ValidFn(fn) ? kNames[fn] : "?"; }

EMUCARD_API void emucard_reset(void) { M() = Module(); }

EMUCARD_API int emucard_add_reader(CK_SLOT_ID slot, int with_token) {
  if (FindReader(slot) != nullptr) return -1;
  Reader r;
  r.id = slot;
  r.present = with_token != 0;
  M().readers.push_back(std::move(r));
  return 0;
}

EMUCARD_API void emucard_set_token_present(CK_SLOT_ID slot, int present) {
  Reader* r = FindReader(slot);
  if (r == nullptr) return;
  r->present = present != 0;
  if (!r->present) CloseSessionsOf(slot);
}

EMUCARD_API void emucard_set_reported_slot_count(CK_ULONG count) {
  M().has_reported_count = true;
  M().reported_count = count;
}

EMUCARD_API CK_OBJECT_HANDLE emucard_add_certificate(CK_SLOT_ID slot, const unsigned char* der,
                                                     size_t der_len) {
  Object o;
  o.attrs.emplace_back(CKA_CLASS, UlongBytes(CKO_CERTIFICATE));
  o.attrs.emplace_back(CKA_CERTIFICATE_TYPE, UlongBytes(CKC_X_509));
  o.attrs.emplace_back(CKA_TOKEN, BoolBytes(true));
  o.attrs.emplace_back(CKA_PRIVATE, BoolBytes(false));
  o.attrs.emplace_back(CKA_VALUE, Bytes(der, der + der_len));
  return AddObject(slot, std::move(o));
}

EMUCARD_API CK_OBJECT_HANDLE emucard_add_private_key(CK_SLOT_ID slot, const unsigned char* key,
                                                     size_t key_len) {
  PkeyPtr pkey = ReadPrivateKey(key, key_len);
  if (!pkey) return CK_INVALID_HANDLE;
  Object o = RsaKeyObject(CKO_PRIVATE_KEY, pkey.get());
  o.key.reset(pkey.release(), PkeyFree());  // ownership moved to the object
  return AddObject(slot, std::move(o));
}

EMUCARD_API CK_OBJECT_HANDLE emucard_add_public_key(CK_SLOT_ID slot, const unsigned char* key,
                                                    size_t key_len) {
  PkeyPtr pkey = ReadPublicKey(key, key_len);
  if (!pkey) return CK_INVALID_HANDLE;
  return AddObject(slot, RsaKeyObject(CKO_PUBLIC_KEY, pkey.get()));
}

EMUCARD_API CK_OBJECT_HANDLE emucard_add_object(CK_SLOT_ID slot, const CK_ATTRIBUTE* attrs,
                                                CK_ULONG count) {
  Object o;
  for (CK_ULONG i = 0; i < count; ++i) {
    const auto* p = static_cast<const unsigned char*>(attrs[i].pValue);
    o.attrs.emplace_back(attrs[i].type, p ? Bytes(p, p + attrs[i].ulValueLen) : Bytes());
    if (attrs[i].type == CKA_PRIVATE && p != nullptr && attrs[i].ulValueLen == 1)
      o.is_private = *p == CK_TRUE;
  }
  return AddObject(slot, std::move(o));
}

EMUCARD_API void emucard_set_user_pin(CK_SLOT_ID slot, const char* pin, size_t pin_len) {
  if (Reader* r = FindReader(slot)) r->pin.assign(pin, pin_len);
}

EMUCARD_API void emucard_set_pin_locked(CK_SLOT_ID slot, int locked) {
  if (Reader* r = FindReader(slot)) r->locked = locked != 0;
}

EMUCARD_API void emucard_set_pin_retry_limit(CK_SLOT_ID slot, unsigned limit) {
  if (Reader* r = FindReader(slot)) r->retry_limit = limit;
}

EMUCARD_API void emucard_fail_nth(emucard_fn fn, unsigned nth, CK_RV rv) {
  if (!ValidFn(fn) || nth == 0) return;
  M().nth[fn].push_back({nth, rv});
}

EMUCARD_API void emucard_fail_always(emucard_fn fn, CK_RV rv) {
  if (!ValidFn(fn)) return;
  M().always[fn] = rv;
}

EMUCARD_API size_t emucard_call_count(void) { return M().log.size(); }

EMUCARD_API int emucard_get_call(size_t i, emucard_call* out) {
  if (out == nullptr || i >= M().log.size()) return -1;
  *out = M().log[i];
  return 0;
}

EMUCARD_API void emucard_clear_log(void) { M().log.clear(); }

EMUCARD_API int emucard_initialized(void) { return M().initialized ? 1 : 0; }

EMUCARD_API int emucard_open_sessions(void) { return static_cast<int>(M().sessions.size()); }

EMUCARD_API int emucard_logged_in(CK_SLOT_ID slot) {
  const Reader* r = FindReader(slot);
  return r != nullptr && r->logged_in ? 1 : 0;
}

}  // extern "C"
