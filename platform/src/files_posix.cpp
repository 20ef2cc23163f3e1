#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#ifdef SYS_openat2
#include <linux/openat2.h>
#endif

#include <algorithm>
#include <atomic>
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
  void reset(int fd) noexcept {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Opens a regular file for reading, name taken relative to dir_fd. O_NONBLOCK
// keeps a pipe from blocking the open; it can stay set, as it changes
// nothing for the reads of a regular file (and a tree of many small files
// saves two calls a file).
ReadStatus OpenRegularAt(int dir_fd, const char* name, int* fd_out, uint64_t* size_out) {
  int fd = openat(dir_fd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0)
    return errno == ENOENT || errno == ENOTDIR ? ReadStatus::kMissing : ReadStatus::kUnreadable;
  Fd guard(fd);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return ReadStatus::kUnreadable;
#ifdef POSIX_FADV_SEQUENTIAL
  // Read-ahead advice pays only for files of many pieces.
  if (static_cast<uint64_t>(st.st_size) > 16 * kReadPiece) {
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
#endif
  *size_out = static_cast<uint64_t>(st.st_size);
  *fd_out = guard.release();
  return ReadStatus::kOk;
}

ReadStatus OpenRegular(const std::string& path, int* fd_out, uint64_t* size_out) {
  return OpenRegularAt(AT_FDCWD, path.c_str(), fd_out, size_out);
}

// read() that retries after signals; the count read, 0 at the end, -1 on error.
// A file system that honours O_NONBLOCK for regular files (some network and
// user-space ones) gets it cleared on its first EAGAIN, then is read blocking.
ssize_t ReadSome(int fd, unsigned char* buf, size_t n) {
  for (;;) {
    ssize_t got = read(fd, buf, n);
    if (got >= 0) return got;
    if (errno == EAGAIN) {
      const int flags = fcntl(fd, F_GETFL);
      if (flags < 0 || (flags & O_NONBLOCK) == 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return -1;
      }
      continue;
    }
    if (errno != EINTR) return got;
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

namespace {

// Feeds the bytes of the open regular file raw to sink and closes it.
ReadStatus StreamOpenFile(int raw, const std::function<void(const unsigned char*, size_t)>& sink) {
  Fd fd(raw);
  std::unique_ptr<unsigned char[]> piece(new unsigned char[kReadPiece]);
  for (;;) {
    ssize_t got = ReadSome(fd.get(), piece.get(), kReadPiece);
    if (got < 0) return ReadStatus::kUnreadable;
    if (got == 0) return ReadStatus::kOk;
    sink(piece.get(), static_cast<size_t>(got));
  }
}

// A component of a path below a directory that stays in that directory.
bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Opens the directory that the first count components name below top,
// without leaving top and without following links: by openat2 where the
// kernel has it, else one component at a time with O_NOFOLLOW. The
// components are plain names. -1 with errno set on failure.
int OpenDirectoryBeneath(int top, const std::vector<std::string>& components, size_t count,
                         bool use_openat2) {
  const int dir_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#ifdef SYS_openat2
  if (use_openat2) {
    std::string rel = ".";
    for (size_t i = 0; i < count; ++i) rel += "/" + components[i];
    struct open_how how = {};
    how.flags = dir_flags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = syscall(SYS_openat2, top, rel.c_str(), &how, sizeof how);
    // Kernels before 5.6 (or filters that hide the call) answer ENOSYS or
    // EPERM; the walk below is as strict, only slower.
    if (fd >= 0) return static_cast<int>(fd);
    if (errno != ENOSYS && errno != EPERM) return -1;
  }
#else
  (void)use_openat2;
#endif
  Fd current(fcntl(top, F_DUPFD_CLOEXEC, 0));
  for (size_t i = 0; i < count && current.get() >= 0; ++i) {
    Fd next(openat(current.get(), components[i].c_str(), dir_flags | O_NOFOLLOW));
    if (next.get() < 0) {
      // O_DIRECTORY answers ENOTDIR for a link; it is a link refused, as
      // openat2 reports it.
      struct stat st;
      if (errno == ENOTDIR &&
          fstatat(current.get(), components[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(st.st_mode)) {
        errno = ELOOP;
      }
      return -1;
    }
    current.reset(next.release());
  }
  return current.release();
}

}  // namespace

ReadStatus StreamFile(const std::string& path,
                      const std::function<void(const unsigned char*, size_t)>& sink) {
  int raw = -1;
  uint64_t size = 0;
  ReadStatus status = OpenRegular(path, &raw, &size);
  if (status != ReadStatus::kOk) return status;
  return StreamOpenFile(raw, sink);
}

ReadStatus StreamFileBeneath(const std::string& dir, const std::vector<std::string>& components,
                             const std::function<void(const unsigned char*, size_t)>& sink) {
  return StreamFileBeneathWith(dir, components, sink, true);
}

ReadStatus StreamFileBeneathWith(const std::string& dir, const std::vector<std::string>& components,
                                 const std::function<void(const unsigned char*, size_t)>& sink,
                                 bool use_openat2) {
  if (components.empty() || !std::all_of(components.begin(), components.end(), IsPlainName)) {
    return ReadStatus::kUnreadable;
  }
  // An empty directory path is the current directory, as for a relative path.
  Fd top(open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (top.get() < 0)
    return errno == ENOENT || errno == ENOTDIR ? ReadStatus::kMissing : ReadStatus::kUnreadable;
  Fd parent(OpenDirectoryBeneath(top.get(), components, components.size() - 1, use_openat2));
  if (parent.get() < 0)
    return errno == ENOENT || errno == ENOTDIR ? ReadStatus::kMissing : ReadStatus::kUnreadable;
  int raw = -1;
  uint64_t size = 0;
  ReadStatus status = OpenRegularAt(parent.get(), components.back().c_str(), &raw, &size);
  if (status != ReadStatus::kOk) return status;
  return StreamOpenFile(raw, sink);
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

namespace {

// Writes all bytes to fd, retrying after signals.
bool WriteAll(int fd, const unsigned char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t put = write(fd, data + done, size - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

// Creates a new file beside target under a name no other file has: the
// target's name after a "." with a unique ending. The mode is that of open
// with 0666, so the process's umask applies as for any new file.
int CreateTemporaryBeside(const std::string& target, std::string* name) {
  static std::atomic<unsigned> counter{0};
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  // Short enough that the ending still fits into a file name.
  const std::string base = target.substr(dir.size()).substr(0, 200);
  for (int attempt = 0; attempt < 100; ++attempt) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    *name = dir + "." + base + "." + std::to_string(getpid()) + "." +
            std::to_string(counter.fetch_add(1)) + "." + std::to_string(now.tv_nsec);
    int fd = open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

bool PlaceBelow(const std::string& dir, const std::string& path,
                std::vector<std::string>* components) {
  const auto resolved = [](const std::string& p, std::string* out) {
    std::unique_ptr<char, void (*)(void*)> real(realpath(p.c_str(), nullptr), free);
    if (real == nullptr) return false;
    *out = real.get();
    return true;
  };
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string parent =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  std::string top, where;
  if (name.empty() || dir.empty() || !resolved(dir, &top) || !resolved(parent, &where)) {
    return false;
  }
  components->clear();
  if (where != top) {
    const std::string prefix = top == "/" ? top : top + "/";
    if (where.compare(0, prefix.size(), prefix) != 0) return false;
    size_t at = prefix.size();
    while (at <= where.size()) {
      const size_t next = std::min(where.find('/', at), where.size());
      components->push_back(where.substr(at, next - at));
      at = next + 1;
    }
  }
  components->push_back(name);
  return true;
}

bool WriteWholeFile(const std::string& path, const unsigned char* data, size_t size) noexcept {
  try {
    if (path.empty()) return false;
    std::string target = path;
    struct stat st;
    bool existed = false;
    if (lstat(path.c_str(), &st) == 0) {
      if (S_ISLNK(st.st_mode)) {
        // A link to a file: the file it names is replaced, the link stays.
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
        std::unique_ptr<char, void (*)(void*)> real(realpath(path.c_str(), nullptr), free);
        if (real == nullptr) return false;
        target = real.get();
      } else if (!S_ISREG(st.st_mode)) {
        return false;
      }
      existed = true;
    } else if (errno != ENOENT) {
      return false;
    }

    std::string temporary;
    Fd fd(CreateTemporaryBeside(target, &temporary));
    if (fd.get() < 0) return false;
    // A replaced file keeps its permissions.
    bool ok = (!existed || fchmod(fd.get(), st.st_mode & 07777) == 0) &&
              WriteAll(fd.get(), data, size) && fsync(fd.get()) == 0;
    if (close(fd.release()) != 0) ok = false;
    if (ok) ok = rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
      unlink(temporary.c_str());
      return false;
    }
    // The new name is on the disk once its directory is.
    const size_t slash = target.rfind('/');
    const std::string dir =
        slash == std::string::npos ? std::string(".") : target.substr(0, slash == 0 ? 1 : slash);
    Fd dir_fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir_fd.get() >= 0) fsync(dir_fd.get());
    return true;
  } catch (...) {
    return false;
  }
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

using Unlisted = std::function<void(const std::vector<std::string>&)>;

// unlisted, when not null, takes the subdirectories that cannot be read.
bool WalkAt(int dir_fd, std::vector<std::string>* components,
            const std::function<bool(const std::vector<std::string>&)>& visit,
            const Unlisted* unlisted) {
  std::vector<std::string> names;
  if (!ListDirectory(dir_fd, &names)) return false;
  for (const std::string& name : names) {
    struct stat st;
    if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      // Gone since it was listed: no longer part of the tree.
      if (errno == ENOENT) continue;
      // A subdirectory that can be listed but not searched: none of its
      // entries can be looked at, so it counts as one that cannot be read.
      if (unlisted == nullptr || components->empty()) return false;
      (*unlisted)(*components);
      return true;
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
      std::vector<std::string> sub_names;
      if (unlisted != nullptr && (sub.get() < 0 || !ListDirectory(sub.get(), &sub_names))) {
        (*unlisted)(*components);
      } else {
        go_on = sub.get() >= 0 && WalkAt(sub.get(), components, visit, unlisted);
      }
    } else if (S_ISREG(st.st_mode)) {
      go_on = visit(*components);
    }
    components->pop_back();
    if (!go_on) return false;
  }
  return true;
}

bool WalkFrom(const std::string& dir,
              const std::function<bool(const std::vector<std::string>&)>& visit,
              const Unlisted* unlisted) {
  Fd top(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (top.get() < 0) return false;
  std::vector<std::string> components;
  return WalkAt(top.get(), &components, visit, unlisted);
}

}  // namespace

bool WalkFiles(const std::string& dir,
               const std::function<bool(const std::vector<std::string>& components)>& visit) {
  return WalkFrom(dir, visit, nullptr);
}

bool WalkFiles(const std::string& dir,
               const std::function<bool(const std::vector<std::string>& components)>& visit,
               const std::function<void(const std::vector<std::string>& components)>& unlisted) {
  return WalkFrom(dir, visit, &unlisted);
}

}  // namespace platform
