// SHA-1 digests of a file and of the files of a list, streamed in fixed
// pieces.
#ifndef DOCSEAL_FILE_DIGEST_H
#define DOCSEAL_FILE_DIGEST_H

#include <string>
#include <vector>

namespace docseal {

// The names of a list entry from the directory down ("\" separates them).
// False for an entry that names no file below the directory: one that is
// empty, starts or ends with "\", holds an empty, "." or ".." name or a "/".
// The walk never lists such an entry.
bool ListedNames(const std::string& entry, std::vector<std::string>* names);

// dir + "/" + name (name alone when dir is empty).
std::string JoinPath(const std::string& dir, const std::string& name);

// SHA-1 of the file's bytes. False when it cannot be read.
bool DigestFile(const std::string& path, unsigned char out[20]);

// SHA-1 over the contents of the files of a ";" list, in list order, below
// base. Every file is opened beneath base (see platform::StreamFileBeneath),
// so no entry reaches a file outside it. Listed files that do not exist and
// empty entries add nothing. False when a listed path exists but cannot be
// read as a file, or an entry is not one ListedNames accepts, unless
// unreadable is given: then such entries are passed over (a file adds what
// could be read of it), their names are appended to *unreadable, and the
// digest no longer matches the one signed.
bool DigestList(const std::string& base, const std::string& list, unsigned char out[20],
                std::vector<std::string>* unreadable = nullptr);

}  // namespace docseal

#endif
