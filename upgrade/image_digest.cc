#include "upgrade/image_digest.h"

#include <openssl/sha.h>

#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include "common/event_report.h"
#include "platform/win32.h"

namespace {

// The digests come first: an event text is cut at 255 characters, and a
// path may be longer.
constexpr char kWrongDigestText[] =
    "update file not sent, its SHA-256 %s is not the image's %s: %s";
constexpr char kNoDigestText[] =
    "update file not sent, its SHA-256 could not be computed: %s";

// Like the progress listener, plain library state: one call at a time.
const char* expected = nullptr;

bool isLowerHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

}  // namespace

bool isSha256Text(const char* text) {
  if (text == nullptr) return false;
  for (size_t i = 0; i < kSha256TextLength; ++i) {
    if (!isLowerHexDigit(text[i])) return false;
  }
  return text[kSha256TextLength] == 0;
}

// The SHA256_* calls, not EVP: EVP initialises the crypto library, which
// then has a handler run at the process's exit, in a library that may have
// been unloaded by then. OpenSSL 3 deprecates them; the MD5 of the image
// transfer is computed the same way.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
namespace {

bool sha256OfStream(FILE* file, Sha256Text* digest) {
  std::vector<unsigned char> buffer(kSha256ReadSize);
  SHA256_CTX context;
  SHA256_Init(&context);
  for (;;) {
    size_t read = std::fread(buffer.data(), 1, buffer.size(), file);
    if (read == 0) break;
    SHA256_Update(&context, buffer.data(), read);
  }
  unsigned char bytes[SHA256_DIGEST_LENGTH];
  SHA256_Final(bytes, &context);
  if (std::ferror(file) != 0) return false;
  static constexpr char kHexDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
    digest->hex[2 * i] = kHexDigits[bytes[i] >> 4];
    digest->hex[2 * i + 1] = kHexDigits[bytes[i] & 0x0F];
  }
  digest->hex[kSha256TextLength] = 0;
  return true;
}

}  // namespace

bool sha256OfFile(const char* path, Sha256Text* digest) {
  HeldImage file(openBinaryFile(path));
  return file != nullptr && sha256OfStream(file.get(), digest);
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

ExpectedImageDigest::ExpectedImageDigest(const char* sha256) {
  expected = sha256;
}

ExpectedImageDigest::~ExpectedImageDigest() { expected = nullptr; }

const char* expectedImageDigest() { return expected; }

bool isTheExpectedImage(const char* path, HeldImage* held) {
  if (expected == nullptr) return true;
  held->reset(openBinaryFileHeld(path));
  Sha256Text digest;
  if (*held == nullptr || !sha256OfStream(held->get(), &digest)) {
    reportEventFormat(EVENTLOG_ERROR_TYPE, kNoDigestText, path);
    return false;
  }
  if (std::string_view(digest.hex) == expected) return true;
  reportEventFormat(EVENTLOG_ERROR_TYPE, kWrongDigestText, digest.hex, expected,
                    path);
  return false;
}
