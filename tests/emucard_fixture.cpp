#include "emucard_fixture.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <map>
#include <stdexcept>

namespace emucard_test {
namespace {

struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
struct BioFree {
  void operator()(BIO* p) const { BIO_free_all(p); }
};
struct BnFree {
  void operator()(BIGNUM* p) const { BN_free(p); }
};

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("making the test card: ") + what);
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(len));
}

Identity MakeIdentity(const char* common_name) {
  Identity id;
  id.key.reset(EVP_RSA_gen(1024), EVP_PKEY_free);
  Check(id.key != nullptr, "RSA key");

  std::unique_ptr<X509, X509Free> cert(X509_new());
  Check(cert != nullptr, "X509_new");
  X509_set_version(cert.get(), X509_VERSION_3);
  unsigned char serial_bytes[16];
  Check(RAND_bytes(serial_bytes, sizeof serial_bytes) == 1, "serial");
  serial_bytes[0] &= 0x7f;
  std::unique_ptr<BIGNUM, BnFree> serial(BN_bin2bn(serial_bytes, sizeof serial_bytes, nullptr));
  Check(serial && BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) != nullptr,
        "serial");
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("TW"),
                             -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(common_name), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3650L * 24 * 3600);
  Check(X509_set_pubkey(cert.get(), id.key.get()) == 1, "public key");
  Check(X509_sign(cert.get(), id.key.get(), EVP_sha256()) > 0, "X509_sign");

  int len = i2d_X509(cert.get(), nullptr);
  Check(len > 0, "i2d_X509");
  id.cert_der.resize(static_cast<size_t>(len));
  unsigned char* p = id.cert_der.data();
  i2d_X509(cert.get(), &p);

  std::unique_ptr<BIO, BioFree> key_bio(BIO_new(BIO_s_mem()));
  Check(key_bio && PEM_write_bio_PrivateKey(key_bio.get(), id.key.get(), nullptr, nullptr, 0,
                                            nullptr, nullptr) == 1,
        "key PEM");
  id.key_pem = BioText(key_bio.get());
  std::unique_ptr<BIO, BioFree> pub_bio(BIO_new(BIO_s_mem()));
  Check(pub_bio && PEM_write_bio_PUBKEY(pub_bio.get(), id.key.get()) == 1, "public PEM");
  id.public_pem = BioText(pub_bio.get());
  return id;
}

const unsigned char* Data(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

const CardKit& Kit() {
  static const CardKit kit{MakeIdentity("Emulated Card Signing"),
                           MakeIdentity("Emulated Card Encryption"),
                           MakeIdentity("Emulated Card Other")};
  return kit;
}

std::vector<emucard_call> Calls() {
  std::vector<emucard_call> calls(emucard_call_count());
  for (size_t i = 0; i < calls.size(); ++i) emucard_get_call(i, &calls[i]);
  return calls;
}

std::vector<emucard_call> CallsOf(emucard_fn fn) {
  std::vector<emucard_call> out;
  for (const auto& c : Calls())
    if (c.fn == fn) out.push_back(c);
  return out;
}

std::vector<emucard_fn> CallSequence() {
  std::vector<emucard_fn> out;
  for (const auto& c : Calls()) out.push_back(c.fn);
  return out;
}

std::string Describe(const std::vector<emucard_fn>& sequence) {
  std::string text;
  for (emucard_fn fn : sequence) text += std::string(text.empty() ? "" : " ") + emucard_fn_name(fn);
  return text;
}

void EmuCardTest::SetUp() {
  emucard_reset();
  ClearMessages();
  test_support::TraceLog::Get().Install();
}

void EmuCardTest::TearDown() {
  vorpin_fini();
  vorpin_test_set_trace_sink(nullptr);
  ClearMessages();
  emucard_reset();
}

void AddStandardCard(CK_SLOT_ID slot) {
  const CardKit& kit = Kit();
  ASSERT_EQ(emucard_add_reader(slot, 1), 0);
  ASSERT_NE(emucard_add_certificate(slot, kit.sign.cert_der.data(), kit.sign.cert_der.size()),
            CK_INVALID_HANDLE);
  ASSERT_NE(emucard_add_private_key(slot, Data(kit.sign.key_pem), kit.sign.key_pem.size()),
            CK_INVALID_HANDLE);
  ASSERT_NE(emucard_add_certificate(slot, kit.enc.cert_der.data(), kit.enc.cert_der.size()),
            CK_INVALID_HANDLE);
  ASSERT_NE(emucard_add_private_key(slot, Data(kit.enc.key_pem), kit.enc.key_pem.size()),
            CK_INVALID_HANDLE);
  emucard_set_user_pin(slot, kUserPin, sizeof kUserPin - 1);
}

void AddCardWithCertificates(CK_SLOT_ID slot, const std::vector<const Bytes*>& certs) {
  ASSERT_EQ(emucard_add_reader(slot, 1), 0);
  for (const Bytes* cert : certs)
    ASSERT_NE(emucard_add_certificate(slot, cert->data(), cert->size()), CK_INVALID_HANDLE);
}

void EmuCardTest::InitReady() {
  ASSERT_EQ(vorpin_init(), VORPIN_OK);
  ClearMessages();
  emucard_clear_log();
}

void EmuCardTest::ExpectSessionDiscipline() {
  struct Track {
    bool closed = false;
    bool logged_in = false;
  };
  std::map<CK_SESSION_HANDLE, Track> sessions;
  for (const auto& c : Calls()) {
    const char* name = emucard_fn_name(c.fn);
    if (c.fn == EMUCARD_C_OpenSession) {
      EXPECT_EQ(c.flags, static_cast<CK_FLAGS>(CKF_SERIAL_SESSION | CKF_RW_SESSION));
      EXPECT_TRUE(c.null_arg) << "C_OpenSession with an application pointer or notify";
      if (c.rv == CKR_OK) sessions[c.session] = Track();
      continue;
    }
    const bool takes_session = c.fn != EMUCARD_C_GetFunctionList && c.fn != EMUCARD_C_Initialize &&
                               c.fn != EMUCARD_C_Finalize && c.fn != EMUCARD_C_GetSlotList;
    if (c.fn == EMUCARD_C_Finalize) {
      for (const auto& s : sessions)
        EXPECT_TRUE(s.second.closed) << "session " << s.first << " still open at C_Finalize";
      continue;
    }
    if (!takes_session) continue;
    auto it = sessions.find(c.session);
    if (it == sessions.end()) {
      ADD_FAILURE() << name << " on session " << c.session << " that was never opened";
      continue;
    }
    Track& t = it->second;
    EXPECT_FALSE(t.closed) << name << " on session " << c.session << " after its close";
    if (c.fn == EMUCARD_C_Login && c.rv == CKR_OK) t.logged_in = true;
    if (c.fn == EMUCARD_C_Logout) t.logged_in = false;
    if (c.fn == EMUCARD_C_CloseSession) {
      EXPECT_FALSE(t.logged_in) << "session " << c.session << " closed without C_Logout";
      t.closed = true;
    }
  }
  for (const auto& s : sessions)
    EXPECT_TRUE(s.second.closed) << "session " << s.first << " never closed";
  EXPECT_EQ(emucard_open_sessions(), 0);
}

void EmuCardTest::ExpectSearchTemplate(CK_OBJECT_CLASS object_class, CK_ATTRIBUTE_TYPE second_type,
                                       CK_ULONG second_value) {
  for (const auto& c : CallsOf(EMUCARD_C_FindObjectsInit)) {
    ASSERT_EQ(c.attr_count, 2u);
    EXPECT_EQ(c.attrs[0].type, static_cast<CK_ATTRIBUTE_TYPE>(CKA_CLASS));
    EXPECT_EQ(c.attrs[0].value_len, sizeof(CK_ULONG));
    EXPECT_EQ(c.attrs[0].value_ulong, object_class);
    EXPECT_EQ(c.attrs[1].type, second_type);
    EXPECT_EQ(c.attrs[1].value_len, sizeof(CK_ULONG));
    EXPECT_EQ(c.attrs[1].value_ulong, second_value);
  }
  for (const auto& c : CallsOf(EMUCARD_C_FindObjects)) EXPECT_LE(c.count, 2u);
}

void EmuCardTest::ExpectNullInitArguments() {
  for (const auto& c : Calls()) {
    if (c.fn == EMUCARD_C_Initialize || c.fn == EMUCARD_C_Finalize) {
      EXPECT_TRUE(c.null_arg) << emucard_fn_name(c.fn) << " with a non-null argument";
    }
  }
}

}  // namespace emucard_test
