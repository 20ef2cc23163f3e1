#include "file_digest.h"

#include <openssl/evp.h>

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

platform::ReadStatus Feed(EVP_MD_CTX* ctx, const std::string& path, bool* update_ok) {
  return platform::StreamFile(path, [&](const unsigned char* data, size_t size) {
    if (EVP_DigestUpdate(ctx, data, size) != 1) *update_ok = false;
  });
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

std::string ListedPath(const std::string& base, const std::string& entry) {
  return JoinPath(base, ReplaceChar(entry, '\\', '/'));
}

bool DigestFile(const std::string& path, unsigned char out[20]) {
  MdCtx ctx = StartSha1();
  if (ctx == nullptr) return false;
  bool update_ok = true;
  return Feed(ctx.get(), path, &update_ok) == platform::ReadStatus::kOk && update_ok &&
         Finish(ctx.get(), out);
}

bool DigestList(const std::string& base, const std::string& list, unsigned char out[20],
                bool pass_over_unreadable) {
  MdCtx ctx = StartSha1();
  if (ctx == nullptr) return false;
  bool update_ok = true;
  for (const std::string& entry : SplitEntries(list, ';')) {
    if (entry.empty()) continue;
    platform::ReadStatus status = Feed(ctx.get(), ListedPath(base, entry), &update_ok);
    if (status == platform::ReadStatus::kUnreadable && pass_over_unreadable) continue;
    if (status != platform::ReadStatus::kOk && status != platform::ReadStatus::kMissing) {
      return false;
    }
  }
  return update_ok && Finish(ctx.get(), out);
}

}  // namespace docseal
