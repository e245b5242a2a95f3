// The image the caller shipped: when the caller names its SHA-256
// (letsStartUpgradeChecked), only a matching file with that digest is sent,
// whatever else in the drivers folder carries the update file's name.
#ifndef VELUNOR_UPGRADE_IMAGE_DIGEST_H_
#define VELUNOR_UPGRADE_IMAGE_DIGEST_H_

#include <cstddef>
#include <cstdio>
#include <memory>

// 64 lower-case hexadecimal digits.
constexpr size_t kSha256TextLength = 64;
// Bytes per read while a file's digest is computed.
constexpr size_t kSha256ReadSize = 65536;

// The SHA-256 of a file as text, with its terminating zero.
struct Sha256Text {
  char hex[kSha256TextLength + 1];
};

// True when `text` is exactly 64 lower-case hexadecimal digits.
bool isSha256Text(const char* text);

// The SHA-256 of the file at `path` into `digest`; false when the file
// cannot be opened or read whole.
bool sha256OfFile(const char* path, Sha256Text* digest);

// The digest every image of one call must have, for as long as the object
// lives; null expects none. The text is the caller's, checked with
// isSha256Text, and not kept after the call.
class ExpectedImageDigest {
 public:
  explicit ExpectedImageDigest(const char* sha256);
  ~ExpectedImageDigest();
  ExpectedImageDigest(const ExpectedImageDigest&) = delete;
  ExpectedImageDigest& operator=(const ExpectedImageDigest&) = delete;
};

// The digest expected of the running call's images, or null.
const char* expectedImageDigest();

struct HeldFileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
// An image file held open, from its check until it has been sent, so that
// nobody can write, rename or delete it in between: the image sent is the
// image checked, even in a folder that others may write.
using HeldImage = std::unique_ptr<FILE, HeldFileCloser>;

// True when no digest is expected (nothing is held then) or the file at
// `path` has it, held in `held` as it was read. Otherwise the file is not to
// be sent: an error event names it and both digests (or says its digest
// could not be computed).
bool isTheExpectedImage(const char* path, HeldImage* held);

#endif  // VELUNOR_UPGRADE_IMAGE_DIGEST_H_
