// Fuzz target: the records of the control protocol built from arbitrary
// values: the announcement from any version text, image size, segment and
// force byte, the time stamp from any clock and time zone, the digest text
// from any file contents, the transfer length of any digest buffer, the setup
// record of every request, and the status record read from any 8 bytes.
//
// Each record is built in memory of exactly its size, so a byte written
// outside it is the sanitizer's to report, and compared byte by byte with the
// wire layout, decoded here on its own terms.
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/host_testing.h"
#include "testing/fuzz/fuzz_check.h"
#include "testing/fuzz/fuzz_input.h"
#include "upgrade/control_protocol.h"
#include "upgrade/image_transfer.h"

namespace {

using Bytes = std::vector<uint8_t>;

void putLe16(Bytes* out, uint16_t value) {
  out->push_back(static_cast<uint8_t>(value));
  out->push_back(static_cast<uint8_t>(value >> 8));
}

void putLe32(Bytes* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The clock and zone of one run.
SYSTEMTIME clock_now;
TIME_ZONE_INFORMATION zone_now;

void fuzzLocalTime(SYSTEMTIME* time) { *time = clock_now; }

DWORD fuzzTimeZone(TIME_ZONE_INFORMATION* zone) {
  *zone = zone_now;
  return TIME_ZONE_ID_UNKNOWN;
}

// The 20 bytes of the time stamp: six 16-bit fields (no day of the week, no
// milliseconds), then the two offsets in minutes east of UTC, which are the
// zone's biases negated.
Bytes expectedTime() {
  Bytes out;
  for (WORD field : {clock_now.wYear, clock_now.wMonth, clock_now.wDay,
                     clock_now.wHour, clock_now.wMinute, clock_now.wSecond}) {
    putLe16(&out, field);
  }
  putLe32(&out, 0u - static_cast<uint32_t>(zone_now.Bias));
  putLe32(&out, 0u - static_cast<uint32_t>(zone_now.DaylightBias));
  return out;
}

Bytes expectedAnnouncement(const std::string& version, uint64_t size,
                           uint8_t segmented, uint8_t force) {
  Bytes out(32, 0);
  size_t length = std::strlen(version.c_str());
  std::memcpy(out.data(), version.data(), length < 31 ? length : 31);
  putLe32(&out, static_cast<uint32_t>(size));
  putLe32(&out, static_cast<uint32_t>(segmented) << 22);
  out.push_back(force);
  Bytes time = expectedTime();
  out.insert(out.end(), time.begin(), time.end());
  out.insert(out.end(), 3, 0);
  return out;
}

// Fills a record of exactly `size` bytes (first set to a pattern, so a byte
// left unwritten shows) and returns its bytes.
template <typename Record, typename Build>
Bytes built(Build build) {
  std::unique_ptr<uint8_t[]> memory(new uint8_t[sizeof(Record)]);
  std::memset(memory.get(), 0xA5, sizeof(Record));
  build(reinterpret_cast<Record*>(memory.get()));
  return Bytes(memory.get(), memory.get() + sizeof(Record));
}

std::string hex(const Bytes& bytes) {
  std::string text;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    text += two;
  }
  return text;
}

void checkRecord(const char* what, const Bytes& got, const Bytes& expected) {
  FUZZ_CHECK(got == expected, "%s\n  got      %s\n  expected %s", what,
             hex(got).c_str(), hex(expected).c_str());
}

// A transport that only notes what it is asked to send.
class NotingTransport : public Transport {
 public:
  int64_t usb_read(void*, uint64_t) override { return -1; }
  int64_t usb_write(const void*, uint64_t) override { return -1; }
  int64_t usb_control_transfer(uint8_t direction, const void* setup,
                               void* buffer, uint32_t length) override {
    this->direction = direction;
    std::memcpy(this->setup.data(), setup, this->setup.size());
    this->buffer = buffer;
    this->length = length;
    return length;
  }
  int64_t usb_close() override { return 0; }
  int64_t reserved_op() override { return 0; }
  void sleep_ms(uint32_t) override {}

  uint8_t direction = 0xFF;
  std::array<uint8_t, 8> setup{};
  void* buffer = nullptr;
  uint32_t length = 0;
};

void checkRequest(uint16_t request, void* data, uint32_t length) {
  bool reads = request == VLNR_USB_REQ_WUP_GET_STATUS ||
               request == VLNR_USB_REQ_WUP_GET_SYNC_STATUS;
  NotingTransport transport;
  velunorSendControlInfo(&transport, request, data, length);
  std::array<uint8_t, 8> expected = {
      0,
      static_cast<uint8_t>(reads ? 0x81 : 0x01),
      static_cast<uint8_t>(request),
      static_cast<uint8_t>(request >> 8),
      0,
      0,
      static_cast<uint8_t>(length),
      static_cast<uint8_t>(length >> 8)};
  checkRecord("setup record", Bytes(transport.setup.begin(), transport.setup.end()),
              Bytes(expected.begin(), expected.end()));
  FUZZ_CHECK(transport.direction == (reads ? 1 : 0), "direction %u",
             transport.direction);
  FUZZ_CHECK(transport.length == length, "length %u for %u", transport.length,
             length);
  void* expected_buffer = request == VLNR_USB_REQ_WUP_ABORT ? nullptr : data;
  FUZZ_CHECK(transport.buffer == expected_buffer, "buffer of request %u",
             request);
}

// The digest buffer holds 40 bytes; its transfer length is the text up to
// its zero, at most 39 characters, and the zero.
void checkDigestLength(FuzzInput& in) {
  std::unique_ptr<char[]> text(new char[kDigestTextBufferSize]);
  std::string bytes = in.bytes(kDigestTextBufferSize);
  std::memcpy(text.get(), bytes.data(), kDigestTextBufferSize);
  size_t characters = 0;
  while (characters < kDigestTextBufferSize - 1 && text[characters] != 0) {
    ++characters;
  }
  uint32_t length = digestTextLength(text.get());
  FUZZ_CHECK(length == characters + 1, "digest length %u for %zu characters",
             length, characters);
  checkRequest(VLNR_USB_REQ_WUP_SET_MD5SUM, text.get(), length);
}

const std::string& scratchFile() {
  static const std::string path = [] {
    char pattern[] = "/dev/shm/velunor_records_XXXXXX";
    char fallback[] = "/tmp/velunor_records_XXXXXX";
    int descriptor = mkstemp(pattern);
    const char* made = pattern;
    if (descriptor < 0) {
      descriptor = mkstemp(fallback);
      made = fallback;
    }
    if (descriptor < 0) std::abort();
    close(descriptor);
    std::string name = made;
    static std::string removed_at_exit;
    removed_at_exit = name;
    std::atexit([] { unlink(removed_at_exit.c_str()); });
    return name;
  }();
  return path;
}

void checkDigestText(FuzzInput& in) {
  std::string contents = in.bytes(in.upTo(4096));
  FILE* file = std::fopen(scratchFile().c_str(), "wb");
  if (file == nullptr) std::abort();
  std::fwrite(contents.data(), 1, contents.size(), file);
  std::fclose(file);
  std::unique_ptr<char[]> text(new char[33]);
  FUZZ_CHECK(generateMd5Sum(scratchFile().c_str(), text.get()) == 0,
             "digest of a readable file failed");
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(contents.data(), contents.size(), digest, &size, EVP_md5(),
             nullptr);
  Bytes expected;
  static constexpr char kHex[] = "0123456789abcdef";
  for (unsigned i = 0; i < size; ++i) {
    expected.push_back(static_cast<uint8_t>(kHex[digest[i] >> 4]));
    expected.push_back(static_cast<uint8_t>(kHex[digest[i] & 15]));
  }
  expected.push_back(0);
  checkRecord("digest text", Bytes(text.get(), text.get() + 33), expected);
}

void checkStatusRecord(FuzzInput& in) {
  std::string bytes = in.bytes(sizeof(DeviceStatus));
  std::unique_ptr<DeviceStatus> status(new DeviceStatus);
  std::memcpy(status.get(), bytes.data(), sizeof(DeviceStatus));
  const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
  uint32_t count = static_cast<uint32_t>(b[2]) | static_cast<uint32_t>(b[3]) << 8 |
                   static_cast<uint32_t>(b[4]) << 16 |
                   static_cast<uint32_t>(b[5]) << 24;
  FUZZ_CHECK(status->status == b[0] && status->state == b[1] &&
                 status->bytes_written == count,
             "status record read as %u %u %u", status->status, status->state,
             static_cast<unsigned>(status->bytes_written));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  std::string version = in.bytes(in.upTo(64));
  uint64_t image_size = in.u64();
  uint8_t segmented = in.byte();
  uint8_t force = in.byte();
  clock_now = SYSTEMTIME{in.u16(), in.u16(), in.u16(), in.u16(),
                         in.u16(), in.u16(), in.u16(), in.u16()};
  zone_now = TIME_ZONE_INFORMATION{};
  zone_now.Bias = static_cast<LONG>(in.u32());
  zone_now.StandardBias = static_cast<LONG>(in.u32());
  zone_now.DaylightBias = static_cast<LONG>(in.u32());
  hostSetClockHooks(fuzzLocalTime, fuzzTimeZone);

  checkRecord("time stamp",
              built<LocalTimeStamp>([](LocalTimeStamp* stamp) {
                FUZZ_CHECK(getLocalTimeStamp(stamp) == 0, "time stamp failed");
              }),
              expectedTime());
  checkRecord("announcement",
              built<DownloadInfo>([&](DownloadInfo* info) {
                fillDownloadInfo(info, version.c_str(), image_size, segmented,
                                 force);
              }),
              expectedAnnouncement(version, image_size, segmented, force));
  hostSetClockHooks(nullptr, nullptr);

  // Every request with its payload length as the library sends it.
  uint8_t payload[64] = {};
  checkRequest(VLNR_USB_REQ_WUP_SET_DNLOAD_INFO, payload, 64);
  checkRequest(VLNR_USB_REQ_WUP_GET_STATUS, payload, 8);
  checkRequest(VLNR_USB_REQ_WUP_ABORT, payload, 0);
  checkRequest(VLNR_USB_REQ_WUP_GET_SYNC_STATUS, payload, 8);
  checkRequest(VLNR_USB_REQ_WUP_START_UPDATE, payload, 20);
  checkDigestLength(in);
  checkStatusRecord(in);
  checkDigestText(in);
  return 0;
}
