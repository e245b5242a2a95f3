#include "upgrade/image_digest.h"

#include <openssl/evp.h>

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

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

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

bool sha256OfFile(const char* path, Sha256Text* digest) {
  std::unique_ptr<FILE, FileCloser> file(openBinaryFile(path));
  std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
  if (!file || !context ||
      EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    return false;
  }
  std::vector<unsigned char> buffer(kSha256ReadSize);
  for (;;) {
    size_t read = std::fread(buffer.data(), 1, buffer.size(), file.get());
    if (read == 0) break;
    if (EVP_DigestUpdate(context.get(), buffer.data(), read) != 1) return false;
  }
  if (std::ferror(file.get()) != 0) return false;
  unsigned char bytes[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context.get(), bytes, &size) != 1 ||
      size * 2 != kSha256TextLength) {
    return false;
  }
  static constexpr char kHexDigits[] = "0123456789abcdef";
  for (unsigned int i = 0; i < size; ++i) {
    digest->hex[2 * i] = kHexDigits[bytes[i] >> 4];
    digest->hex[2 * i + 1] = kHexDigits[bytes[i] & 0x0F];
  }
  digest->hex[kSha256TextLength] = 0;
  return true;
}

ExpectedImageDigest::ExpectedImageDigest(const char* sha256) {
  expected = sha256;
}

ExpectedImageDigest::~ExpectedImageDigest() { expected = nullptr; }

const char* expectedImageDigest() { return expected; }

bool isTheExpectedImage(const char* path) {
  if (expected == nullptr) return true;
  Sha256Text digest;
  if (!sha256OfFile(path, &digest)) {
    reportEventFormat(EVENTLOG_ERROR_TYPE, kNoDigestText, path);
    return false;
  }
  if (std::string_view(digest.hex) == expected) return true;
  reportEventFormat(EVENTLOG_ERROR_TYPE, kWrongDigestText, digest.hex, expected,
                    path);
  return false;
}
