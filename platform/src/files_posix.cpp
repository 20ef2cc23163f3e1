#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "platform/files.h"

namespace platform {

namespace {

// An open descriptor, closed on every way out.
class Fd {
 public:
  explicit Fd(int fd) noexcept : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const noexcept { return fd_; }
  int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Opens a regular file for reading. O_NONBLOCK keeps a pipe from blocking the
// open; it is cleared again once the file is known to be regular.
ReadStatus OpenRegular(const std::string& path, int* fd_out, uint64_t* size_out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0)
    return errno == ENOENT || errno == ENOTDIR ? ReadStatus::kMissing : ReadStatus::kUnreadable;
  Fd guard(fd);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return ReadStatus::kUnreadable;
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return ReadStatus::kUnreadable;
#ifdef POSIX_FADV_SEQUENTIAL
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  *size_out = static_cast<uint64_t>(st.st_size);
  *fd_out = guard.release();
  return ReadStatus::kOk;
}

// read() that retries after signals; the count read, 0 at the end, -1 on error.
ssize_t ReadSome(int fd, unsigned char* buf, size_t n) {
  for (;;) {
    ssize_t got = read(fd, buf, n);
    if (got >= 0 || errno != EINTR) return got;
  }
}

}  // namespace

PathKind QueryPath(const std::string& path) noexcept {
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return PathKind::kMissing;
  if (S_ISDIR(st.st_mode)) return PathKind::kDirectory;
  if (S_ISREG(st.st_mode)) return PathKind::kFile;
  return PathKind::kOther;
}

ReadStatus StreamFile(const std::string& path,
                      const std::function<void(const unsigned char*, size_t)>& sink) {
  int raw = -1;
  uint64_t size = 0;
  ReadStatus status = OpenRegular(path, &raw, &size);
  if (status != ReadStatus::kOk) return status;
  Fd fd(raw);
  std::unique_ptr<unsigned char[]> piece(new unsigned char[kReadPiece]);
  for (;;) {
    ssize_t got = ReadSome(fd.get(), piece.get(), kReadPiece);
    if (got < 0) return ReadStatus::kUnreadable;
    if (got == 0) return ReadStatus::kOk;
    sink(piece.get(), static_cast<size_t>(got));
  }
}

ReadStatus ReadWholeFile(const std::string& path, uint64_t max_size,
                         std::vector<unsigned char>* out) {
  int raw = -1;
  uint64_t size = 0;
  ReadStatus status = OpenRegular(path, &raw, &size);
  if (status != ReadStatus::kOk) return status;
  Fd fd(raw);
  if (size > max_size) return ReadStatus::kTooLarge;
  out->clear();
  out->reserve(static_cast<size_t>(size));
  // The size is a hint only: the file may change while it is read.
  unsigned char piece[16384];
  for (;;) {
    ssize_t got = ReadSome(fd.get(), piece, sizeof piece);
    if (got < 0) return ReadStatus::kUnreadable;
    if (got == 0) return ReadStatus::kOk;
    if (out->size() + static_cast<size_t>(got) > max_size) return ReadStatus::kTooLarge;
    out->insert(out->end(), piece, piece + got);
  }
}

bool WriteWholeFile(const std::string& path, const unsigned char* data, size_t size) noexcept {
  int raw = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
  if (raw < 0) return false;
  bool ok = true;
  size_t done = 0;
  while (ok && done < size) {
    ssize_t put = write(raw, data + done, size - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      ok = false;
    } else {
      done += static_cast<size_t>(put);
    }
  }
  if (close(raw) != 0) ok = false;
  if (!ok) unlink(path.c_str());
  return ok;
}

int CompareNames(const std::string& a, const std::string& b) noexcept {
  auto upper = [](unsigned char c) -> unsigned char {
    return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : c;
  };
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = upper(static_cast<unsigned char>(a[i]));
    unsigned char y = upper(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

namespace {

// Names of a directory's entries (without "." and ".."), sorted; false when
// the directory cannot be read. dir_fd stays open for the caller.
bool ListDirectory(int dir_fd, std::vector<std::string>* names) {
  int list_fd = dup(dir_fd);
  if (list_fd < 0) return false;
  DIR* dir = fdopendir(list_fd);
  if (dir == nullptr) {
    close(list_fd);
    return false;
  }
  std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, closedir);
  rewinddir(dir);
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) return false;
      break;
    }
    std::string name(entry->d_name);
    if (name == "." || name == "..") continue;
    names->push_back(std::move(name));
  }
  std::sort(names->begin(), names->end(),
            [](const std::string& a, const std::string& b) { return CompareNames(a, b) < 0; });
  return true;
}

bool WalkAt(int dir_fd, std::vector<std::string>* components,
            const std::function<bool(const std::vector<std::string>&)>& visit) {
  std::vector<std::string> names;
  if (!ListDirectory(dir_fd, &names)) return false;
  for (const std::string& name : names) {
    struct stat st;
    if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      // Gone since it was listed: no longer part of the tree.
      if (errno == ENOENT) continue;
      return false;
    }
    if (S_ISLNK(st.st_mode)) {
      // A link counts as the regular file it names; anything else it names
      // (a directory, nothing at all) is left out.
      if (fstatat(dir_fd, name.c_str(), &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
    }
    components->push_back(name);
    bool go_on = true;
    if (S_ISDIR(st.st_mode)) {
      Fd sub(openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      go_on = sub.get() >= 0 && WalkAt(sub.get(), components, visit);
    } else if (S_ISREG(st.st_mode)) {
      go_on = visit(*components);
    }
    components->pop_back();
    if (!go_on) return false;
  }
  return true;
}

}  // namespace

bool WalkFiles(const std::string& dir,
               const std::function<bool(const std::vector<std::string>& components)>& visit) {
  Fd top(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (top.get() < 0) return false;
  std::vector<std::string> components;
  return WalkAt(top.get(), &components, visit);
}

}  // namespace platform
