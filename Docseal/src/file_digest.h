// SHA-1 digests of a file and of the files of a list, streamed in fixed
// pieces.
#ifndef DOCSEAL_FILE_DIGEST_H
#define DOCSEAL_FILE_DIGEST_H

#include <string>

namespace docseal {

// The path of a list entry below base: the entry's "\" become "/".
std::string ListedPath(const std::string& base, const std::string& entry);

// dir + "/" + name (name alone when dir is empty).
std::string JoinPath(const std::string& dir, const std::string& name);

// SHA-1 of the file's bytes. False when it cannot be read.
bool DigestFile(const std::string& path, unsigned char out[20]);

// SHA-1 over the contents of the files of a ";" list, in list order, below
// base. Listed files that do not exist and empty entries add nothing. False
// when a listed path exists but cannot be read as a file, unless
// pass_over_unreadable: then such a path adds what could be read of it, and
// the digest no longer matches the one signed.
bool DigestList(const std::string& base, const std::string& list, unsigned char out[20],
                bool pass_over_unreadable = false);

}  // namespace docseal

#endif
