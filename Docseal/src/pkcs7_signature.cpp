// Pkcs7Signature: the digests, the signed content, the signature file and
// its verification.
#include <openssl/crypto.h>
#include <string.h>

#include <limits>
#include <memory>
#include <unordered_set>
#include <vector>

#include "Docseal.h"
#include "content_record.h"
#include "file_digest.h"
#include "name_text.h"
#include "platform/files.h"
#include "signature_object.h"
#include "signing_texts.h"
#include "vorpin_cardlock.h"
#include "vorpin_dll.h"

namespace docseal {
namespace {

constexpr char kDirSigName[] = "dir.sig";
constexpr int32_t kSignatureRoom = 4096;
constexpr int32_t kCertificateRoom = 2048;

// A counted-bytes record of the PKCS#7 library, released on every way out.
class RawRecord {
 public:
  RawRecord() = default;
  ~RawRecord() { RAW_DATA_delete(&record_); }
  RawRecord(const RawRecord&) = delete;
  RawRecord& operator=(const RawRecord&) = delete;
  bool Make(int32_t n) { return RAW_DATA_new(&record_, n) == 0; }
  raw_data_st* get() { return &record_; }

 private:
  raw_data_st record_{0, nullptr};
};

struct Pkcs7Release {
  void operator()(pkcs7_st* p) const { freePKCS7(p); }
};
using ParsedSignature = std::unique_ptr<pkcs7_st, Pkcs7Release>;

struct SignerListRelease {
  void operator()(stack_st* p) const { StackFree(p); }
};
using SignerList = std::unique_ptr<stack_st, SignerListRelease>;

std::string Base64(const unsigned char* data, int32_t size) {
  if (data == nullptr || size <= 0) return std::string();
  // Room for the whole text and its NUL, also for the shortest inputs.
  std::vector<char> text(4 * ((static_cast<size_t>(size) + 2) / 3) + 1);
  int32_t n =
      B64Encode(data, static_cast<uint32_t>(size), text.data(), static_cast<uint32_t>(text.size()));
  return n > 0 ? std::string(text.data(), static_cast<size_t>(n)) : std::string();
}

void ReleaseDigest(Pkcs7Signature* s) {
  delete[] s->digest;
  s->digest = nullptr;
  s->digestLength = 0;
}

// The part of a path after its last "/".
std::string BaseName(const std::string& path) {
  size_t slash = FindLastChar(path, '/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The directory that holds a file: "." for a bare name, "/" at the root.
std::string DirectoryOf(const std::string& path) {
  size_t slash = FindLastChar(path, '/');
  if (slash == std::string::npos) return path.empty() ? std::string() : std::string(".");
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The file or directory a signature file stands for: the signature's name
// without its extension when that exists, else the directory holding it.
std::string TargetOfSignature(const std::string& sig) {
  const size_t base = sig.size() - BaseName(sig).size();
  const size_t dot = FindLastChar(sig.substr(base), '.');
  if (dot != std::string::npos) {
    std::string stem = sig.substr(0, base + dot);
    if (platform::QueryPath(stem) != platform::PathKind::kMissing) return stem;
  }
  return DirectoryOf(sig);
}

// What a check of a directory found that its list and digest cannot show:
// names the walk met that a list cannot hold, and listed files or
// subdirectories that cannot be read.
struct TreeTrouble {
  std::vector<std::string> added;
  std::vector<std::string> unreadable;
};

// A path below the walked directory as a list writes it.
std::string ListEntry(const std::vector<std::string>& parts) {
  std::string entry;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) entry += '\\';
    entry += parts[i];
  }
  return entry;
}

// Walks the directory into fileList, leaving out the signature file itself
// (its exact name, where it lies in the tree; nothing when it lies outside,
// so that a file of the tree that shares its name stays protected). Without
// trouble: false when a directory cannot be listed or a name cannot be
// written into the list. With trouble, such names and directories are noted
// there and the walk goes on.
bool BuildFileList(Pkcs7Signature* s, TreeTrouble* trouble) {
  std::vector<std::string> own;
  const bool inside = platform::PlaceBelow(s->filename, s->sigFileName, &own);
  std::string list;
  bool representable = true;
  const auto visit = [&](const std::vector<std::string>& parts) {
    if (inside && parts == own) return true;
    for (const std::string& part : parts) {
      // A "\" or ";" inside a name would make the list ambiguous.
      if (ContainsChar(part, '\\') || ContainsChar(part, ';')) {
        if (trouble == nullptr) {
          representable = false;
          return false;
        }
        trouble->added.push_back(ListEntry(parts));
        return true;
      }
    }
    list += ListEntry(parts);
    list += ';';
    return true;
  };
  const bool walked =
      trouble == nullptr
          ? platform::WalkFiles(s->filename, visit)
          : platform::WalkFiles(s->filename, visit, [&](const std::vector<std::string>& parts) {
              trouble->unreadable.push_back(ListEntry(parts));
            });
  if (!walked || !representable) return false;
  s->fileList += list;
  return true;
}

// The entries of a signed list that name no file below its directory. The
// walk never writes them, and none of them is ever opened.
std::vector<std::string> EntriesOutside(const std::string& list) {
  std::vector<std::string> outside;
  std::vector<std::string> names;
  for (const std::string& entry : SplitEntries(list, ';')) {
    if (!entry.empty() && !ListedNames(entry, &names)) outside.push_back(entry);
  }
  return outside;
}

enum class SigFile { kRead, kCannotOpen, kNotSignature };

// Reads sigFileName whole into signature.
SigFile LoadSignatureFile(Pkcs7Signature* s) {
  std::vector<unsigned char> bytes;
  platform::ReadStatus status = platform::ReadWholeFile(
      s->sigFileName, static_cast<uint64_t>(std::numeric_limits<int32_t>::max()), &bytes);
  if (status == platform::ReadStatus::kTooLarge) return SigFile::kNotSignature;
  if (status != platform::ReadStatus::kOk) return SigFile::kCannotOpen;
  RAW_DATA_delete(&s->signature);
  if (RAW_DATA_new(&s->signature, static_cast<int32_t>(bytes.size())) != 0) throw std::bad_alloc();
  if (!bytes.empty()) memcpy(s->signature.data, bytes.data(), bytes.size());
  return SigFile::kRead;
}

// The signed content of a parsed signature, in a record made at the
// signature file's size.
bool ReadContent(Pkcs7Signature* s, pkcs7_st* p7, RawRecord* content) {
  if (!content->Make(s->signature.length)) throw std::bad_alloc();
  getContentString(p7, content->get());
  return content->get()->length >= 0;
}

// Reads the signature file's signer text (and file list). False when it
// cannot be read or is no signature of this system.
bool ReadSignerText(Pkcs7Signature* s) {
  if (LoadSignatureFile(s) != SigFile::kRead) return false;
  ParsedSignature p7(newPKCS7(&s->signature));
  if (p7 == nullptr) return false;
  RawRecord content;
  ContentView view;
  if (!ReadContent(s, p7.get(), &content) ||
      !ParseContent(content.get()->data, static_cast<size_t>(content.get()->length), &view)) {
    return false;
  }
  if (view.list_length > 0) {
    s->isDirectory = true;
    s->fileList = view.list;
  }
  s->signInfo = view.text;
  return true;
}

// Appends " name" for every entry of searched that other does not hold
// (whole entries, compared byte for byte: a name whose case changed is
// reported).
void AppendMissing(const std::string& searched, const std::string& other, std::string* out) {
  std::unordered_set<std::string> present;
  for (const std::string& entry : SplitEntries(other, ';')) present.insert(entry);
  for (const std::string& entry : SplitEntries(searched, ';')) {
    if (entry.empty() || present.count(entry) != 0) continue;
    *out += ' ';
    *out += entry;
  }
}

void AppendNames(const std::vector<std::string>& names, std::string* out) {
  for (const std::string& name : names) {
    *out += ' ';
    *out += name;
  }
}

// Compares a verified signature's content with the object's digest and file
// list (byte for byte: on Linux names differing in case are other files).
// trouble, when given, holds what the walk found besides the list.
int32_t CheckContent(Pkcs7Signature* s, const unsigned char* data, int32_t size,
                     const TreeTrouble* trouble) {
  ContentView view;
  if (!ParseContent(data, static_cast<size_t>(size), &view)) return DOCSEAL_ERR_NOT_PKCS7;
  const bool same_digest = memcmp(view.digest, s->digest, kDigestSize) == 0;
  // A renamed file or an added empty file leaves the digest as it was; only
  // the list shows it.
  const bool same_list = view.list == s->fileList;
  const std::vector<std::string> outside = EntriesOutside(view.list);
  const bool troubled =
      trouble != nullptr && (!trouble->added.empty() || !trouble->unreadable.empty());
  if (same_digest && same_list && outside.empty() && !troubled) {
    s->signInfo = view.text;
    return DOCSEAL_OK;
  }
  std::string message(kContentMismatch);
  // A content without a list is checked as a file: a differing digest gives
  // 7 with the message alone, also for a directory signed while empty.
  if (view.list_length == 0 && !same_digest && !troubled) {
    s->signInfo = message;
    return DOCSEAL_ERR_FILE_MISMATCH;
  }
  std::string more, lacks;
  if (!same_list) {
    if (view.list.size() > s->fileList.size()) {
      AppendMissing(view.list, s->fileList, &lacks);
    } else {
      AppendMissing(s->fileList, view.list, &more);
    }
  } else {
    // The list was taken from the signature: its entries outside the
    // directory were passed over unopened.
    AppendNames(outside, &lacks);
  }
  if (trouble != nullptr) {
    AppendNames(trouble->added, &more);
    AppendNames(trouble->unreadable, &lacks);
  }
  if (!more.empty()) message += kDirectoryHoldsMore + more;
  if (!lacks.empty()) message += kDirectoryLacks + lacks;
  s->signInfo = message;
  return DOCSEAL_ERR_DIR_MISMATCH;
}

// setFilename; trouble as for BuildFileList, and listed files that cannot be
// read are passed over into it.
bool SetTarget(Pkcs7Signature* s, const std::string& name, TreeTrouble* trouble) {
  s->filename = name.empty() ? TargetOfSignature(s->sigFileName) : name;
  const platform::PathKind kind = platform::QueryPath(s->filename);
  if (kind == platform::PathKind::kMissing) return false;
  s->isDirectory = kind == platform::PathKind::kDirectory;
  ReleaseDigest(s);
  // Each name starts a list of its own, also when one object serves
  // several names.
  s->fileList.clear();
  std::unique_ptr<unsigned char[]> out(new unsigned char[kDigestSize]);
  if (s->isDirectory) {
    if (s->sigFileName.empty()) s->sigFileName = JoinPath(s->filename, kDirSigName);
    if (!BuildFileList(s, trouble) ||
        !DigestList(s->filename, s->fileList, out.get(),
                    trouble != nullptr ? &trouble->unreadable : nullptr)) {
      return false;
    }
  } else if (!DigestFile(s->filename, out.get())) {
    return false;
  }
  s->digest = out.release();
  s->digestLength = kDigestSize;
  return true;
}

// verify; trouble as CheckContent takes it.
int32_t VerifyWith(Pkcs7Signature* s, const TreeTrouble* trouble) {
  // Nothing was digested: there is nothing to compare the signature with.
  if (s->digest == nullptr || s->digestLength != kDigestSize) return DOCSEAL_ERR_PATH;
  if (s->sigFileName.empty()) s->sigFileName = s->filename + ".sig";
  const SigFile read = LoadSignatureFile(s);
  if (read == SigFile::kCannotOpen) return DOCSEAL_ERR_PATH;
  if (read == SigFile::kNotSignature) return DOCSEAL_ERR_NOT_PKCS7;
  ParsedSignature p7(newPKCS7(&s->signature));
  if (p7 == nullptr) return DOCSEAL_ERR_NOT_PKCS7;

  SignerList signers(PKCS7_get_signer_infos(p7.get()));
  const int n = signers != nullptr ? sk_PKCS7_SIGNER_INFOs_num(signers.get()) : 0;
  std::unique_ptr<bool[]> flags(n > 0 ? new bool[static_cast<size_t>(n)]() : nullptr);
  std::vector<char> bytes(static_cast<size_t>(n) * 20);
  if (P7Verify(p7.get(), flags.get(), n > 0 ? bytes.data() : nullptr, 1) != 0) {
    return DOCSEAL_ERR_SIGNATURE;
  }
  for (int i = 0; i < n; ++i) {
    if (!flags[i]) return DOCSEAL_ERR_SIGNATURE;
  }
  RawRecord content;
  if (!ReadContent(s, p7.get(), &content)) return DOCSEAL_ERR_NOT_PKCS7;
  return CheckContent(s, content.get()->data, content.get()->length, trouble);
}

int32_t MapSignAnswer(int answer) {
  switch (answer) {
    case SIGENV_OK:
      return DOCSEAL_OK;
    case SIGENV_ERR_CARD_ABSENT:
      return DOCSEAL_ERR_NO_CARD;
    case SIGENV_ERR_PIN:
      return DOCSEAL_ERR_PIN;
    case SIGENV_ERR_LOGIN:
      return DOCSEAL_ERR_LOGIN;
    default:
      return DOCSEAL_ERR_CARD;
  }
}

}  // namespace

int32_t VerifyTarget(Pkcs7Signature* s, const std::string& name) {
  return Guarded([&]() -> int32_t {
    TreeTrouble trouble;
    if (!SetTarget(s, name, &trouble)) return DOCSEAL_ERR_PATH;
    return VerifyWith(s, &trouble);
  });
}

}  // namespace docseal

using namespace docseal;

Pkcs7Signature::Pkcs7Signature()
    : isDirectory(false), digest(nullptr), digestLength(0), signature{0, nullptr} {}

Pkcs7Signature::~Pkcs7Signature() {
  ReleaseDigest(this);
  RAW_DATA_delete(&signature);
  if (!password.empty()) OPENSSL_cleanse(&password[0], password.size());
}

void Pkcs7Signature::setPassword(std::string pin) {
  if (!password.empty()) OPENSSL_cleanse(&password[0], password.size());
  password.swap(pin);
  if (!pin.empty()) OPENSSL_cleanse(&pin[0], pin.size());
}

int32_t Pkcs7Signature::setSigFileName(std::string name) {
  sigFileName.swap(name);
  return 0;
}

void Pkcs7Signature::setSignInfo(std::string text) {
  if (text.empty()) text = " ";
  signInfo.swap(text);
}

bool Pkcs7Signature::setFilename(std::string name) {
  try {
    return SetTarget(this, name, nullptr);
  } catch (...) {
    return false;
  }
}

unsigned char* Pkcs7Signature::hashFile(std::string source) {
  try {
    std::unique_ptr<unsigned char[]> out(new unsigned char[kDigestSize]);
    const bool ok =
        isDirectory ? DigestList(filename, source, out.get()) : DigestFile(source, out.get());
    return ok ? out.release() : nullptr;
  } catch (...) {
    return nullptr;
  }
}

int32_t Pkcs7Signature::hashDirLocal() {
  try {
    if (filename.empty()) filename = DirectoryOf(sigFileName);
    // The list comes from the signature alone, even when a signer text was
    // set before.
    fileList.clear();
    isDirectory = false;
    ReadSignerText(this);
    ReleaseDigest(this);
    std::unique_ptr<unsigned char[]> out(new unsigned char[kDigestSize]);
    // A file signature holds no list: its digest is checked against the
    // digest of an empty list. A listed file that cannot be read is passed
    // over, so the check reports a content mismatch rather than a missing
    // signature file; so is an entry that would lead outside the directory,
    // unopened.
    std::vector<std::string> unreadable;
    if (DigestList(filename, fileList, out.get(), &unreadable)) {
      digest = out.release();
      digestLength = kDigestSize;
    }
  } catch (...) {
    ReleaseDigest(this);
  }
  return 0;
}

int32_t Pkcs7Signature::Sign() {
  // The certificate read and the signing see the same card start.
  const vorpin::CardLock lock;
  return Guarded([&]() -> int32_t {
    const int64_t size = static_cast<int64_t>(digestLength > 0 ? digestLength : 0) + 4 +
                         static_cast<int64_t>(fileList.size()) +
                         static_cast<int64_t>(signInfo.size());
    if (size + kSignatureRoom > std::numeric_limits<int32_t>::max()) return DOCSEAL_ERR_RECORD;
    RawRecord content;
    if (!content.Make(static_cast<int32_t>(size))) return DOCSEAL_ERR_RECORD;
    FillContent(content.get()->data, digest, digest != nullptr ? digestLength : 0, fileList,
                signInfo);

    RAW_DATA_delete(&signature);
    if (RAW_DATA_new(&signature, static_cast<int32_t>(size) + kSignatureRoom) != 0) {
      return DOCSEAL_ERR_RECORD;
    }
    std::vector<char> pin(password.begin(), password.end());
    pin.push_back('\0');
    const int answer = P7Sign(content.get(), &signature, pin.data(), 1);
    OPENSSL_cleanse(pin.data(), pin.size());
    // Without a signature there is nothing to write or encode.
    if (answer != SIGENV_OK) RAW_DATA_delete(&signature);
    return MapSignAnswer(answer);
  });
}

int32_t Pkcs7Signature::write2File(std::string name) {
  return Guarded([&]() -> int32_t {
    if (name.empty()) name = isDirectory ? JoinPath(filename, kDirSigName) : filename + ".sig";
    std::vector<char> path(name.begin(), name.end());
    path.push_back('\0');
    return P7_Write_PKCS72BIN(&signature, path.data()) > 0 ? DOCSEAL_OK : DOCSEAL_ERR_WRITE;
  });
}

int32_t Pkcs7Signature::verify() {
  return Guarded([&]() -> int32_t { return VerifyWith(this, nullptr); });
}

std::string Pkcs7Signature::getSignInfo() {
  try {
    if (!signInfo.empty()) return signInfo;
    return ReadSignerText(this) ? signInfo : std::string();
  } catch (...) {
    return std::string();
  }
}

std::string Pkcs7Signature::getB64Signature() {
  try {
    return Base64(signature.data, signature.length);
  } catch (...) {
    return std::string();
  }
}

std::string Pkcs7Signature::getB64Cert(int32_t index) {
  try {
    if (sigFileName.empty()) sigFileName = filename + ".sig";
    if (LoadSignatureFile(this) != SigFile::kRead) return std::string();
    RawRecord cert;
    if (!cert.Make(kCertificateRoom)) return std::string();
    ParsedSignature p7(newPKCS7(&signature));
    if (p7 == nullptr || P7getX509Cert(p7.get(), index, cert.get(), nullptr) != 0) {
      return std::string();
    }
    return Base64(cert.get()->data, cert.get()->length);
  } catch (...) {
    return std::string();
  }
}
