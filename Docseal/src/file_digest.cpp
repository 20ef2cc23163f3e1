#include "file_digest.h"

#include <openssl/evp.h>

#include <functional>
#include <memory>

#include "name_text.h"
#include "platform/files.h"

namespace docseal {

namespace {

struct MdCtxFree {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

MdCtx StartSha1() {
  MdCtx ctx(EVP_MD_CTX_new());
  if (ctx != nullptr && EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1) ctx.reset();
  return ctx;
}

// Feeds a file's bytes into the digest.
std::function<void(const unsigned char*, size_t)> Into(EVP_MD_CTX* ctx, bool* update_ok) {
  return [ctx, update_ok](const unsigned char* data, size_t size) {
    if (EVP_DigestUpdate(ctx, data, size) != 1) *update_ok = false;
  };
}

bool Finish(EVP_MD_CTX* ctx, unsigned char out[20]) {
  unsigned int len = 0;
  return EVP_DigestFinal_ex(ctx, out, &len) == 1 && len == 20;
}

}  // namespace

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

bool ListedNames(const std::string& entry, std::vector<std::string>* names) {
  if (entry.empty() || FindLastChar(entry, '\\') + 1 == entry.size()) return false;
  *names = SplitEntries(entry, '\\');
  for (const std::string& name : *names) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
      return false;
    }
  }
  return true;
}

bool DigestFile(const std::string& path, unsigned char out[20]) {
  MdCtx ctx = StartSha1();
  if (ctx == nullptr) return false;
  bool update_ok = true;
  return platform::StreamFile(path, Into(ctx.get(), &update_ok)) == platform::ReadStatus::kOk &&
         update_ok && Finish(ctx.get(), out);
}

bool DigestList(const std::string& base, const std::string& list, unsigned char out[20],
                std::vector<std::string>* unreadable) {
  MdCtx ctx = StartSha1();
  if (ctx == nullptr) return false;
  bool update_ok = true;
  std::vector<std::string> names;
  for (const std::string& entry : SplitEntries(list, ';')) {
    if (entry.empty()) continue;
    const platform::ReadStatus status =
        ListedNames(entry, &names)
            ? platform::StreamFileBeneath(base, names, Into(ctx.get(), &update_ok))
            : platform::ReadStatus::kUnreadable;
    if (status == platform::ReadStatus::kOk || status == platform::ReadStatus::kMissing) continue;
    if (unreadable == nullptr) return false;
    unreadable->push_back(entry);
  }
  return update_ok && Finish(ctx.get(), out);
}

}  // namespace docseal
