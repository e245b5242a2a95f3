#include "upgrade/file_search.h"

#include <cstdio>
#include <cstring>

#include "common/event_report.h"
#include "common/unique_handle.h"
#include "common/upgrade_contract.h"
#include "platform/win32.h"
#include "upgrade/image_digest.h"
#include "upgrade/upgrade_device.h"

namespace {

constexpr char kAfterTheStartText[] =
    "update file not sent, the device was told to start its update: %s";

// A plain directory: no read-only, hidden, system, archive or other bit.
constexpr unsigned kPlainDirectory = 0x10;

// An open directory search, closed on every way out.
struct DirectorySearchTraits {
  using Handle = intptr_t;
  static constexpr Handle kNone = -1;
  static void close(Handle search) { _findclose(search); }
};
using DirectorySearch = UniqueHandle<DirectorySearchTraits>;

// The directory's path with one backslash, and room behind it for a name.
class PathPrefix {
 public:
  explicit PathPrefix(const char* directory) {
    std::snprintf(path_, sizeof path_, "%s\\", directory);
    length_ = std::strlen(path_);
  }

  // The prefix followed by `name`, cut to the buffer.
  const char* with(const char* name) {
    std::snprintf(path_ + length_, sizeof path_ - length_, "%s", name);
    return path_;
  }

 private:
  char path_[kSearchPathBytes];
  size_t length_;
};

}  // namespace

int32_t traverseUpdateFiles(const char* directory, const char* updateFile,
                            SendImageFunction sendImage, Transport* transport,
                            const char* version, uint8_t bUpdate,
                            uint8_t bSegmented, uint8_t bForce,
                            int32_t* matchCount) {
  char pattern[kSearchPathBytes];
  std::snprintf(pattern, sizeof pattern, "%s\\*.*", directory);
  PathPrefix prefix(directory);
  int32_t successes = 0;
  // The first entry of a directory search is the directory's own ".".
  _finddata_t entry{};
  DirectorySearch search(_findfirst(pattern, &entry));
  if (!search) return 0;
  while (_findnext(search.get(), &entry) == 0) {
    if (std::strcmp(entry.name, "..") == 0) continue;
    if (entry.attrib == kPlainDirectory) {
      successes += traverseUpdateFiles(prefix.with(entry.name), updateFile,
                                       sendImage, transport, version, bUpdate,
                                       bSegmented, bForce, matchCount);
      continue;
    }
    if (std::strstr(entry.name, updateFile) == nullptr) continue;
    const char* image = prefix.with(updateFile);
    HeldImage held;  // let go once the image has been sent
    if (!isTheExpectedImage(image, &held)) continue;
    // A device told to start its update may be restarting into it: a
    // second image (and its start request) is no longer for it.
    if (startRequestSent()) {
      reportEventFormat(EVENTLOG_WARNING_TYPE, kAfterTheStartText, image);
      continue;
    }
    ++*matchCount;
    if (sendImage(transport, image, version, bUpdate, bSegmented, bForce) ==
        kImageSent) {
      reportEvent(EVENTLOG_INFORMATION_TYPE, U16("veluSendImageFile success"));
      ++successes;
    } else {
      reportEvent(EVENTLOG_ERROR_TYPE, U16("veluSendImageFile fail"));
    }
  }
  return successes;
}
