// Fuzz target: one whole upgrade, letsStartUpgrade through discovery, search
// and download, against the virtual device, where the input decides every
// answer: each call's success or failure and its last error, the count each
// transfer reports (0 to more than asked), the status, state and count bytes
// of every status answer and how many of them arrive, when the device is
// pulled out, the interface list (names of every length and case,
// endpoints, packet sizes, serial numbers), and whether and during which
// AdbWinApi call letsCancelUpgrade comes, as from another thread while that
// call is in flight.
//
// The device keeps its own honest view of what it received, verified and
// started; the input only decides what it says. After every run:
// - the result is 0 only if the device received exactly the file's bytes,
//   verified their digest and, with bUpdate set, was told to start, and the
//   answers the library went on with said so, whole;
// - every handle the library opened is closed;
// - the waits stay within the retry budget of the procedure;
// - the device never refused a request as malformed;
// - after a cancel, no request reaches the device (no bulk read or write, no
//   control transfer: only handles are closed) and no wait is asked for;
// - once a start request was handed to the device's driver, the result is
//   neither 2 nor -1, and it is handed over once at most, after the
//   progress report that says the start is coming;
// - result 3 only after a start request was handed over.
// A call that ends with 2 is followed by another on the device come back
// (at most three, as the service calls again at the next arrival); across
// them the device is handed one start request at most.
// And no sanitizer report.
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/host/host_testing.h"
#include "testing/fuzz/fuzz_check.h"
#include "testing/fuzz/fuzz_input.h"
#include "testing/virtual_device/virtual_device.h"
#include "upgrade/upgrade_entry.h"

namespace {

using WideString = std::basic_string<AdbWideChar>;

constexpr char kUpdateFile[] = "fuzz_fw.bin";
constexpr char kDefaultVersion[] = "V2.0.1";
constexpr uint32_t kSegment = 4194304;
constexpr size_t kStatusBytes = 8;

// Last errors a failing call leaves, 0 included.
constexpr uint32_t kErrors[] = {31, 6, 121, 2, 87, 1167, 995, 0};

// The waits the procedure may ask for, per its fixed retry counts: 3 tries of
// a control transfer with 300000 ms after each failure, 5 status reads with
// 200 ms after each failure, 10 sync polls with 200 ms before each, 5
// announcements with 200 ms after each abort.
constexpr uint64_t kControlWaits = 3;
constexpr uint64_t kStatusWaits = 5 * (kControlWaits + 1);
constexpr uint64_t kSyncWaits = 10 * (1 + kControlWaits);
constexpr uint64_t kAnnounceWaits =
    5 * (kControlWaits + kStatusWaits + kControlWaits + 1);
constexpr uint64_t kCheckWaits = kControlWaits + kStatusWaits;

uint64_t waitBudget(uint64_t image_size) {
  if (image_size == 0) return 0;
  uint64_t syncs = image_size / kSegment + 1;
  // One wait for the caller's cancel after the data phase's failed write.
  return kAnnounceWaits + kSyncWaits * syncs + 2 * kCheckWaits + 1;
}

// One control request the device accepted, as the library saw it end.
struct Exchange {
  uint16_t request = 0;
  bool reached_host = true;  // false: the caller was told it failed
  size_t delivered = 0;      // status reads: bytes that arrived
  uint8_t answer[kStatusBytes] = {};
};

// Everything one run decides and observes.
struct Run {
  explicit Run(FuzzInput* in) : input(in) {}
  FuzzInput* input;
  vdev::Fate last_fate = vdev::Fate::kAnswer;
  std::vector<Exchange> exchanges;
  std::vector<uint32_t> waits;
  uint32_t calls = 0;
  uint32_t cancel_during = 0;  // the call during which the cancel comes; 0: none
  // Or the removal's broadcast, this many calls after the device was pulled
  // out (a device pulled early, broadcast late): -1, none.
  int32_t broadcast_delay = -1;
  uint32_t pulled_during = 0;  // 0: not pulled
  bool listed = true;  // the device's path was listed before the upgrade
  bool cancelled = false;
  size_t waits_at_cancel = 0;
  // Calls the device had seen when the library said the start is coming;
  // SIZE_MAX: it did not say so.
  size_t calls_at_starting = SIZE_MAX;
};

Run* current = nullptr;

// --- The answers --------------------------------------------------------

bool isDeviceRequest(vdev::Call call) {
  return call == vdev::Call::kReadEndpointSync ||
         call == vdev::Call::kWriteEndpointSync ||
         call == vdev::Call::kDefaultEndpointReadWriteSync;
}

vdev::Fate decideFate(void* context, vdev::Call call, uint32_t* error) {
  Run* run = static_cast<Run*>(context);
  FUZZ_CHECK(!run->cancelled || !isDeviceRequest(call),
             "%s after the cancel (call %u, cancelled during call %u)",
             vdev::callName(call), run->calls + 1, run->cancel_during);
  ++run->calls;
  bool broadcast = run->broadcast_delay >= 0 && run->pulled_during != 0 &&
                   run->calls == run->pulled_during + 1 +
                                     static_cast<uint32_t>(run->broadcast_delay);
  if ((run->calls == run->cancel_during || broadcast) && !run->cancelled) {
    letsCancelUpgrade();
    run->cancelled = true;
    run->waits_at_cancel = run->waits.size();
  }
  uint8_t b = run->input->byte();
  vdev::Fate fate = vdev::Fate::kAnswer;
  if (b >= 0xF8) {
    fate = vdev::Fate::kPullOut;
  } else if (b >= 0xE0) {
    fate = vdev::Fate::kFailAfter;
  } else if (b >= 0xC0) {
    fate = vdev::Fate::kFailBefore;
  }
  *error = kErrors[b & 7];
  if (fate == vdev::Fate::kPullOut && run->pulled_during == 0) {
    run->pulled_during = run->calls;
  }
  run->last_fate = fate;
  return fate;
}

uint32_t decideWriteCount(void* context, uint32_t asked, uint32_t taking) {
  uint8_t b = static_cast<Run*>(context)->input->byte();
  if (b < 0x80) return taking;
  if (b < 0xC0) return static_cast<uint32_t>(uint64_t{taking} * (b & 0x3F) / 64);
  if (b < 0xE0) return b & 0x1F;
  return asked + 1 + (b & 0x1F);  // more than it was given
}

// For a status read: rewrites status, state or count as the input says, and
// how many bytes the answer reports.
uint32_t decideControlCount(void* context, uint16_t request, uint32_t length,
                            uint8_t* answer) {
  Run* run = static_cast<Run*>(context);
  FuzzInput& in = *run->input;
  Exchange exchange;
  exchange.request = request;
  exchange.reached_host = run->last_fate != vdev::Fate::kFailAfter;
  uint32_t count = length;
  if (answer == nullptr) {
    uint8_t b = in.byte();
    if (b >= 0xC0) count = b & 0x3F;
  } else {
    uint8_t mode = in.byte();
    if (mode >= 0x80) {
      if (mode & 0x01) answer[0] = in.byte();
      if (mode & 0x02) answer[1] = in.byte();
      if (mode & 0x04) {
        uint32_t written;
        std::memcpy(&written, answer + 2, 4);
        if (mode & 0x08) {
          written = in.u32();
        } else {
          written += static_cast<uint32_t>(static_cast<int8_t>(in.byte()));
        }
        std::memcpy(answer + 2, &written, 4);
      }
      if (mode & 0x10) count = in.upTo(12);
    }
    exchange.delivered = count < length ? count : length;
    std::memcpy(exchange.answer, answer, kStatusBytes);
  }
  run->exchanges.push_back(exchange);
  return count;
}

void noteStarting(const UpgradeProgress* progress, void* context) {
  if (progress->step != kUpgradeProgressStarting) return;
  static_cast<Run*>(context)->calls_at_starting = vdev::callCount();
}

void countWait(DWORD milliseconds) {
  if (current != nullptr) current->waits.push_back(milliseconds);
}

// Every event string is read to its end, as the event log would, so that
// one without its terminator shows as a read past its buffer.
constexpr size_t kLongestEventText = 4096;

BOOL readWideEvent(HANDLE, WORD, WORD, DWORD, PSID, WORD count, DWORD,
                   LPCWSTR* strings, LPVOID) {
  for (WORD i = 0; i < count; ++i) {
    size_t length = wideLength(strings[i]);
    FUZZ_CHECK(length < kLongestEventText, "an event text of %zu units",
               length);
  }
  return TRUE;
}

BOOL readNarrowEvent(HANDLE, WORD, WORD, DWORD, PSID, WORD count, DWORD,
                     LPCSTR* strings, LPVOID) {
  for (WORD i = 0; i < count; ++i) {
    size_t length = std::strlen(strings[i]);
    FUZZ_CHECK(length < kLongestEventText, "an event text of %zu bytes",
               length);
  }
  return TRUE;
}

// --- The scene ----------------------------------------------------------

// An image: its bytes and their digest.
struct Image {
  std::string bytes;
  std::string digest;
};

std::string md5Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_md5(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned i = 0; i < size; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

// A drivers folder holding one image, on a memory file system where there is
// one, removed with the process.
class ImageFolder {
 public:
  ImageFolder(const std::string& parent, const std::string& name)
      : path_(parent + "/" + name), file_(path_ + "/" + kUpdateFile) {
    if (mkdir(path_.c_str(), 0700) != 0) std::abort();
  }
  ~ImageFolder() {
    unlink(file_.c_str());
    rmdir(path_.c_str());
  }

  // Writes the image unless it is there already; maps the drivers folder
  // here.
  const Image& place(uint64_t size, uint32_t seed) {
    if (!placed_ || size_ != size || seed_ != seed) {
      image_.bytes.resize(size);
      uint32_t state = seed | 1;
      for (size_t i = 0; i < image_.bytes.size(); ++i) {
        if (i % 4096 == 0) {  // a fresh pattern per 4 KiB keeps this quick
          state ^= state << 13;
          state ^= state >> 17;
          state ^= state << 5;
        }
        image_.bytes[i] = static_cast<char>(state >> (i % 4 * 8)) ^
                          static_cast<char>(i * 7);
      }
      image_.digest = md5Hex(image_.bytes);
      FILE* file = std::fopen(file_.c_str(), "wb");
      if (file == nullptr ||
          std::fwrite(image_.bytes.data(), 1, size, file) != size) {
        std::abort();
      }
      std::fclose(file);
      placed_ = true;
      size_ = size;
      seed_ = seed;
    }
    hostSetDriversDirectory(path_.c_str());
    return image_;
  }

 private:
  std::string path_;
  std::string file_;
  Image image_;
  bool placed_ = false;
  uint64_t size_ = 0;
  uint32_t seed_ = 0;
};

// Small images are written afresh when they change; each image around the
// end of the first segment has a folder of its own and is written once.
constexpr int64_t kAroundSegmentEnd[] = {-16384, -1, 0, 1, 16383, 16385};

struct Folders {
  Folders() {
    char pattern[] = "/dev/shm/velunor_fuzz_XXXXXX";
    char fallback[] = "/tmp/velunor_fuzz_XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) made = mkdtemp(fallback);
    if (made == nullptr) std::abort();
    root = made;
    small = std::make_unique<ImageFolder>(root, "small");
    for (size_t i = 0; i < std::size(kAroundSegmentEnd); ++i) {
      large.push_back(
          std::make_unique<ImageFolder>(root, "large" + std::to_string(i)));
    }
  }
  ~Folders() {
    small.reset();
    large.clear();
    rmdir(root.c_str());
  }
  std::string root;
  std::unique_ptr<ImageFolder> small;
  std::vector<std::unique_ptr<ImageFolder>> large;
};

// Mostly small, so runs are quick; one choice in sixteen is an image around
// the end of the first 4 MiB segment.
const Image& placeImage(FuzzInput& in) {
  static Folders folders;
  uint8_t mode = in.byte();
  uint64_t size = 0;
  switch (mode & 15) {
    case 0:
      size = 40000;  // two full chunks and a part
      break;
    case 2: {
      size_t choice = in.byte() % std::size(kAroundSegmentEnd);
      return folders.large[choice]->place(
          static_cast<uint64_t>(kSegment + kAroundSegmentEnd[choice]), 0);
    }
    case 3:
    case 4:
    case 5:
      size = in.byte() % 64;
      break;
    default:
      size = in.u16();
      break;
  }
  return folders.small->place(size, in.u32());
}

WideString randomName(FuzzInput& in, size_t length) {
  WideString name;
  for (size_t i = 0; i < length; ++i) {
    uint8_t b = in.byte();
    if (b == 0) b = 'a';
    name += static_cast<AdbWideChar>(b < 0x80 ? b : 0x100 + b);
  }
  return name;
}

WideString interfaceName(FuzzInput& in) {
  WideString name = vdev::defaultInterfaceName();
  switch (in.byte() & 3) {
    case 0:
      return name;
    case 1: {  // a capital letter in the enumerated name: never matches
      size_t at = in.u16() % name.size();
      if (name[at] >= 'a' && name[at] <= 'z') name[at] = name[at] - 32;
      return name;
    }
    case 2:
      return randomName(in, in.upTo(1200));
    default:  // another device of the class
      return WideString(u"\\\\?\\usb#vid_3f3a&pid_9105#other-") +
             randomName(in, in.byte() % 16) +
             u"#{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}";
  }
}

vdev::InterfaceConfig interfaceConfig(FuzzInput& in) {
  vdev::InterfaceConfig config;
  uint8_t flags = in.byte();
  config.present = (flags & 0x01) == 0;
  config.removed = (flags & 0x02) != 0;
  config.active = (flags & 0x04) == 0;
  config.has_serial = (flags & 0x08) == 0;
  if (flags & 0x10) {
    std::string serial = in.bytes(in.upTo(sizeof config.serial - 1));
    std::snprintf(config.serial, sizeof config.serial, "%s", serial.c_str());
  }
  uint8_t endpoints = in.byte();
  config.num_endpoints = endpoints == 0 ? 1 : endpoints % 4;
  static constexpr uint32_t kPacketSizes[] = {512, 0, 1, 64, 1024};
  uint8_t packet = in.byte();
  config.max_packet_size = packet < 5 ? kPacketSizes[packet] : in.u32();
  return config;
}

// The interfaces; returns their names.
std::vector<WideString> placeInterfaces(FuzzInput& in) {
  std::vector<WideString> names;
  uint8_t count = in.byte();
  if (count == 0) {
    names.push_back(vdev::defaultInterfaceName());
    return names;
  }
  for (int i = 0; i <= count % 4; ++i) {
    WideString name = interfaceName(in);
    vdev::addInterface(name.c_str(), interfaceConfig(in));
    names.push_back(name);
  }
  return names;
}

// Whether the device at `path` is listed before the upgrade, as the device
// itself tells it (no answer source yet): a device that is not cannot be
// opened, and has gone as far as the upgrade can tell.
bool listedBefore(const WideString& path) {
  ADBAPIHANDLE listing =
      AdbEnumInterfaces(kUpdateDeviceClass, true, true, true);
  if (listing == nullptr) return true;
  WideString lower = path;
  for (auto& unit : lower) {
    if (unit >= 'A' && unit <= 'Z') unit = static_cast<AdbWideChar>(unit + 32);
  }
  alignas(8) uint8_t entry[2048];
  AdbULong size = sizeof entry;
  bool listed = false;
  while (!listed && AdbNextInterface(listing, entry, &size)) {
    size = sizeof entry;
    listed = lower == reinterpret_cast<const AdbInterfaceInfo*>(entry)
                          ->device_name;
  }
  AdbCloseHandle(listing);
  return listed;
}

// The path the service hands over: one of the names, perhaps in capitals,
// or any text.
WideString devicePath(FuzzInput& in, const std::vector<WideString>& names) {
  uint8_t choice = in.byte();
  WideString path = names[(choice >> 2) % names.size()];
  switch (choice & 3) {
    case 0:
      return path;
    case 1: {
      uint32_t mask = in.u32();
      for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] >= 'a' && path[i] <= 'z' && (mask >> (i % 32) & 1)) {
          path[i] = path[i] - 32;
        }
      }
      return path;
    }
    case 2:
      return randomName(in, in.upTo(1100));
    default:
      return vdev::defaultInterfaceName();
  }
}

// --- The oracle ---------------------------------------------------------

uint32_t countOf(const Exchange& e) {
  uint32_t count;
  std::memcpy(&count, e.answer + 2, 4);
  return count;
}

// The status answer the library acted on after the last request of `kind`
// that it saw succeed; null when there is none. A status read that did not
// count (failed, or short) is asked again, so that is the last of the
// status reads that follow the request.
const Exchange* answerAfter(const std::vector<Exchange>& exchanges,
                            uint16_t kind) {
  size_t last = exchanges.size();
  for (size_t i = 0; i < exchanges.size(); ++i) {
    if (exchanges[i].request == kind && exchanges[i].reached_host) last = i;
  }
  const Exchange* found = nullptr;
  for (size_t i = last + 1; i < exchanges.size(); ++i) {
    if (exchanges[i].request != vdev::kRequestGetStatus) break;
    if (exchanges[i].reached_host) found = &exchanges[i];
  }
  return found;
}

// The last sync answer the library received before it sent the digest.
const Exchange* lastSyncAnswer(const std::vector<Exchange>& exchanges) {
  const Exchange* found = nullptr;
  for (const Exchange& e : exchanges) {
    if (e.request == vdev::kRequestSetMd5Sum && e.reached_host) break;
    if (e.request == vdev::kRequestGetSyncStatus && e.reached_host) found = &e;
  }
  return found;
}

size_t startsSent(const std::vector<Exchange>& exchanges) {
  size_t starts = 0;
  for (const Exchange& e : exchanges) {
    if (e.request == vdev::kRequestStartUpdate) ++starts;
  }
  return starts;
}

bool sentStart(const std::vector<Exchange>& exchanges) {
  return startsSent(exchanges) != 0;
}

// The start requests the library handed to the device's driver, whatever
// became of them: the record's numbers (1-based) of those calls.
std::vector<uint32_t> startsHanded() {
  std::vector<uint32_t> sequences;
  for (const vdev::CallRecord& r :
       vdev::calls(vdev::Call::kDefaultEndpointReadWriteSync)) {
    if (r.setup[2] == vdev::kRequestStartUpdate) {
      sequences.push_back(r.sequence);
    }
  }
  return sequences;
}

// `state` -1: any state.
void checkAnswerWhole(const Exchange* answer, const char* after, int state) {
  FUZZ_CHECK(answer != nullptr, "no status answer after %s", after);
  FUZZ_CHECK(answer->delivered == kStatusBytes,
             "went on after %s with a status answer of %zu bytes", after,
             answer->delivered);
  FUZZ_CHECK(answer->answer[0] == 0, "went on after %s with status %u", after,
             answer->answer[0]);
  if (state >= 0) {
    FUZZ_CHECK(answer->answer[1] == state, "went on after %s with state %u",
               after, answer->answer[1]);
  }
}

// Faults with a name. A long run may set them aside (VELUNOR_FUZZ_SET_ASIDE,
// names separated by commas) to look on for others while their mend is
// awaited; each is then counted, and the first input that shows it is kept
// in VELUNOR_FUZZ_SET_ASIDE_DIR. By default every one breaks the oracle.
constexpr char kShortAnswer[] = "short-status-answer";
constexpr char kPartialTransfer[] = "partial-transfer";

// The named faults a run that reported success shows.
std::vector<const char*> namedFaults(const Run& run, uint64_t image_size,
                                     uint8_t bUpdate) {
  std::vector<const char*> faults;
  const Exchange* went_on[] = {
      answerAfter(run.exchanges, vdev::kRequestSetDownloadInfo),
      lastSyncAnswer(run.exchanges),
      answerAfter(run.exchanges, vdev::kRequestSetMd5Sum),
      bUpdate != 0 ? answerAfter(run.exchanges, vdev::kRequestStartUpdate)
                   : nullptr};
  for (const Exchange* answer : went_on) {
    if (answer != nullptr && answer->delivered < kStatusBytes) {
      faults.push_back(kShortAnswer);
      break;
    }
  }
  // No sync at all, or one that counted other than the whole file: the
  // library went on after a transfer it had not completed.
  const Exchange* sync = lastSyncAnswer(run.exchanges);
  if (sync == nullptr || countOf(*sync) != image_size) {
    faults.push_back(kPartialTransfer);
  }
  return faults;
}

bool setAside(const char* fault) {
  const char* list = std::getenv("VELUNOR_FUZZ_SET_ASIDE");
  if (list == nullptr) return false;
  std::string names = std::string(",") + list + ",";
  return names.find(std::string(",") + fault + ",") != std::string::npos;
}

void noteSetAside(const char* fault, const uint8_t* data, size_t size) {
  static std::vector<std::pair<std::string, uint64_t>> counts;
  uint64_t* count = nullptr;
  for (auto& entry : counts) {
    if (entry.first == fault) count = &entry.second;
  }
  if (count == nullptr) {
    counts.emplace_back(fault, 0);
    count = &counts.back().second;
  }
  ++*count;
  const char* folder = std::getenv("VELUNOR_FUZZ_SET_ASIDE_DIR");
  if (folder == nullptr || (*count & (*count - 1)) != 0) return;
  std::string path = std::string(folder) + "/set-aside-" + fault;
  if (*count == 1) {
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
      std::fwrite(data, 1, size, file);
      std::fclose(file);
    }
  }
  if (FILE* file = std::fopen((path + ".count").c_str(), "w")) {
    std::fprintf(file, "%llu\n", static_cast<unsigned long long>(*count));
    std::fclose(file);
  }
}

// What the library went on with must have said so, whole.
void checkAnswers(const Run& run, uint64_t image_size, uint8_t bUpdate) {
  checkAnswerWhole(answerAfter(run.exchanges, vdev::kRequestSetDownloadInfo),
                   "the announcement", vdev::kStateReceiving);
  const Exchange* sync = lastSyncAnswer(run.exchanges);
  checkAnswerWhole(sync, "the data", -1);
  FUZZ_CHECK(countOf(*sync) == image_size,
             "went on after a sync answer counting %u of %llu bytes",
             countOf(*sync), static_cast<unsigned long long>(image_size));
  checkAnswerWhole(answerAfter(run.exchanges, vdev::kRequestSetMd5Sum),
                   "the digest", -1);
  if (bUpdate != 0) {
    checkAnswerWhole(answerAfter(run.exchanges, vdev::kRequestStartUpdate),
                     "the start request", -1);
  }
}

// What the device itself holds must be the file, verified and (with
// bUpdate) started.
void checkDevice(const Run& run, const Image& placed,
                 const std::string& version, uint8_t bForce, uint8_t bUpdate) {
  const std::string& image = placed.bytes;
  vdev::Verdict v = vdev::verdict();
  FUZZ_CHECK(v.announced && v.image_size == image.size(),
             "announced %u bytes of a %zu-byte image", v.image_size,
             image.size());
  // The version field keeps 31 characters and its terminating zero.
  std::string expected_version = std::string(version.c_str()).substr(0, 31);
  FUZZ_CHECK(expected_version == v.version, "announced version \"%s\"",
             v.version);
  FUZZ_CHECK(v.force == bForce, "force byte %u, asked %u", v.force, bForce);
  FUZZ_CHECK(v.bytes_received == image.size() && v.image_received,
             "result 0, but the device holds %llu of %zu bytes",
             static_cast<unsigned long long>(v.bytes_received), image.size());
  const std::string& digest = placed.digest;
  FUZZ_CHECK(digest == v.md5_computed,
             "result 0, but the device received other bytes (%s, file %s)",
             v.md5_computed, digest.c_str());
  // The device verified the image if it reached that state: a digest check
  // repeated after a lost answer fails on a verified image, which keeps it.
  FUZZ_CHECK(digest == v.md5_claimed,
             "result 0, but the device was sent the digest %s",
             v.md5_claimed);
  uint8_t verified_state =
      bUpdate != 0 ? vdev::kStateUpdating : vdev::kStateVerified;
  FUZZ_CHECK(v.state == verified_state,
             "result 0, but the device ended in state %u, not %u", v.state,
             verified_state);
  FUZZ_CHECK(v.update_started == (bUpdate != 0),
             "update started: %d with bUpdate %u", v.update_started, bUpdate);
  FUZZ_CHECK(bUpdate != 0 || !sentStart(run.exchanges),
             "start request sent with bUpdate 0");
}

void checkSuccess(const Run& run, const Image& placed,
                  const std::string& version, uint8_t bForce, uint8_t bUpdate,
                  const uint8_t* data, size_t size) {
  const std::string& image = placed.bytes;
  FUZZ_CHECK(!image.empty(), "an empty image reported as sent");
  // Set aside only when every named fault the run shows is.
  std::vector<const char*> faults = namedFaults(run, image.size(), bUpdate);
  bool all_set_aside = !faults.empty();
  for (const char* fault : faults) all_set_aside = all_set_aside && setAside(fault);
  if (all_set_aside) {
    for (const char* fault : faults) noteSetAside(fault, data, size);
    return;
  }
  checkAnswers(run, image.size(), bUpdate);
  checkDevice(run, placed, version, bForce, bUpdate);
}

// The start request is the line: once handed over, the device may be
// restarting into its new firmware whatever it answered, so the call is
// neither "not done" nor "no device", and the device hears nothing more.
void checkTheLine(const Run& run, int32_t result) {
  std::vector<uint32_t> handed = startsHanded();
  bool crossed = run.calls_at_starting != SIZE_MAX;
  FUZZ_CHECK(handed.empty() || crossed,
             "a start request handed over without the report before it");
  FUZZ_CHECK(handed.empty() || handed.front() > run.calls_at_starting,
             "the start request went out before the report that it would");
  FUZZ_CHECK(!crossed || (result != kUpgradeDeviceWentAway &&
                          result != kUpgradeNoDevice),
             "result %d after a start request was handed over", result);
  FUZZ_CHECK(result != kUpgradeStartUnconfirmed || crossed,
             "result 3 without a start request handed over");
  FUZZ_CHECK(handed.size() <= 1, "%zu start requests handed over",
             handed.size());
  FUZZ_CHECK(startsSent(run.exchanges) <= 1, "%zu start requests sent",
             startsSent(run.exchanges));
}

void checkAlways(const Run& run, int32_t result, uint64_t image_size) {
  bool gone = run.cancelled || vdev::verdict().unplugged || !run.listed;
  FUZZ_CHECK(result == 0 || result == 1 || result == -1 ||
                 result == kUpgradeStartUnconfirmed ||
                 (result == kUpgradeDeviceWentAway && gone),
             "result %d (cancelled: %d, pulled out: %d, listed: %d)", result,
             run.cancelled, vdev::verdict().unplugged, run.listed);
  checkTheLine(run, result);
  FUZZ_CHECK(!run.cancelled || run.waits.size() == run.waits_at_cancel,
             "%zu waits after the cancel",
             run.waits.size() - run.waits_at_cancel);
  FUZZ_CHECK(vdev::openHandleCount() == 0, "%zu handles left open",
             vdev::openHandleCount());
  FUZZ_CHECK(vdev::verdict().refused_requests == 0,
             "the device refused %u malformed requests",
             vdev::verdict().refused_requests);
  for (uint32_t wait : run.waits) {
    FUZZ_CHECK(wait == 200 || wait == 300000 || wait == 3000,
               "a wait of %u ms", wait);
  }
  FUZZ_CHECK(run.waits.size() <= waitBudget(image_size),
             "%zu waits, the procedure allows %llu", run.waits.size(),
             static_cast<unsigned long long>(waitBudget(image_size)));
}

// The settings every call of one sequence passes, as the service does.
struct Settings {
  uint8_t bForce = 0;
  uint8_t bUpdate = 1;
  std::string version;
};

// How the caller's cancel comes in one call.
struct CancelPlan {
  uint32_t cancel_during = 0;
  int32_t broadcast_delay = -1;
};

CancelPlan cancelPlan(FuzzInput& in, uint8_t flags) {
  CancelPlan plan;
  plan.cancel_during = (flags & 2) != 0 ? 1u + in.u16() : 0;
  plan.broadcast_delay = (flags & 4) != 0 ? in.byte() : -1;
  return plan;
}

// One call of the export on the device at `path`, checked; returns its
// result and adds the start requests it handed over to `*handed`.
int32_t upgradeOnce(FuzzInput& in, const CancelPlan& plan,
                    const WideString& path, const Settings& settings,
                    const Image& placed, const uint8_t* data, size_t size,
                    size_t* handed) {
  Run run(&in);
  run.cancel_during = plan.cancel_during;
  run.broadcast_delay = plan.broadcast_delay;
  run.listed = listedBefore(path);
  vdev::AnswerSource source;
  source.context = &run;
  source.fate = decideFate;
  source.writeCount = decideWriteCount;
  source.controlCount = decideControlCount;
  vdev::setAnswerSource(&source);
  current = &run;
  hostSetSleepHook(countWait);
  hostSetReportEventHooks(readWideEvent, readNarrowEvent);

  int32_t result = letsStartUpgradeChecked(
      settings.bForce, settings.bUpdate, path.c_str(), kUpdateFile,
      settings.version.c_str(), kUpdateDeviceClass, nullptr, noteStarting,
      &run);

  hostSetReportEventHooks(nullptr, nullptr);
  hostSetSleepHook(nullptr);
  current = nullptr;
  vdev::setAnswerSource(nullptr);

  uint64_t image_size = placed.bytes.size();
  if (std::getenv("VELUNOR_FUZZ_TRACE") != nullptr) {
    vdev::Verdict v = vdev::verdict();
    std::fprintf(stderr,
                 "result %d: image %llu bytes, bUpdate %u; device received "
                 "%llu, verified %d, started %d, announcements %u, aborts %u; "
                 "%zu exchanges, %zu waits; cancel during call %u of %u\n",
                 result, static_cast<unsigned long long>(image_size),
                 settings.bUpdate,
                 static_cast<unsigned long long>(v.bytes_received),
                 v.md5_verified, v.update_started, v.announcements, v.aborts,
                 run.exchanges.size(), run.waits.size(), plan.cancel_during,
                 run.calls);
  }
  checkAlways(run, result, image_size);
  if (result == 0) {
    checkSuccess(run, placed, settings.version, settings.bForce,
                 settings.bUpdate, data, size);
  }
  *handed += startsHanded().size();
  return result;
}

// Calls in one sequence at most: the first, and two more after "not done".
constexpr int kCallsInSequence = 3;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  uint8_t flags = in.byte();
  Settings settings;
  settings.bUpdate = (flags & 1) != 0 ? 0 : 1;
  CancelPlan plan = cancelPlan(in, flags);
  settings.bForce = in.byte();
  uint8_t version_length = in.byte();
  settings.version = version_length == 0 ? std::string(kDefaultVersion)
                                         : in.bytes(version_length - 1u);
  const Image& placed = placeImage(in);

  vdev::reset();
  std::vector<WideString> names = placeInterfaces(in);
  WideString path = devicePath(in, names);

  size_t handed = 0;
  int32_t result =
      upgradeOnce(in, plan, path, settings, placed, data, size, &handed);
  // The caller calls again only when the device went away before the line:
  // at its next arrival, the device back as it was plugged in.
  for (int call = 1;
       call < kCallsInSequence && result == kUpgradeDeviceWentAway; ++call) {
    vdev::reset();
    plan = cancelPlan(in, in.byte());
    result = upgradeOnce(in, plan, vdev::defaultInterfaceName(), settings,
                         placed, data, size, &handed);
  }
  FUZZ_CHECK(handed <= 1, "the device was handed %zu start requests for one "
             "image across the calls", handed);
  return 0;
}
