// Files and the directory walk: the only place that touches the file system
// through POSIX calls. Paths use "/"; nothing here knows about signatures.
#ifndef PLATFORM_FILES_H
#define PLATFORM_FILES_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace platform {

enum class PathKind {
  kMissing,    // no such path (or it cannot be looked at)
  kFile,       // a regular file, or a link to one
  kDirectory,  // a directory, or a link to one
  kOther,      // a device, pipe, socket or a link to one
};

// What the path names, following symbolic links.
PathKind QueryPath(const std::string& path) noexcept;

// Size of the pieces in which files are read. A piece is digested right
// after the kernel copied it, so it should still be in the core's cache
// then: 64 KiB, together with the page-cache bytes it was copied from, fits
// the smallest per-core cache of current processors (256 KiB); bigger pieces
// overflow it and the digest reads them back from memory.
constexpr size_t kReadPiece = 64 * 1024;

enum class ReadStatus {
  kOk,
  kMissing,     // the path does not exist
  kUnreadable,  // it exists but is no regular file, or open or read failed
  kTooLarge,    // longer than the limit of ReadWholeFile
};

// Feeds the bytes of a regular file to sink in pieces of at most kReadPiece
// bytes, in order; memory stays at one piece whatever the file's size. The
// file is opened read-only; pipes and devices are refused without blocking.
ReadStatus StreamFile(const std::string& path,
                      const std::function<void(const unsigned char*, size_t)>& sink);

// Streams the regular file that components name below dir, as StreamFile
// does, without leaving dir: every component must be a plain name (not
// empty, ".", ".." or holding "/"), and the directories on the way are
// opened beneath dir without following any link, so a link to a directory
// anywhere on the way gives kUnreadable. The last component may be a link to
// a regular file, as in WalkFiles. A path that does not exist gives kMissing.
ReadStatus StreamFileBeneath(const std::string& dir, const std::vector<std::string>& components,
                             const std::function<void(const unsigned char*, size_t)>& sink);

// StreamFileBeneath; use_openat2 false takes the component-by-component walk
// that serves kernels without openat2, so that it can be tried everywhere.
ReadStatus StreamFileBeneathWith(const std::string& dir, const std::vector<std::string>& components,
                                 const std::function<void(const unsigned char*, size_t)>& sink,
                                 bool use_openat2);

// Reads a whole regular file of at most max_size bytes into out.
ReadStatus ReadWholeFile(const std::string& path, uint64_t max_size,
                         std::vector<unsigned char>* out);

// Replaces path with a regular file holding the bytes: they are written to a
// new file of a temporary name in the same directory, flushed to the disk and
// renamed over path, so a reader sees either the old file or the new one. A
// path that exists and is no regular file (a directory, pipe or device) is
// refused at once and left as it is; a link to a regular file is followed and
// its target replaced. On any failure path keeps its previous content and the
// temporary file is removed; nothing else is ever removed. False on failure.
bool WriteWholeFile(const std::string& path, const unsigned char* data, size_t size) noexcept;

// Where path lies below dir, as the walk of dir would name it: true with
// the components from dir down to path's own name when path's directory is
// dir or a directory below it (compared as resolved paths, so "./x" and
// "d/../x" count); false when it lies elsewhere or a directory cannot be
// resolved. path itself need not exist.
bool PlaceBelow(const std::string& dir, const std::string& path,
                std::vector<std::string>* components);

// Order of the entries of one directory in a walk: ASCII letters compared as
// upper case, ties broken by the bytes. Negative, 0 or positive.
int CompareNames(const std::string& a, const std::string& b) noexcept;

// Visits the regular files below dir, depth first, the entries of every
// directory in CompareNames order. visit receives the path components from
// dir down to the file (the last one is the file's name) and returns false
// to stop the walk. A link to a regular file counts as that file; a link to a
// directory is neither followed nor visited; devices, pipes and sockets are
// passed over. Returns false when a directory of the tree cannot be
// enumerated or when visit stopped the walk.
bool WalkFiles(const std::string& dir,
               const std::function<bool(const std::vector<std::string>& components)>& visit);

// WalkFiles that goes on past a directory below dir that cannot be
// enumerated (or opened): unlisted receives its components and the walk
// continues with the next entry. False when dir itself cannot be enumerated
// or visit stopped the walk.
bool WalkFiles(const std::string& dir,
               const std::function<bool(const std::vector<std::string>& components)>& visit,
               const std::function<void(const std::vector<std::string>& components)>& unlisted);

}  // namespace platform

#endif
