#include "upgrade/image_transfer.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "testing/event_recorder.h"
#include "testing/upgrade/virtual_interface.h"
#include "testing/virtual_clock.h"
#include "testing/virtual_device/virtual_device.h"
#include "upgrade/control_protocol.h"

#ifdef _WIN32
#include "testing/import_patch.h"
#else
#include <unistd.h>

#include "platform/host/host_testing.h"
#endif

namespace {

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using Lines = std::vector<std::string>;

constexpr uint64_t kSegment = 4194304;
constexpr uint32_t kStall = 31;

// An event as the log shows it: its type, then its strings ("|" between two).
std::string event(WORD type, const std::string& text) {
  return std::to_string(type) + " " + text;
}
const std::string kControlOk = event(4, "Control IO success");
const std::string kAnnounced = event(
    0, "velunorSendControlInfo success (VLNR_USB_REQ_WUP_SET_DNLOAD_INFO)");
const std::string kAborted =
    event(0, "velunorSendControlInfo success (VLNR_USB_REQ_WUP_ABORT)");
const std::string kSegmentSent = event(0, "veluSyncData transporting.........");
const std::string kDataFinished = event(0, "veluSyncData transport finished");
const std::string kStartSent = event(
    4,
    "success to send usb control Information(VLNR_USB_REQ_WUP_START_UPDATE)");

Lines concat(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

Lines repeat(const Lines& lines, int times) {
  Lines all;
  for (int i = 0; i < times; ++i)
    all.insert(all.end(), lines.begin(), lines.end());
  return all;
}

// One control request stalled by the device, as the transport reports it.
const Lines kFailedTry = {
    event(1, "AdbDefaultEndpointReadWriteSync, errno: 31"),
    event(1, "error => timeout, do retry.")};
const Lines kFailedRequest = repeat(kFailedTry, 3);

Lines splitLines(const std::string& text) {
  Lines lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string md5Hex(const std::string& path) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  EVP_DigestInit_ex(context, EVP_md5(), nullptr);
  FILE* file = std::fopen(path.c_str(), "rb");
  std::vector<unsigned char> block(65536);
  size_t read;
  while (file != nullptr &&
         (read = std::fread(block.data(), 1, block.size(), file)) > 0) {
    EVP_DigestUpdate(context, block.data(), read);
  }
  if (file != nullptr) std::fclose(file);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_DigestFinal_ex(context, digest, &size);
  EVP_MD_CTX_free(context);
  std::string text;
  char hex[3];
  for (unsigned i = 0; i < size; ++i) {
    std::snprintf(hex, sizeof hex, "%02x", digest[i]);
    text += hex;
  }
  return text;
}

// The line the procedure prints for a time stamp on the wire.
std::string timeLine(const char* label, const uint8_t* wire) {
  LocalTimeStamp stamp;
  std::memcpy(&stamp, wire, sizeof stamp);
  char line[128];
  std::snprintf(line, sizeof line,
                "%s Time: %04d-%02d-%02d %02d:%02d:%02d GMT %d Daylight %d",
                label, stamp.year, stamp.month, stamp.day, stamp.hour,
                stamp.minute, stamp.second, stamp.gmt_offset,
                stamp.daylight_offset);
  return line;
}

uint16_t requestOf(const vdev::CallRecord& record) {
  return static_cast<uint16_t>(record.setup[2] | record.setup[3] << 8);
}

std::vector<vdev::CallRecord> controls(uint16_t request) {
  std::vector<vdev::CallRecord> some;
  for (const vdev::CallRecord& record :
       vdev::calls(vdev::Call::kDefaultEndpointReadWriteSync)) {
    if (requestOf(record) == request) some.push_back(record);
  }
  return some;
}

// The requests that reached the device in order; a request repeated after a
// failed try of the same request shows once.
std::vector<uint16_t> requests() {
  std::vector<uint16_t> sent;
  bool last_failed = false;
  for (const vdev::CallRecord& record :
       vdev::calls(vdev::Call::kDefaultEndpointReadWriteSync)) {
    bool retry = last_failed && sent.back() == requestOf(record);
    if (!retry) sent.push_back(requestOf(record));
    last_failed = !record.result;
  }
  return sent;
}

// The counts the device confirmed at each sync.
std::vector<uint32_t> syncCounts() {
  std::vector<uint32_t> counts;
  for (const vdev::CallRecord& record :
       controls(VLNR_USB_REQ_WUP_GET_SYNC_STATUS)) {
    std::vector<uint8_t> answer = vdev::payload(record);
    if (answer.size() < 6) continue;
    uint32_t count;
    std::memcpy(&count, answer.data() + 2, sizeof count);
    counts.push_back(count);
  }
  return counts;
}

// Control transfers and bulk writes that reached the device.
size_t busTraffic() {
  return vdev::calls(vdev::Call::kDefaultEndpointReadWriteSync).size() +
         vdev::calls(vdev::Call::kWriteEndpointSync).size();
}

// Forwards to the transport over the virtual device and notes every usb_write
// the procedure asks for, the zero-length ones that reach no bus included.
class WatchedTransport : public Transport {
 public:
  explicit WatchedTransport(std::unique_ptr<UsbDeviceHandle> opened)
      : inner_(std::move(opened)) {}
  int64_t usb_read(void* buffer, uint64_t length) override {
    return inner_.usb_read(buffer, length);
  }
  int64_t usb_write(const void* buffer, uint64_t length) override {
    writes.push_back(length);
    return inner_.usb_write(buffer, length);
  }
  int64_t usb_control_transfer(uint8_t direction, const void* setup,
                               void* buffer, uint32_t length) override {
    int64_t result =
        inner_.usb_control_transfer(direction, setup, buffer, length);
    if (afterControl) {
      const auto* bytes = static_cast<const uint8_t*>(setup);
      afterControl(static_cast<uint16_t>(bytes[2] | bytes[3] << 8));
    }
    return result;
  }
  int64_t usb_close() override { return inner_.usb_close(); }
  int64_t reserved_op() override { return inner_.reserved_op(); }
  void sleep_ms(uint32_t milliseconds) override {
    inner_.sleep_ms(milliseconds);
  }

  std::vector<uint64_t> writes;
  // Called with the request code after each control transfer.
  std::function<void(uint16_t)> afterControl;

 private:
  WindowsUsbTransport inner_;
};

// True when no handle of this process holds the file. Windows refuses to move
// a file that is open; on the host the process's descriptors tell.
bool fileIsClosed(const std::string& path) {
#ifdef _WIN32
  std::string moved = path + ".moved";
  if (std::rename(path.c_str(), moved.c_str()) != 0) return false;
  return std::rename(moved.c_str(), path.c_str()) == 0;
#else
  fs::path target = fs::canonical(path);
  for (const fs::directory_entry& entry :
       fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (fs::read_symlink(entry.path(), error) == target) return false;
  }
  return true;
#endif
}

#ifdef _WIN32
// The file whose reads fail, and from which byte on.
struct FaultTarget {
  BY_HANDLE_FILE_INFORMATION file;
  uint64_t from;
};
std::atomic<const FaultTarget*> faultTarget{nullptr};

bool isTarget(HANDLE handle, const FaultTarget& target) {
  BY_HANDLE_FILE_INFORMATION file;
  return GetFileInformationByHandle(handle, &file) &&
         file.dwVolumeSerialNumber == target.file.dwVolumeSerialNumber &&
         file.nFileIndexHigh == target.file.nFileIndexHigh &&
         file.nFileIndexLow == target.file.nFileIndexLow;
}

// ReadFile as the runtime library calls it, over a disk that fails from the
// target's byte on.
BOOL WINAPI faultyReadFile(HANDLE handle, LPVOID buffer, DWORD size,
                           LPDWORD read, LPOVERLAPPED overlapped) {
  const FaultTarget* target = faultTarget.load();
  if (target != nullptr && overlapped == nullptr && isTarget(handle, *target)) {
    LARGE_INTEGER zero = {};
    LARGE_INTEGER position = {};
    SetFilePointerEx(handle, zero, &position, FILE_CURRENT);
    auto at = static_cast<uint64_t>(position.QuadPart);
    if (at >= target->from) {
      if (read != nullptr) *read = 0;
      SetLastError(ERROR_CRC);
      return FALSE;
    }
    if (at + size > target->from) size = static_cast<DWORD>(target->from - at);
  }
  using ReadFileFunction = decltype(&ReadFile);
  auto real = reinterpret_cast<ReadFileFunction>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "ReadFile")));
  return real(handle, buffer, size, read, overlapped);
}
#endif

// Every read of the file at `path` fails from byte `offset` on while this
// lives, in whatever handle the procedure opens on it, as a disk with a bad
// sector would fail them.
class ReadFault {
 public:
  ReadFault(const std::string& path, uint64_t offset) {
#ifdef _WIN32
    HANDLE file = CreateFileA(
        path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_TRUE(GetFileInformationByHandle(file, &target_.file));
    CloseHandle(file);
    target_.from = offset;
    // The runtime library reads files with ReadFile.
    patch_ = std::make_unique<ImportPatch>(
        GetModuleHandleW(L"msvcrt.dll"), "ReadFile",
        reinterpret_cast<const void*>(&faultyReadFile));
    EXPECT_TRUE(patch_->applied());
    faultTarget = &target_;
#else
    hostFailReadsFrom(path.c_str(), static_cast<int64_t>(offset));
#endif
  }
  ~ReadFault() {
#ifdef _WIN32
    faultTarget = nullptr;
#else
    hostFailReadsFrom(nullptr, 0);
#endif
  }
  ReadFault(const ReadFault&) = delete;
  ReadFault& operator=(const ReadFault&) = delete;

 private:
#ifdef _WIN32
  FaultTarget target_ = {};
  std::unique_ptr<ImportPatch> patch_;
#endif
};

size_t failingSize = 0;
void* failSize(size_t size) {
  return size == failingSize ? nullptr : std::malloc(size);
}

class ImageTransferTest : public testing::Test {
 protected:
  void SetUp() override {
    vdev::reset();
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    directory_ = fs::temp_directory_path() /
                 ("velunor_image_transfer_" + std::to_string(stamp));
    fs::create_directories(directory_);
    transport_ = std::make_unique<WatchedTransport>(openVirtualInterface());
  }

  void TearDown() override {
    setImageBufferAllocator(nullptr);
    transport_->usb_close();
    std::error_code error;
    fs::remove_all(directory_, error);
  }

  // An image of `size` bytes that are not all alike.
  std::string image(uint64_t size, const char* name = "image.bin") {
    std::string path = (directory_ / name).string();
    FILE* file = std::fopen(path.c_str(), "wb");
    std::vector<uint8_t> block(65536);
    uint64_t state = 0x9E3779B97F4A7C15ull ^ size;
    for (uint64_t left = size; left != 0;) {
      for (uint8_t& byte : block) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = static_cast<uint8_t>(state);
      }
      size_t part =
          left < block.size() ? static_cast<size_t>(left) : block.size();
      std::fwrite(block.data(), 1, part, file);
      left -= part;
    }
    std::fclose(file);
    return path;
  }

  // A file of `size` zero bytes that takes no room on the disk.
  std::string sparseImage(uint64_t size, const char* name = "huge.bin") {
    std::string path = (directory_ / name).string();
    std::fclose(std::fopen(path.c_str(), "wb"));
    fs::resize_file(path, size);
    return path;
  }

  int send(const std::string& path, uint8_t bUpdate = 1, uint8_t bSegmented = 1,
           const char* version = "1.2.3") {
    CaptureStdout();
    CaptureStderr();
    int result = veluSendImageFile(transport_.get(), path.c_str(), version,
                                   bUpdate, bSegmented, 1);
    out_ = splitLines(GetCapturedStdout());
    err_ = splitLines(GetCapturedStderr());
    return result;
  }

  Lines trail() const {
    Lines texts;
    for (const RecordedEvent& recorded : events_.events()) {
      std::string text;
      for (size_t i = 0; i < recorded.strings.size(); ++i) {
        text += (i == 0 ? "" : "|") + recorded.strings[i];
      }
      texts.push_back(event(recorded.type, text));
    }
    return texts;
  }

  // The "Transfer Time" line of each announcement on the wire.
  Lines transferLines() const {
    Lines lines;
    for (const vdev::CallRecord& record :
         controls(VLNR_USB_REQ_WUP_SET_DNLOAD_INFO)) {
      if (!record.result) continue;
      lines.push_back(timeLine("Transfer", vdev::payload(record).data() + 41));
    }
    return lines;
  }

  std::string updateLine() const {
    std::vector<vdev::CallRecord> starts =
        controls(VLNR_USB_REQ_WUP_START_UPDATE);
    return starts.empty() ? ""
                          : timeLine("Update", vdev::payload(starts[0]).data());
  }

  std::vector<uint64_t> dataWrites() const {
    std::vector<uint64_t> sizes;
    for (const vdev::CallRecord& record :
         vdev::calls(vdev::Call::kWriteEndpointSync)) {
      if (record.length != 0) sizes.push_back(record.length);
    }
    return sizes;
  }

  // The device holds exactly the file and confirmed its digest.
  void expectImageVerified(const std::string& path) {
    vdev::Verdict seen = vdev::verdict();
    EXPECT_EQ(seen.bytes_received, fs::file_size(path));
    EXPECT_EQ(std::string(seen.md5_computed), md5Hex(path));
    EXPECT_TRUE(seen.md5_verified);
    EXPECT_EQ(seen.refused_requests, 0u);
    EXPECT_TRUE(fileIsClosed(path));
  }

  // Fails control transfers first .. last (1-based, every try counts).
  static void stallControls(uint32_t first, uint32_t last) {
    for (uint32_t nth = first; nth <= last; ++nth) {
      vdev::failCall(vdev::Call::kDefaultEndpointReadWriteSync, nth, kStall);
    }
  }

  EventRecorder events_;
  VirtualClock clock_;
  std::unique_ptr<WatchedTransport> transport_;
  fs::path directory_;
  Lines out_;
  Lines err_;
};

const std::vector<uint16_t> kFullRun = {1, 2, 7, 8, 2, 9, 2};
const std::vector<uint16_t> kRunWithoutStart = {1, 2, 7, 8, 2};

// Successful downloads --------------------------------------------------------

TEST_F(ImageTransferTest, SmallImageIsVerifiedAndStarted) {
  std::string path = image(100);
  EXPECT_EQ(send(path), 0);

  EXPECT_EQ(requests(), kFullRun);
  EXPECT_EQ(trail(), (Lines{kControlOk, kAnnounced, kControlOk, kDataFinished,
                            kControlOk, kControlOk, kControlOk,
                            event(4, updateLine() + "\n"), kControlOk,
                            kStartSent, kControlOk}));
  EXPECT_EQ(out_, (Lines{transferLines()[0], updateLine()}));
  EXPECT_EQ(err_, Lines{});
  EXPECT_EQ(transport_->writes, (std::vector<uint64_t>{100, 0}));
  EXPECT_EQ(syncCounts(), std::vector<uint32_t>{100});
  EXPECT_EQ(clock_.waits(), std::vector<DWORD>{200});
  expectImageVerified(path);
  vdev::Verdict seen = vdev::verdict();
  EXPECT_STREQ(seen.version, "1.2.3");
  EXPECT_EQ(seen.image_size, 100u);
  EXPECT_EQ(seen.segment_size, kSegment);
  EXPECT_EQ(seen.force, 1);
  EXPECT_TRUE(seen.update_started);
}

TEST_F(ImageTransferTest, WithoutUpdateFlagTheVerifiedImageIsNotStarted) {
  std::string path = image(100);
  EXPECT_EQ(send(path, /*bUpdate=*/0), 0);

  EXPECT_EQ(requests(), kRunWithoutStart);
  EXPECT_EQ(trail(), (Lines{kControlOk, kAnnounced, kControlOk, kDataFinished,
                            kControlOk, kControlOk, kControlOk}));
  EXPECT_EQ(out_, transferLines());  // no "Update Time" line
  expectImageVerified(path);
  EXPECT_FALSE(vdev::verdict().update_started);
}

TEST_F(ImageTransferTest, ExactlyOneSegmentHasOneSyncAndNoFinalSync) {
  std::string path = image(kSegment);
  EXPECT_EQ(send(path, 0), 0);

  EXPECT_EQ(transport_->writes, std::vector<uint64_t>(256, 16384));
  EXPECT_EQ(dataWrites(), std::vector<uint64_t>(256, 16384));
  EXPECT_EQ(requests(), kRunWithoutStart);
  EXPECT_EQ(syncCounts(), std::vector<uint32_t>{4194304});
  EXPECT_EQ(trail(),
            (Lines{kControlOk, kAnnounced, kControlOk, kSegmentSent, kControlOk,
                   kDataFinished, kControlOk, kControlOk}));
  expectImageVerified(path);
}

TEST_F(ImageTransferTest, OneByteOverASegmentGetsAFinalSync) {
  std::string path = image(kSegment + 1);
  EXPECT_EQ(send(path, 0), 0);

  std::vector<uint64_t> expected(256, 16384);
  expected.push_back(1);
  EXPECT_EQ(dataWrites(), expected);
  expected.push_back(0);
  EXPECT_EQ(transport_->writes, expected);
  EXPECT_EQ(requests(), (std::vector<uint16_t>{1, 2, 7, 7, 8, 2}));
  EXPECT_EQ(syncCounts(), (std::vector<uint32_t>{4194304, 4194305}));
  EXPECT_EQ(clock_.waits(), (std::vector<DWORD>{200, 200}));
  expectImageVerified(path);
}

TEST_F(ImageTransferTest, WithoutSegmentsOnlyTheFinalSyncConfirms) {
  std::string path = image(100);
  EXPECT_EQ(send(path, 0, /*bSegmented=*/0), 0);
  EXPECT_EQ(transport_->writes, (std::vector<uint64_t>{100, 0}));
  EXPECT_EQ(syncCounts(), std::vector<uint32_t>{100});
  EXPECT_EQ(vdev::verdict().segment_size, 0u);
  expectImageVerified(path);

  // A longer image is not cut into segments either.
  vdev::reset();
  transport_ = std::make_unique<WatchedTransport>(openVirtualInterface());
  std::string longer = image(kSegment + 1, "longer.bin");
  EXPECT_EQ(send(longer, 0, 0), 0);
  EXPECT_EQ(dataWrites().size(), 257u);
  EXPECT_EQ(syncCounts(), std::vector<uint32_t>{4194305});
  expectImageVerified(longer);
}

TEST_F(ImageTransferTest, DigestTextIsTheFilesMd5InLowerCaseHex) {
  std::string path = image(kSegment + 12345);
  EXPECT_EQ(send(path, 0), 0);

  std::vector<vdev::CallRecord> digests = controls(VLNR_USB_REQ_WUP_SET_MD5SUM);
  ASSERT_EQ(digests.size(), 1u);
  std::string text = md5Hex(path);
  std::vector<uint8_t> expected(text.begin(), text.end());
  expected.push_back(0);
  EXPECT_EQ(vdev::payload(digests[0]), expected);
  EXPECT_EQ(
      vdev::setupBytes(digests[0]),
      (std::vector<uint8_t>{0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x21, 0x00}));
  expectImageVerified(path);
}

TEST_F(ImageTransferTest, PendingDownloadIsAbortedAndTheImageSent) {
  vdev::setPendingDownload();
  std::string path = image(100);
  EXPECT_EQ(send(path, 0), 0);

  EXPECT_EQ(requests(), (std::vector<uint16_t>{1, 2, 6, 1, 2, 7, 8, 2}));
  EXPECT_EQ(trail(),
            (Lines{kControlOk, kAnnounced, kControlOk, kControlOk, kAborted,
                   kControlOk, kAnnounced, kControlOk, kDataFinished,
                   kControlOk, kControlOk, kControlOk}));
  EXPECT_EQ(out_, transferLines());
  EXPECT_EQ(out_.size(), 2u);
  EXPECT_EQ(clock_.waits(), (std::vector<DWORD>{200, 200}));
  EXPECT_EQ(vdev::verdict().aborts, 1u);
  expectImageVerified(path);
}

TEST_F(ImageTransferTest, LongVersionTextIsCutToFitTheAnnouncement) {
  std::string version(40, 'v');
  EXPECT_EQ(send(image(10), 0, 1, version.c_str()), 0);
  EXPECT_EQ(std::string(vdev::verdict().version), std::string(31, 'v'));
}

// Its size does not fit the 32-bit field of the announcement.
TEST_F(ImageTransferTest, ImageOfFourGiBIsRefusedBeforeItIsAnnounced) {
  std::string path = sparseImage(uint64_t{1} << 32);
  EXPECT_EQ(send(path, 0, 0), -22);
  EXPECT_EQ(trail(),
            Lines{event(1, "update file is too large: 4294967296 bytes")});
  EXPECT_EQ(busTraffic(), 0u);
  EXPECT_EQ(out_, Lines{});
  EXPECT_TRUE(fileIsClosed(path));

  // One byte less still fits: it is announced with its whole size.
  vdev::reset();
  events_.clear();
  transport_ = std::make_unique<WatchedTransport>(openVirtualInterface());
  vdev::AnswerOverride refused;
  refused.status = vdev::kStatusFailed;
  vdev::overrideAnswer(vdev::kRequestGetStatus, 1, 1, refused);
  std::string largest = sparseImage((uint64_t{1} << 32) - 1, "largest.bin");
  EXPECT_EQ(send(largest, 0, 0), -5);
  EXPECT_EQ(vdev::verdict().image_size, 0xFFFFFFFFu);
  EXPECT_TRUE(fileIsClosed(largest));
}

// Nothing sent ----------------------------------------------------------------

TEST_F(ImageTransferTest, NoTransportAndUnopenableFileGiveMinus22) {
  EXPECT_EQ(veluSendImageFile(nullptr, image(10).c_str(), "1", 1, 1, 0), -22);
  EXPECT_EQ(trail(), Lines{});

  std::string missing = (directory_ / "missing.bin").string();
  EXPECT_EQ(send(missing), -22);
  std::vector<RecordedEvent> seen = events_.events();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_FALSE(seen[0].wide);
  EXPECT_EQ(seen[0].strings, (Lines{"can not open update file : ", missing}));
  EXPECT_EQ(busTraffic(), 0u);
  EXPECT_EQ(out_, Lines{});
}

// A pipe opens like a file, but it has no size to announce.
class UnsizableFile {
 public:
  UnsizableFile() {
#ifdef _WIN32
    path_ = "\\\\.\\pipe\\velunor_image_transfer_" +
            std::to_string(GetCurrentProcessId());
    // One instance for each open: the test's own check and the procedure's.
    for (HANDLE& instance : instances_) {
      instance =
          CreateNamedPipeA(path_.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE,
                           PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    }
#else
    if (pipe(ends_) == 0) path_ = "/proc/self/fd/" + std::to_string(ends_[0]);
#endif
  }
  ~UnsizableFile() {
#ifdef _WIN32
    for (HANDLE instance : instances_) CloseHandle(instance);
#else
    close(ends_[0]);
    close(ends_[1]);
#endif
  }
  UnsizableFile(const UnsizableFile&) = delete;
  UnsizableFile& operator=(const UnsizableFile&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
#ifdef _WIN32
  HANDLE instances_[2] = {};
#else
  int ends_[2] = {-1, -1};
#endif
};

TEST_F(ImageTransferTest, ImageWhoseSizeCannotBeTakenIsNotSent) {
  UnsizableFile unsizable;
  FILE* opened = openBinaryFile(unsizable.path().c_str());
  ASSERT_NE(opened, nullptr) << unsizable.path();
  bool sized = _fseeki64(opened, 0, SEEK_END) == 0 && _ftelli64(opened) >= 0;
  std::fclose(opened);
  if (sized) GTEST_SKIP() << "this platform gives a pipe a size";

  EXPECT_EQ(send(unsizable.path()), -22);
  std::vector<RecordedEvent> seen = events_.events();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(seen[0].strings,
            (Lines{"can not open update file : ", unsizable.path()}));
  EXPECT_EQ(busTraffic(), 0u);
  EXPECT_EQ(out_, Lines{});
}

TEST_F(ImageTransferTest, EmptyImageSendsNothingAndLogsNothing) {
  std::string path = image(0);
  EXPECT_EQ(send(path), -1);
  EXPECT_EQ(trail(), Lines{});
  EXPECT_EQ(busTraffic(), 0u);
  EXPECT_EQ(out_, Lines{});
  EXPECT_EQ(err_, Lines{});
  EXPECT_TRUE(fileIsClosed(path));
}

// Announcement failures -------------------------------------------------------

TEST_F(ImageTransferTest, FailedAnnouncementGivesMinus2) {
  vdev::failCall(vdev::Call::kDefaultEndpointReadWriteSync, 0, kStall);
  std::string path = image(100);
  EXPECT_EQ(send(path), -2);
  EXPECT_EQ(trail(),
            concat({kFailedRequest,
                    {event(1,
                           "fail to send usb control "
                           "Information(VLNR_USB_REQ_WUP_SET_DNLOAD_INFO)")}}));
  EXPECT_EQ(err_, Lines(3, "usb_control_transfer failed. errno: 31"));
  EXPECT_EQ(out_.size(), 1u);
  EXPECT_EQ(clock_.waits(), std::vector<DWORD>(3, 300000));
  EXPECT_TRUE(fileIsClosed(path));
}

TEST_F(ImageTransferTest, UnreadableAnnouncementStatusGivesMinus3) {
  stallControls(2, 16);  // 5 status attempts of 3 tries each
  std::string path = image(100);
  EXPECT_EQ(send(path), -3);
  EXPECT_EQ(trail(),
            concat({{kControlOk, kAnnounced},
                    repeat(kFailedRequest, 5),
                    {event(1, "Failed to get status in 5 times retries.\n"),
                     event(1, "fail to read usb status")}}));
  EXPECT_EQ(err_, concat({Lines(15, "usb_control_transfer failed. errno: 31"),
                          {"Failed to get status in 5 times retries."}}));
  EXPECT_EQ(clock_.waits().size(), 20u);
  EXPECT_TRUE(fileIsClosed(path));
}

TEST_F(ImageTransferTest, FailedAbortGivesMinus4) {
  vdev::setPendingDownload();
  stallControls(3, 5);
  std::string path = image(100);
  EXPECT_EQ(send(path), -4);
  EXPECT_EQ(requests(), (std::vector<uint16_t>{1, 2, 6}));
  EXPECT_EQ(trail(), concat({{kControlOk, kAnnounced, kControlOk},
                             kFailedRequest,
                             {event(1,
                                    "fail to send usb control "
                                    "Information(VLNR_USB_REQ_WUP_ABORT)")}}));
  EXPECT_TRUE(fileIsClosed(path));
}

TEST_F(ImageTransferTest, DeviceBusyAtEveryAnnouncementGivesMinus5) {
  vdev::AnswerOverride busy;
  busy.status = vdev::kStatusBusy;
  busy.state = vdev::kStateReceiving;
  vdev::overrideAnswer(vdev::kRequestGetStatus, 1, 5, busy);
  std::string path = image(100);
  EXPECT_EQ(send(path), -5);

  EXPECT_EQ(requests(), (std::vector<uint16_t>{1, 2, 6, 1, 2, 6, 1, 2, 6, 1, 2,
                                               6, 1, 2, 6}));
  Lines attempt = {kControlOk, kAnnounced, kControlOk, kControlOk, kAborted};
  EXPECT_EQ(trail(),
            concat({repeat(attempt, 5),
                    {event(1,
                           "fail to set the download information, wrong "
                           "status: 1, wrong state: 2")}}));
  // Each announcement carries its own time stamp and prints it.
  Lines lines = transferLines();
  EXPECT_EQ(lines.size(), 5u);
  EXPECT_EQ(out_, lines);
  EXPECT_EQ(clock_.waits(), std::vector<DWORD>(5, 200));
  EXPECT_EQ(vdev::verdict().announcements, 5u);
  EXPECT_EQ(vdev::verdict().aborts, 5u);
  EXPECT_EQ(dataWrites().size(), 0u);
  EXPECT_TRUE(fileIsClosed(path));
}

TEST_F(ImageTransferTest, RefusedAnnouncementGivesMinus5AtOnce) {
  struct Case {
    int status;
    int state;
    const char* text;
  };
  for (Case refusal : {Case{0, 1, "wrong status: 0, wrong state: 1"},
                       Case{2, 2, "wrong status: 2, wrong state: 2"}}) {
    SCOPED_TRACE(refusal.text);
    vdev::reset();
    events_.clear();
    transport_ = std::make_unique<WatchedTransport>(openVirtualInterface());
    vdev::AnswerOverride answer;
    answer.status = refusal.status;
    answer.state = refusal.state;
    vdev::overrideAnswer(vdev::kRequestGetStatus, 1, 1, answer);
    std::string path = image(100);
    EXPECT_EQ(send(path), -5);
    EXPECT_EQ(requests(), (std::vector<uint16_t>{1, 2}));
    EXPECT_EQ(trail(), (Lines{kControlOk, kAnnounced, kControlOk,
                              event(1, std::string("fail to set the download "
                                                   "information, ") +
                                           refusal.text)}));
    EXPECT_TRUE(fileIsClosed(path));
  }
  EXPECT_EQ(clock_.waits(), std::vector<DWORD>{});
}

// Data phase failures ---------------------------------------------------------

TEST_F(ImageTransferTest, ChunkBufferNotObtainedGivesMinus6) {
  failingSize = kImageChunkSize;
  setImageBufferAllocator(&failSize);
  std::string path = image(100);
  EXPECT_EQ(send(path), -6);
  EXPECT_EQ(trail(),
            (Lines{kControlOk, kAnnounced, kControlOk,
                   event(1, "Failed to allocate buffer. Size: 16384\n")}));
  EXPECT_EQ(err_, Lines{"Failed to allocate buffer. Size: 16384"});
  EXPECT_EQ(transport_->writes.size(), 0u);
  EXPECT_TRUE(fileIsClosed(path));
}

TEST_F(ImageTransferTest, FailedSegmentSyncGivesMinus7) {
  vdev::AnswerOverride failed;
  failed.status = vdev::kStatusFailed;
  vdev::overrideAnswer(vdev::kRequestGetSyncStatus, 1, 1, failed);
  std::string path = image(kSegment + 1);
  EXPECT_EQ(send(path), -7);
  const char* poll =
      "Failed to transfer all the data in 10 times retries.State: 2, Status: "
      "2, "
      "WrittenBytes: 4194304\n";
  EXPECT_EQ(trail(),
            (Lines{kControlOk, kAnnounced, kControlOk, kSegmentSent, kControlOk,
                   event(1, poll), event(1, "fail to sync data in transfer")}));
  EXPECT_EQ(err_, splitLines(poll));
  EXPECT_EQ(transport_->writes.size(), 256u);
  EXPECT_TRUE(fileIsClosed(path));
}

TEST_F(ImageTransferTest, WrongSegmentCountGivesMinus8) {
  vdev::AnswerOverride short_count;
  short_count.bytes_delta = -1;
  vdev::overrideAnswer(vdev::kRequestGetSyncStatus, 1, 1, short_count);
  std::string path = image(kSegment + 1);
  EXPECT_EQ(send(path), -8);
  EXPECT_EQ(trail(),
            (Lines{kControlOk, kAnnounced, kControlOk, kSegmentSent, kControlOk,
                   event(1,
                         "Something wrong in the transferring : |Wrong "
                         "status : |0")}));
  EXPECT_EQ(events_.events().back().strings.size(), 3u);
  EXPECT_EQ(err_, Lines{"Something wrong in the transferring, error is (0) "
                        "BytesWritten: 4194303"});
  EXPECT_TRUE(fileIsClosed(path));
}

TEST_F(ImageTransferTest, WriteFailingInTheSecondSegmentFailsTheDataPhase) {
  // Every 16384-byte chunk is a data call and a zero-length packet; the 259th
  // chunk's data call is write call 517.
  vdev::failCall(vdev::Call::kWriteEndpointSync, 2 * 258 + 1, kStall);
  std::string path = image(kSegment + 5 * 16384 + 100);
  EXPECT_EQ(send(path), -10);

  EXPECT_EQ(syncCounts(), std::vector<uint32_t>{4194304});  // no final sync
  EXPECT_EQ(vdev::verdict().bytes_received, kSegment + 2 * 16384);
  EXPECT_EQ(transport_->writes.size(), 259u);
  EXPECT_EQ(requests(), (std::vector<uint16_t>{1, 2, 7}));
  const char* text =
      "update file could not be sent whole: 4227072 of 4276324 bytes";
  EXPECT_EQ(trail(),
            (Lines{kControlOk, kAnnounced, kControlOk, kSegmentSent, kControlOk,
                   event(1, "AdbWriteEndpointSync, errno: 31"),
                   event(1, "Send the update file through USB fail"),
                   kDataFinished, event(1, text)}));
  EXPECT_EQ(err_, (Lines{"AdbWriteEndpointSync returned 0, errno: 31", text}));
  EXPECT_FALSE(vdev::verdict().update_started);
  EXPECT_TRUE(fileIsClosed(path));
}

TEST_F(ImageTransferTest, FirstWriteFailingFailsTheDataPhase) {
  vdev::failCall(vdev::Call::kWriteEndpointSync, 1, kStall);
  std::string path = image(100);
  EXPECT_EQ(send(path), -10);
  EXPECT_EQ(requests(), (std::vector<uint16_t>{1, 2}));
  EXPECT_EQ(transport_->writes, std::vector<uint64_t>{100});
  EXPECT_EQ(trail().back(),
            event(1, "update file could not be sent whole: 0 of 100 bytes"));
}

// A failing disk ends the reads early; the device would confirm, digest and
// start the part it got, so the procedure itself must refuse it.
TEST_F(ImageTransferTest, ReadErrorInTheDataPhaseFailsWithMinus10) {
  std::string path = image(kSegment + 5 * 16384 + 100);
  ReadFault fault(path, kSegment + 2 * 16384);
  EXPECT_EQ(send(path), -10);

  EXPECT_EQ(vdev::verdict().bytes_received, kSegment + 2 * 16384);
  EXPECT_EQ(requests(), (std::vector<uint16_t>{1, 2, 7}));
  EXPECT_EQ(trail(), (Lines{kControlOk, kAnnounced, kControlOk, kSegmentSent,
                            kControlOk, kDataFinished,
                            event(1, "update file could not be read whole")}));
  EXPECT_EQ(err_, Lines{"update file could not be read whole"});
  EXPECT_FALSE(vdev::verdict().md5_checked);
  EXPECT_FALSE(vdev::verdict().update_started);
  EXPECT_TRUE(fileIsClosed(path));
}

TEST_F(ImageTransferTest, ReadErrorWhileDigestingFailsWithMinus11) {
  std::string path = image(100);
  std::unique_ptr<ReadFault> fault;
  // The data phase has read the file whole once the device confirms it.
  transport_->afterControl = [&](uint16_t request) {
    if (request == VLNR_USB_REQ_WUP_GET_SYNC_STATUS && !fault) {
      fault = std::make_unique<ReadFault>(path, 50);
    }
  };
  EXPECT_EQ(send(path), -11);
  EXPECT_EQ(requests(), (std::vector<uint16_t>{1, 2, 7}));
  EXPECT_EQ(trail(),
            (Lines{kControlOk, kAnnounced, kControlOk, kDataFinished,
                   kControlOk, event(1, "Failed to generate the MD5 Sum")}));
  EXPECT_EQ(err_, Lines{});
  EXPECT_FALSE(vdev::verdict().md5_checked);
  fault.reset();
  EXPECT_TRUE(fileIsClosed(path));
}

// Bytes a status answer leaves out would read as zero, and zero means
// success: each read that the procedure depends on fails with its own code.
TEST_F(ImageTransferTest, ShortStatusAnswersFailTheStepThatReadThem) {
  struct Case {
    const char* name;
    uint16_t request;
    uint32_t first;  // occurrence of the request
    uint32_t count;
    uint64_t size;
    int result;
    Lines tail;
  };
  const Lines kNoStatus = {
      event(1, "Failed to get status in 5 times retries.\n")};
  const std::string kNoSync = event(
      1,
      "Failed to transfer all the data in 10 times retries.State: 0, Status: "
      "0, WrittenBytes: 0\n");
  const Case cases[] = {
      {"announcement", vdev::kRequestGetStatus, 1, 5, 100, -3,
       concat({kNoStatus, {event(1, "fail to read usb status")}})},
      {"segment sync",
       vdev::kRequestGetSyncStatus,
       1,
       1,
       kSegment + 1,
       -7,
       {kNoSync, event(1, "fail to sync data in transfer")}},
      {"final sync",
       vdev::kRequestGetSyncStatus,
       1,
       1,
       100,
       -9,
       {kNoSync, event(1, "fail to sync data in transfer")}},
      {"digest check", vdev::kRequestGetStatus, 2, 5, 100, -13,
       concat({kNoStatus, {event(1, "Failed to read the status")}})},
      {"start", vdev::kRequestGetStatus, 3, 5, 100, -15,
       concat({kNoStatus, {event(1, "Failed to read the status\n")}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vdev::reset();
    events_.clear();
    transport_ = std::make_unique<WatchedTransport>(openVirtualInterface());
    vdev::AnswerOverride empty;
    empty.status = vdev::kStatusFailed;  // what the device meant to say
    empty.length = 0;
    vdev::overrideAnswer(c.request, c.first, c.count, empty);
    std::string path = image(c.size);

    EXPECT_EQ(send(path), c.result);

    Lines seen = trail();
    ASSERT_GE(seen.size(), c.tail.size());
    EXPECT_EQ(Lines(seen.end() - c.tail.size(), seen.end()), c.tail);
    if (c.result != -15) {
      EXPECT_TRUE(controls(VLNR_USB_REQ_WUP_START_UPDATE).empty());
      EXPECT_FALSE(vdev::verdict().update_started);
    }
    EXPECT_TRUE(fileIsClosed(path));
  }
}

// Final sync failures ---------------------------------------------------------

TEST_F(ImageTransferTest, FailedFinalSyncGivesMinus9) {
  vdev::AnswerOverride failed;
  failed.status = vdev::kStatusFailed;
  vdev::overrideAnswer(vdev::kRequestGetSyncStatus, 1, 1, failed);
  std::string path = image(100);
  EXPECT_EQ(send(path), -9);
  const char* poll =
      "Failed to transfer all the data in 10 times retries.State: 3, Status: "
      "2, "
      "WrittenBytes: 100\n";
  EXPECT_EQ(trail(), (Lines{kControlOk, kAnnounced, kControlOk, kDataFinished,
                            kControlOk, event(1, poll),
                            event(1, "fail to sync data in transfer")}));
  EXPECT_EQ(err_, concat({splitLines(poll), {"Failed to do sync"}}));
}

TEST_F(ImageTransferTest, WrongFinalCountGivesMinus10) {
  vdev::AnswerOverride long_count;
  long_count.bytes_delta = 1;
  vdev::overrideAnswer(vdev::kRequestGetSyncStatus, 1, 1, long_count);
  EXPECT_EQ(send(image(100)), -10);
  const char* text =
      "Something wrong in the transferring, error is (0) writtenBytes: 101\n";
  EXPECT_EQ(trail(), (Lines{kControlOk, kAnnounced, kControlOk, kDataFinished,
                            kControlOk, event(1, text)}));
  EXPECT_EQ(err_, splitLines(text));
}

// Integrity and start failures ------------------------------------------------

TEST_F(ImageTransferTest, DigestBufferNotObtainedGivesMinus11) {
  failingSize = kDigestReadSize;
  setImageBufferAllocator(&failSize);
  EXPECT_EQ(send(image(100)), -11);
  EXPECT_EQ(requests(), (std::vector<uint16_t>{1, 2, 7}));
  EXPECT_EQ(trail(),
            (Lines{kControlOk, kAnnounced, kControlOk, kDataFinished,
                   kControlOk, event(1, "Failed to generate the MD5 Sum")}));
  EXPECT_EQ(err_, Lines{"Failed to allocate the buffer"});
}

TEST_F(ImageTransferTest, FailedDigestRequestGivesMinus12) {
  stallControls(4, 6);
  std::string path = image(100);
  EXPECT_EQ(send(path), -12);
  EXPECT_EQ(
      trail(),
      concat({{kControlOk, kAnnounced, kControlOk, kDataFinished, kControlOk},
              kFailedRequest,
              {event(1, "Failed to issue the md5sum control msg : |" +
                            md5Hex(path))}}));
}

TEST_F(ImageTransferTest, UnreadableDigestStatusGivesMinus13) {
  stallControls(5, 19);
  EXPECT_EQ(send(image(100)), -13);
  EXPECT_EQ(trail(),
            concat({{kControlOk, kAnnounced, kControlOk, kDataFinished,
                     kControlOk, kControlOk},
                    repeat(kFailedRequest, 5),
                    {event(1, "Failed to get status in 5 times retries.\n"),
                     event(1, "Failed to read the status")}}));
}

// Tried once, without the five-minute retry: a device may take the start
// request and restart before its answer comes back, and must not be told to
// start again.
TEST_F(ImageTransferTest, FailedStartRequestGivesMinus14) {
  stallControls(6, 8);
  EXPECT_EQ(send(image(100)), -14);
  EXPECT_EQ(requests(), (std::vector<uint16_t>{1, 2, 7, 8, 2, 9}));
  EXPECT_EQ(vdev::calls(vdev::Call::kDefaultEndpointReadWriteSync).size(), 6u);
  EXPECT_EQ(
      trail(),
      concat({{kControlOk, kAnnounced, kControlOk, kDataFinished, kControlOk,
               kControlOk, kControlOk, event(4, updateLine() + "\n")},
              {event(1, "AdbDefaultEndpointReadWriteSync, errno: 31")},
              {event(1,
                     "fail to send usb control "
                     "Information(VLNR_USB_REQ_WUP_START_UPDATE)")}}));
  EXPECT_EQ(out_.size(), 2u);
  EXPECT_EQ(out_[1], updateLine());
  EXPECT_FALSE(vdev::verdict().update_started);
}

TEST_F(ImageTransferTest, UnreadableStartStatusGivesMinus15) {
  stallControls(7, 21);
  EXPECT_EQ(send(image(100)), -15);
  Lines trailSeen = trail();
  Lines tail(trailSeen.end() - 2, trailSeen.end());
  EXPECT_EQ(tail, (Lines{event(1, "Failed to get status in 5 times retries.\n"),
                         event(1, "Failed to read the status\n")}));
  EXPECT_EQ(trailSeen.size(), 10u + 2 * 15 + 2);
  EXPECT_EQ(err_, concat({Lines(15, "usb_control_transfer failed. errno: 31"),
                          {"Failed to get status in 5 times retries.",
                           "Failed to read the status"}}));
}

TEST_F(ImageTransferTest, RefusedStartGivesMinus16) {
  vdev::AnswerOverride refused;
  refused.status = vdev::kStatusFailed;
  vdev::overrideAnswer(vdev::kRequestGetStatus, 3, 1, refused);
  EXPECT_EQ(send(image(100)), -16);
  EXPECT_EQ(requests(), kFullRun);
  std::vector<RecordedEvent> seen = events_.events();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(seen.back().strings,
            (Lines{"fail to set the Check Status : ", "Wrong status : ", "2",
                   "Wrong state : ", "5"}));
  EXPECT_EQ(err_, Lines{});
}

// The digest on its own -------------------------------------------------------

TEST_F(ImageTransferTest, GenerateMd5SumOfKnownAndMultiBlockFiles) {
  char text[kDigestTextBufferSize];
  std::memset(text, 'x', sizeof text);
  std::string abc = (directory_ / "abc.txt").string();
  FILE* file = std::fopen(abc.c_str(), "wb");
  std::fputs("abc", file);
  std::fclose(file);
  EXPECT_EQ(generateMd5Sum(abc.c_str(), text), 0);
  EXPECT_EQ(std::string(text), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(text[33], 'x');  // 33 bytes written, no more

  std::string empty = image(0, "empty.bin");
  EXPECT_EQ(generateMd5Sum(empty.c_str(), text), 0);
  EXPECT_EQ(std::string(text), "d41d8cd98f00b204e9800998ecf8427e");

  std::string large = image(3 * kDigestReadSize + 7, "large.bin");
  EXPECT_EQ(generateMd5Sum(large.c_str(), text), 0);
  EXPECT_EQ(std::string(text), md5Hex(large));
  EXPECT_TRUE(fileIsClosed(large));

  std::string missing = (directory_ / "missing").string();
  EXPECT_EQ(generateMd5Sum(missing.c_str(), text), -1);

  {
    ReadFault fault(large, 2 * kDigestReadSize + 1);
    EXPECT_EQ(generateMd5Sum(large.c_str(), text), -3);
  }
  EXPECT_TRUE(fileIsClosed(large));

  failingSize = kDigestReadSize;
  setImageBufferAllocator(&failSize);
  CaptureStderr();
  EXPECT_EQ(generateMd5Sum(large.c_str(), text), -2);
  EXPECT_EQ(GetCapturedStderr(), "Failed to allocate the buffer\n");
  EXPECT_TRUE(fileIsClosed(large));
  EXPECT_EQ(trail(), Lines{});
}

TEST_F(ImageTransferTest, FileIsClosedTellsAnOpenFile) {
  std::string path = image(10);
  FILE* file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(fileIsClosed(path));
  std::fclose(file);
  EXPECT_TRUE(fileIsClosed(path));
}

}  // namespace
