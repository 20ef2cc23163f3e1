// The signing library's own texts, as Big5 bytes.
#ifndef DOCSEAL_SIGNING_TEXTS_H
#define DOCSEAL_SIGNING_TEXTS_H

namespace docseal {

// "檔案內容與簽章值不符": the content does not match the signature value.
constexpr char kContentMismatch[] =
    "\xc0\xc9\xae\xd7\xa4\xba\xae\x65\xbb\x50\xc3\xb1\xb3\xb9\xad\xc8\xa4\xa3\xb2\xc5";
// ", 目錄中多了": continues it: the directory holds in addition.
constexpr char kDirectoryHoldsMore[] = "\x2c\x20\xa5\xd8\xbf\xfd\xa4\xa4\xa6\x68\xa4\x46";
// ", 目錄中少了": continues it: the directory lacks.
constexpr char kDirectoryLacks[] = "\x2c\x20\xa5\xd8\xbf\xfd\xa4\xa4\xa4\xd6\xa4\x46";
// "時戳簽章": time-stamp signature, the signer text of SignTimestamp.
constexpr char kTimestampText[] = "\xae\xc9\xc2\x57\xc3\xb1\xb3\xb9";

}  // namespace docseal

#endif
