// The virtual device on its own, through the raw AdbWinApi calls: it must act
// as a strict device would, so code under test cannot pass by luck.
#include "testing/virtual_device/virtual_device.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include "platform/host/host_win32.h"
#endif

namespace {

using Bytes = std::vector<uint8_t>;

constexpr GUID kClass = {0x6B11E5BB,
                         0xF5CA,
                         0x4902,
                         {0x96, 0x15, 0x77, 0x3B, 0x3D, 0x2F, 0x2F, 0xEC}};

Bytes setup(uint8_t type, uint16_t request, uint16_t length) {
  return {0,
          type,
          static_cast<uint8_t>(request),
          static_cast<uint8_t>(request >> 8),
          0,
          0,
          static_cast<uint8_t>(length),
          static_cast<uint8_t>(length >> 8)};
}

void putLe32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// A 64-byte announcement, laid out by hand.
Bytes downloadInfo(const char* version, uint32_t size) {
  Bytes info(64, 0);
  std::memcpy(info.data(), version, std::strlen(version));
  putLe32(&info[32], size);
  putLe32(&info[36], 4194304);
  info[40] = 1;
  const uint16_t time[6] = {2025, 3, 14, 9, 26, 53};
  for (int i = 0; i < 6; ++i) {
    info[41 + 2 * i] = static_cast<uint8_t>(time[i]);
    info[42 + 2 * i] = static_cast<uint8_t>(time[i] >> 8);
  }
  putLe32(&info[53], 480);
  return info;
}

// The start request's time stamp: 2025-05-01.
Bytes startStamp() {
  Bytes stamp(20, 0);
  stamp[0] = 0xE9;
  stamp[1] = 0x07;
  stamp[2] = 5;
  stamp[4] = 1;
  return stamp;
}

std::string md5Hex(const Bytes& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(data.data(), data.size(), digest, &size, EVP_md5(), nullptr);
  char text[33] = {};
  for (unsigned i = 0; i < 16; ++i)
    std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
  return text;
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

// Announces a download over an interface, as the library does.
bool announceOver(void* iface, const char* version, uint32_t size) {
  Bytes info = downloadInfo(version, size);
  AdbULong moved = 0;
  return AdbDefaultEndpointReadWriteSync(iface, 0, setup(0x01, 1, 64).data(),
                                         info.data(), 64, &moved);
}

class VirtualDeviceTest : public testing::Test {
 protected:
  void SetUp() override {
    vdev::reset();
    iface_ = AdbCreateInterfaceByName(vdev::defaultInterfaceName());
    write_ = AdbOpenDefaultBulkWriteEndpoint(iface_, AdbOpenAccessTypeReadWrite,
                                             AdbOpenSharingModeReadWrite);
  }

  bool control(const Bytes& setup_bytes, uint8_t direction, void* buffer,
               AdbULong length, AdbULong* moved = nullptr) {
    AdbULong count = 0;
    bool done = AdbDefaultEndpointReadWriteSync(
        iface_, direction, setup_bytes.data(), buffer, length, &count);
    if (moved != nullptr) *moved = count;
    return done;
  }

  bool announce(uint32_t size, const char* version = "1.0") {
    return announceOver(iface_, version, size);
  }

  Bytes status(uint16_t request = 2) {
    Bytes answer(8, 0xEE);
    AdbULong moved = 0;
    EXPECT_TRUE(control(setup(0x81, request, 8), 1, answer.data(), 8, &moved));
    answer.resize(moved);
    return answer;
  }

  bool write(Bytes data) {
    AdbULong written = 0;
    return AdbWriteEndpointSync(write_, data.data(),
                                static_cast<AdbULong>(data.size()), &written,
                                20000) &&
           written == data.size();
  }

  bool sendDigest(const std::string& text) {
    Bytes payload(text.begin(), text.end());
    payload.push_back(0);
    return control(setup(0x01, 8, 33), 0, payload.data(), 33);
  }

  void* iface_ = nullptr;
  void* write_ = nullptr;
};

// Strictness ------------------------------------------------------------------

TEST_F(VirtualDeviceTest, MalformedRequestsStallLikeAStrictDevice) {
  Bytes info = downloadInfo("1.0", 100);
  Bytes answer(8);
  struct Case {
    const char* what;
    Bytes setup;
    uint8_t direction;
    uint8_t* buffer;
    AdbULong length;
  } cases[] = {
      {"request_type of a read", setup(0x81, 1, 64), 0, info.data(), 64},
      {"request_type of a write", setup(0x01, 2, 8), 1, answer.data(), 8},
      {"wrong setup length", setup(0x01, 1, 63), 0, info.data(), 63},
      {"setup and transfer disagree", setup(0x01, 1, 64), 0, info.data(), 60},
      {"status read of 7 bytes", setup(0x81, 2, 7), 1, answer.data(), 7},
      {"digest of 32 bytes", setup(0x01, 8, 32), 0, info.data(), 32},
      {"unknown request", setup(0x01, 3, 0), 0, nullptr, 0},
      {"wrong direction", setup(0x81, 7, 8), 0, answer.data(), 8},
      {"no buffer", setup(0x01, 9, 20), 0, nullptr, 20},
  };
  uint32_t refused = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(0);
    EXPECT_FALSE(control(c.setup, c.direction, c.buffer, c.length));
    EXPECT_EQ(GetLastError(), vdev::kErrorStall);
    EXPECT_EQ(vdev::verdict().refused_requests, ++refused);
  }
  Bytes reserved = setup(0x01, 6, 0);
  reserved[4] = 1;
  EXPECT_FALSE(control(reserved, 0, nullptr, 0));
  EXPECT_FALSE(vdev::verdict().announced);
}

TEST_F(VirtualDeviceTest, AnnouncementWithoutItsTerminatorIsRefused) {
  Bytes info = downloadInfo("", 100);
  std::memset(info.data(), 'v', 32);
  EXPECT_FALSE(control(setup(0x01, 1, 64), 0, info.data(), 64));
  info = downloadInfo("1.0", 100);
  info[62] = 1;  // reserved
  EXPECT_FALSE(control(setup(0x01, 1, 64), 0, info.data(), 64));
  EXPECT_FALSE(vdev::verdict().announced);
}

TEST_F(VirtualDeviceTest, DataBeforeAnAnnouncementOrBeyondItIsRefused) {
  EXPECT_FALSE(write(Bytes(10)));
  EXPECT_EQ(GetLastError(), vdev::kErrorStall);
  ASSERT_TRUE(announce(10));
  EXPECT_TRUE(write(Bytes(10)));
  EXPECT_FALSE(write(Bytes(1)));
}

// The protocol ----------------------------------------------------------------

TEST_F(VirtualDeviceTest, DownloadIsCountedVerifiedAndStarted) {
  ASSERT_TRUE(announce(5000));
  EXPECT_EQ(status(), (Bytes{0, 2, 0, 0, 0, 0, 0, 0}));
  Bytes image(5000);
  for (size_t i = 0; i < image.size(); ++i)
    image[i] = static_cast<uint8_t>(i % 251);
  ASSERT_TRUE(write(Bytes(image.begin(), image.begin() + 4096)));
  EXPECT_EQ(status(7), (Bytes{0, 2, 0x00, 0x10, 0, 0, 0, 0}));
  ASSERT_TRUE(write(Bytes(image.begin() + 4096, image.end())));
  EXPECT_EQ(status(7), (Bytes{0, 3, 0x88, 0x13, 0, 0, 0, 0}));

  ASSERT_TRUE(sendDigest(md5Hex(image)));
  EXPECT_EQ(status()[0], vdev::kStatusOk);
  Bytes stamp = startStamp();
  ASSERT_TRUE(control(setup(0x01, 9, 20), 0, stamp.data(), 20));
  EXPECT_EQ(status()[0], vdev::kStatusOk);

  vdev::Verdict v = vdev::verdict();
  EXPECT_TRUE(v.image_received);
  EXPECT_EQ(v.bytes_received, 5000u);
  EXPECT_TRUE(v.md5_verified);
  EXPECT_EQ(std::string(v.md5_computed), md5Hex(image));
  EXPECT_TRUE(v.update_started);
  EXPECT_EQ(v.update_time[0], 2025);
  EXPECT_EQ(v.gmt_offset, 480);
  EXPECT_EQ(v.state, vdev::kStateUpdating);
}

TEST_F(VirtualDeviceTest, WrongDigestFailsAndStartIsThenRefused) {
  ASSERT_TRUE(announce(3));
  ASSERT_TRUE(write({1, 2, 3}));
  ASSERT_TRUE(sendDigest(std::string(32, '0')));
  EXPECT_EQ(status()[0], vdev::kStatusFailed);
  Bytes stamp(20, 0);
  stamp[2] = 1;
  stamp[4] = 1;
  ASSERT_TRUE(control(setup(0x01, 9, 20), 0, stamp.data(), 20));
  EXPECT_EQ(status()[0], vdev::kStatusFailed);
  EXPECT_FALSE(vdev::verdict().md5_verified);
  EXPECT_FALSE(vdev::verdict().update_started);
}

TEST_F(VirtualDeviceTest, PendingDownloadAnswersBusyUntilAborted) {
  vdev::setPendingDownload();
  ASSERT_TRUE(announce(100));
  EXPECT_EQ(status()[0], vdev::kStatusBusy);
  ASSERT_TRUE(announce(100));
  EXPECT_EQ(status()[0], vdev::kStatusBusy);
  ASSERT_TRUE(control(setup(0x01, 6, 0), 0, nullptr, 0));
  ASSERT_TRUE(announce(100));
  EXPECT_EQ(status(), (Bytes{0, 2, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(vdev::verdict().announcements, 3u);
  EXPECT_EQ(vdev::verdict().aborts, 1u);
}

TEST_F(VirtualDeviceTest, ScriptedAnswersAndFaults) {
  ASSERT_TRUE(announce(100));
  vdev::answerBusy(vdev::kRequestGetSyncStatus, 2);
  EXPECT_EQ(status(7)[0], vdev::kStatusBusy);
  EXPECT_EQ(status(7)[0], vdev::kStatusBusy);
  EXPECT_EQ(status(7)[0], vdev::kStatusOk);
  vdev::AnswerOverride wrong;
  wrong.bytes_delta = -1;
  wrong.state = 9;
  vdev::overrideAnswer(vdev::kRequestGetSyncStatus, 4, 1, wrong);
  EXPECT_EQ(status(7), (Bytes{0, 9, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}));

  vdev::failCall(vdev::Call::kDefaultEndpointReadWriteSync, 7, 121);
  Bytes answer(8);
  EXPECT_TRUE(control(setup(0x81, 2, 8), 1, answer.data(), 8));
  EXPECT_FALSE(control(setup(0x81, 2, 8), 1, answer.data(), 8));
  EXPECT_EQ(GetLastError(), 121u);
  EXPECT_TRUE(control(setup(0x81, 2, 8), 1, answer.data(), 8));
}

// An answer source from a list of decisions, one per call, then plain
// answers.
struct ScriptedSource {
  std::vector<vdev::Fate> fates;
  size_t next_fate = 0;
  uint32_t error = 121;
  uint32_t write_count = UINT32_MAX;  // UINT32_MAX: what the device takes
  uint32_t status_count = 8;
  int status_byte = -1;  // -1: the device's own

  vdev::AnswerSource source() {
    vdev::AnswerSource s;
    s.context = this;
    s.fate = [](void* context, vdev::Call, uint32_t* error) {
      auto* self = static_cast<ScriptedSource*>(context);
      *error = self->error;
      if (self->next_fate == self->fates.size()) return vdev::Fate::kAnswer;
      return self->fates[self->next_fate++];
    };
    s.writeCount = [](void* context, uint32_t, uint32_t taking) {
      auto* self = static_cast<ScriptedSource*>(context);
      return self->write_count == UINT32_MAX ? taking : self->write_count;
    };
    s.controlCount = [](void* context, uint16_t, uint32_t length,
                        uint8_t* answer) {
      auto* self = static_cast<ScriptedSource*>(context);
      if (answer == nullptr) return length;
      if (self->status_byte >= 0) {
        answer[0] = static_cast<uint8_t>(self->status_byte);
      }
      return self->status_count;
    };
    return s;
  }
};

TEST_F(VirtualDeviceTest, AnswerSourceDecidesWhatTheCallerIsTold) {
  ScriptedSource script;
  vdev::AnswerSource source = script.source();
  vdev::setAnswerSource(&source);

  // Failed before: the device never saw the announcement.
  script.fates = {vdev::Fate::kFailBefore, vdev::Fate::kFailAfter};
  EXPECT_FALSE(announce(100));
  EXPECT_EQ(GetLastError(), 121u);
  EXPECT_FALSE(vdev::verdict().announced);
  // Failed after: the device took it, the caller was told otherwise.
  EXPECT_FALSE(announce(100));
  EXPECT_EQ(GetLastError(), 121u);
  EXPECT_TRUE(vdev::verdict().announced);
  EXPECT_EQ(vdev::verdict().state, vdev::kStateReceiving);

  // Counts: fewer bytes taken than given, or more claimed than given.
  AdbULong written = 0;
  Bytes data(60, 7);
  script.write_count = 25;
  EXPECT_TRUE(AdbWriteEndpointSync(write_, data.data(), 60, &written, 0));
  EXPECT_EQ(written, 25u);
  EXPECT_EQ(vdev::verdict().bytes_received, 25u);
  script.write_count = 61;
  EXPECT_TRUE(AdbWriteEndpointSync(write_, data.data(), 60, &written, 0));
  EXPECT_EQ(written, 61u);
  EXPECT_EQ(vdev::verdict().bytes_received, 85u);

  // A status answer rewritten and cut short: only its first 3 bytes arrive.
  script.status_byte = 9;
  script.status_count = 3;
  Bytes answer(8, 0xEE);
  AdbULong moved = 0;
  EXPECT_TRUE(control(setup(0x81, 7, 8), 1, answer.data(), 8, &moved));
  EXPECT_EQ(moved, 3u);
  EXPECT_EQ(answer, (Bytes{9, 2, 85, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));

  // Pulled out: this and every later call fail with 6, handles still close.
  script.fates = {vdev::Fate::kPullOut, vdev::Fate::kFailBefore};
  script.next_fate = 0;
  EXPECT_FALSE(announce(100));
  EXPECT_EQ(GetLastError(), vdev::kErrorGone);
  EXPECT_TRUE(vdev::verdict().unplugged);
  size_t open = vdev::openHandleCount();
  EXPECT_FALSE(AdbCloseHandle(write_));
  EXPECT_EQ(vdev::openHandleCount(), open - 1);
  vdev::setAnswerSource(nullptr);
}

TEST_F(VirtualDeviceTest, UnpluggedDeviceFailsEveryLaterCallWithError6) {
  vdev::unplugAtByte(1000);
  ASSERT_TRUE(announce(5000));
  AdbULong written = 0;
  Bytes data(4096);
  EXPECT_FALSE(
      AdbWriteEndpointSync(write_, data.data(), 4096, &written, 20000));
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_EQ(written, 1000u);
  Bytes answer(8);
  EXPECT_FALSE(control(setup(0x81, 2, 8), 1, answer.data(), 8));
  EXPECT_EQ(GetLastError(), 6u);
  AdbUsbDeviceDescriptor descriptor;
  EXPECT_FALSE(AdbGetUsbDeviceDescriptor(iface_, &descriptor));
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_TRUE(AdbCloseHandle(write_));
  EXPECT_TRUE(AdbCloseHandle(iface_));
  EXPECT_EQ(vdev::openHandleCount(), 0u);
  EXPECT_EQ(vdev::verdict().bytes_received, 1000u);
}

TEST_F(VirtualDeviceTest, DevicePulledAtARequestFailsItAndEveryLaterCall) {
  vdev::unplugAtRequest(vdev::kRequestGetSyncStatus, 2);
  ASSERT_TRUE(announce(5000));
  EXPECT_EQ(status(vdev::kRequestGetSyncStatus).size(), 8u);
  Bytes answer(8);
  EXPECT_FALSE(control(setup(0x81, 7, 8), 1, answer.data(), 8));
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_TRUE(vdev::verdict().unplugged);
  EXPECT_FALSE(control(setup(0x81, 2, 8), 1, answer.data(), 8));
  EXPECT_EQ(GetLastError(), 6u);
  // Gone from the enumeration too.
  void* enumeration = AdbEnumInterfaces(kClass, true, true, true);
  uint8_t entry[2048];
  AdbULong size = sizeof entry;
  EXPECT_FALSE(AdbNextInterface(enumeration, entry, &size));
  AdbCloseHandle(enumeration);
  AdbCloseHandle(write_);
  AdbCloseHandle(iface_);
}

TEST_F(VirtualDeviceTest, SuccessfulLastCallsKeepTheCallersLastError) {
  SetLastError(1234);
  Bytes answer(8);
  EXPECT_TRUE(control(setup(0x81, 2, 8), 1, answer.data(), 8));
  EXPECT_EQ(GetLastError(), 1234u);
}

// Interfaces and descriptors
// ----------------------------------------------------

TEST_F(VirtualDeviceTest, EnumerationListsWhatTheFiltersLetThrough) {
  vdev::InterfaceConfig gone;
  gone.present = false;
  vdev::InterfaceConfig removed;
  removed.removed = true;
  vdev::InterfaceConfig idle;
  idle.active = false;
  const AdbWideChar a[] = {'a', 0}, b[] = {'b', 0}, c[] = {'c', 0},
                    d[] = {'d', 0};
  vdev::addInterface(a, gone);
  vdev::addInterface(b, removed);
  vdev::addInterface(c, idle);
  vdev::addInterface(d, vdev::InterfaceConfig{});

  auto names = [](void* enumeration) {
    std::string seen;
    uint8_t entry[2048];
    AdbULong size = sizeof entry;
    while (AdbNextInterface(enumeration, entry, &size)) {
      EXPECT_EQ(std::memcmp(entry, &kClass, 16), 0);
      seen += static_cast<char>(entry[20]);
      EXPECT_EQ(entry[22], 0);
      size = sizeof entry;
    }
    EXPECT_EQ(GetLastError(), 259u);
    AdbCloseHandle(enumeration);
    return seen;
  };
  EXPECT_EQ(names(AdbEnumInterfaces(kClass, true, true, true)), "d");
  EXPECT_EQ(names(AdbEnumInterfaces(kClass, false, false, false)), "abcd");
  GUID other = kClass;
  other.Data1 ^= 1;
  EXPECT_EQ(names(AdbEnumInterfaces(other, false, false, false)), "");
  std::vector<vdev::CallRecord> enums =
      vdev::calls(vdev::Call::kEnumInterfaces);
  EXPECT_TRUE(enums[0].flags[0] && enums[0].flags[1] && enums[0].flags[2]);
}

TEST_F(VirtualDeviceTest, EntryTooSmallGetsTheSizeNeeded) {
  void* enumeration = AdbEnumInterfaces(kClass, true, true, true);
  uint8_t entry[64];
  AdbULong size = sizeof entry;
  EXPECT_FALSE(AdbNextInterface(enumeration, entry, &size));
  EXPECT_EQ(GetLastError(), 122u);
  size_t name_units =
      std::char_traits<AdbWideChar>::length(vdev::defaultInterfaceName());
  EXPECT_EQ(size, 20 + 2 * (name_units + 1));
  AdbCloseHandle(enumeration);
}

TEST_F(VirtualDeviceTest, DescriptorsNameAndSerialAnswerAsConfigured) {
  vdev::InterfaceConfig config;
  config.max_packet_size = 64;
  config.num_endpoints = 2;
  config.has_serial = false;
  vdev::configureInterface(0, config);
  AdbUsbDeviceDescriptor device;
  ASSERT_TRUE(AdbGetUsbDeviceDescriptor(iface_, &device));
  EXPECT_EQ(device.bLength, 18);
  EXPECT_EQ(device.idVendor, 0x3F3A);
  EXPECT_EQ(device.idProduct, 0x9206);
  AdbUsbInterfaceDescriptor interface_descriptor;
  ASSERT_TRUE(AdbGetUsbInterfaceDescriptor(iface_, &interface_descriptor));
  EXPECT_EQ(interface_descriptor.bNumEndpoints, 2);
  AdbEndpointInformation endpoint;
  ASSERT_TRUE(AdbGetEndpointInformation(iface_, 0, &endpoint));
  EXPECT_EQ(endpoint.max_packet_size, 64u);
  char serial[256];
  AdbULong chars = sizeof serial;
  EXPECT_FALSE(AdbGetSerialNumber(iface_, serial, &chars, true));

  AdbULong size = 0;
  EXPECT_FALSE(AdbGetInterfaceName(iface_, nullptr, &size, true));
  std::string name(size, '\0');
  ASSERT_TRUE(AdbGetInterfaceName(iface_, &name[0], &size, true));
  EXPECT_EQ(name.substr(0, 20), "\\\\?\\usb#vid_3f3a&pid");
}

TEST_F(VirtualDeviceTest, EveryCallIsRecordedWithItsArguments) {
  vdev::failCall(vdev::Call::kOpenDefaultBulkReadEndpoint, 1, 31);
  EXPECT_EQ(AdbOpenDefaultBulkReadEndpoint(iface_, AdbOpenAccessTypeReadWrite,
                                           AdbOpenSharingModeReadWrite),
            nullptr);
  EXPECT_EQ(GetLastError(), 31u);
  std::vector<vdev::CallRecord> all = vdev::calls();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].call, vdev::Call::kCreateInterfaceByName);
  Bytes name = vdev::payload(all[0]);
  EXPECT_EQ(name[0], '\\');
  EXPECT_EQ(all[1].call, vdev::Call::kOpenDefaultBulkWriteEndpoint);
  EXPECT_EQ(all[1].handle, reinterpret_cast<uintptr_t>(iface_));
  EXPECT_EQ(all[1].access, 0);
  EXPECT_EQ(all[1].sharing, 0);
  EXPECT_FALSE(all[2].result);
  EXPECT_EQ(all[2].error, 31u);
}

// Scripting by file
// -------------------------------------------------------------

std::string scratchDirectory() {
#ifdef _WIN32
  char path[MAX_PATH];
  GetTempPathA(sizeof path, path);
  std::string directory =
      std::string(path) + "vdev_test_" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(directory.c_str(), nullptr);
  return directory + "\\";
#else
  char path[] = "/tmp/vdev_test_XXXXXX";
  return std::string(mkdtemp(path)) + "/";
#endif
}

TEST(VirtualDeviceScriptTest, ScriptDrivesTheDeviceAndTheFilesKeepItsVerdict) {
  std::string directory = scratchDirectory();
  std::string script = directory + "virtual_device_script.txt";
  {
    std::ofstream out(script);
    out << "# one interface, a slow device\n"
           "interface \\\\?\\usb#vid_3f3a&pid_9206#x\n"
           "max_packet_size 64\n"
           "serial ABC-1\n"
           "busy get_status 1\n"
           "keep_image 1\n";
  }
  char error[256] = {};
  ASSERT_TRUE(vdev::loadScript(script.c_str(), error, sizeof error)) << error;
  vdev::setOutputDirectory(directory.c_str());

  const AdbWideChar name[] = {
      '\\', '\\', '?', '\\', 'u', 's', 'b', '#', 'v', 'i', 'd', '_', '3', 'f',
      '3',  'a',  '&', 'p',  'i', 'd', '_', '9', '2', '0', '6', '#', 'x', 0};
  void* iface = AdbCreateInterfaceByName(name);
  ASSERT_NE(iface, nullptr);
  void* out = AdbOpenDefaultBulkWriteEndpoint(iface, AdbOpenAccessTypeReadWrite,
                                              AdbOpenSharingModeReadWrite);
  ASSERT_TRUE(announceOver(iface, "7.7", 4));
  AdbULong moved = 0;
  Bytes answer(8);
  ASSERT_TRUE(AdbDefaultEndpointReadWriteSync(
      iface, 1, setup(0x81, 2, 8).data(), answer.data(), 8, &moved));
  EXPECT_EQ(answer[0], vdev::kStatusBusy);
  Bytes image = {'a', 'b', 'c', 'd'};
  ASSERT_TRUE(AdbWriteEndpointSync(out, image.data(), 4, &moved, 20000));
  std::string digest = md5Hex(image);
  ASSERT_TRUE(AdbDefaultEndpointReadWriteSync(iface, 0, setup(1, 8, 33).data(),
                                              &digest[0], 33, &moved));
  AdbCloseHandle(out);
  AdbCloseHandle(iface);

  std::string verdict = readFile(directory + "virtual_device_verdict.txt");
  EXPECT_NE(verdict.find("version=7.7\n"), std::string::npos) << verdict;
  EXPECT_NE(verdict.find("bytes_received=4\n"), std::string::npos);
  EXPECT_NE(verdict.find("md5_verified=1\n"), std::string::npos);
  EXPECT_NE(verdict.find("update_started=0\n"), std::string::npos);
  EXPECT_EQ(readFile(directory + "virtual_device_image.bin"), "abcd");
  std::string record = readFile(directory + "virtual_device_record.txt");
  EXPECT_NE(record.find("AdbDefaultEndpointReadWriteSync result=1 error=0"),
            std::string::npos);
  EXPECT_NE(record.find("setup=0001010000004000"), std::string::npos);
  EXPECT_NE(record.find("AdbWriteEndpointSync result=1 error=0"),
            std::string::npos);
  EXPECT_NE(record.find("payload=61626364"), std::string::npos);
  vdev::reset();
  for (const char* file :
       {"virtual_device_script.txt", "virtual_device_verdict.txt",
        "virtual_device_image.bin", "virtual_device_record.txt"}) {
    std::remove((directory + file).c_str());
  }
}

// Each process that plays the device starts its record afresh, unless the
// script asks to add to it: a service started again then keeps the calls of
// the one before.
TEST(VirtualDeviceScriptTest, AppendRecordKeepsTheRecordOfEarlierProcesses) {
  std::string directory = scratchDirectory();
  std::string script = directory + "virtual_device_script.txt";
  std::string record = directory + "virtual_device_record.txt";
  for (bool append : {false, true}) {
    SCOPED_TRACE(append ? "append_record 1" : "no append_record");
    { std::ofstream(record) << "1 AdbCloseHandle of an earlier process\n"; }
    {
      std::ofstream out(script);
      out << "interface pulled_device\n";
      if (append) out << "append_record 1\n";
    }
    char error[256] = {};
    ASSERT_TRUE(vdev::loadScript(script.c_str(), error, sizeof error))
        << error;
    vdev::setOutputDirectory(directory.c_str());
    const AdbWideChar name[] = {'x', 0};
    EXPECT_EQ(AdbCreateInterfaceByName(name), nullptr);
    std::string text = readFile(record);
    EXPECT_EQ(text.find("of an earlier process") != std::string::npos,
              append)
        << text;
    EXPECT_NE(text.find(" AdbCreateInterfaceByName result=0"),
              std::string::npos)
        << text;
    vdev::reset();
  }
  for (const char* file : {"virtual_device_script.txt",
                           "virtual_device_verdict.txt",
                           "virtual_device_record.txt"}) {
    std::remove((directory + file).c_str());
  }
}

TEST(VirtualDeviceScriptTest, GatedRequestGoesUnansweredWhileItsFileExists) {
  std::string directory = scratchDirectory();
  std::string script = directory + "virtual_device_script.txt";
  std::string gate = directory + "gate";
  {
    std::ofstream out(script);
    out << "gate get_sync_status " << gate << "\n";
  }
  char error[256] = {};
  ASSERT_TRUE(vdev::loadScript(script.c_str(), error, sizeof error)) << error;
  vdev::setOutputDirectory(directory.c_str());
  void* iface = AdbCreateInterfaceByName(vdev::defaultInterfaceName());
  ASSERT_TRUE(announceOver(iface, "1.0", 4));
  AdbULong moved = 0;
  Bytes answer(8);
  auto sync = [&] {
    return AdbDefaultEndpointReadWriteSync(
        iface, 1, setup(0x81, 7, 8).data(), answer.data(), 8, &moved);
  };
  std::ofstream(gate).put('x');
  EXPECT_FALSE(sync());
  EXPECT_EQ(GetLastError(), vdev::kErrorStall);
  EXPECT_TRUE(AdbDefaultEndpointReadWriteSync(  // other requests still go
      iface, 1, setup(0x81, 2, 8).data(), answer.data(), 8, &moved));
  std::remove(gate.c_str());
  EXPECT_TRUE(sync());
  EXPECT_EQ(vdev::verdict().refused_requests, 0u);
  AdbCloseHandle(iface);

  // Each line of the record names the calling thread.
  std::string record = readFile(directory + "virtual_device_record.txt");
  size_t lines = 0, with_thread = 0;
  for (size_t at = 0; (at = record.find('\n', at)) != std::string::npos;
       ++at) {
    ++lines;
  }
  for (size_t at = 0; (at = record.find(" thread=", at)) != std::string::npos;
       ++at) {
    ++with_thread;
  }
  EXPECT_EQ(lines, 6u) << record;
  EXPECT_EQ(with_thread, lines) << record;
  vdev::reset();
  for (const char* file : {"virtual_device_script.txt",
                           "virtual_device_verdict.txt",
                           "virtual_device_record.txt"}) {
    std::remove((directory + file).c_str());
  }
}

// A reset leaves nothing of a script: the default interface is back, and a
// write neither holds the loader's lock nor is cut short.
TEST(VirtualDeviceScriptTest, ResetForgetsEverythingTheScriptSet) {
  std::string script = scratchDirectory() + "virtual_device_script.txt";
  {
    std::ofstream out(script);
    out << "interface \\\\?\\usb#vid_3f3a&pid_9206#x\n"
           "hold_loader_lock 1 10\n"
           "write_limit 1\n";
  }
  char error[256] = {};
  ASSERT_TRUE(vdev::loadScript(script.c_str(), error, sizeof error)) << error;
  std::remove(script.c_str());
  vdev::reset();

  void* iface = AdbCreateInterfaceByName(vdev::defaultInterfaceName());
  ASSERT_NE(iface, nullptr);
  void* out = AdbOpenDefaultBulkWriteEndpoint(iface, AdbOpenAccessTypeReadWrite,
                                              AdbOpenSharingModeReadWrite);
  ASSERT_TRUE(announceOver(iface, "1.0", 4));
  AdbULong moved = 0;
  Bytes image = {'a', 'b', 'c', 'd'};
  EXPECT_TRUE(AdbWriteEndpointSync(out, image.data(), 4, &moved, 20000))
      << GetLastError();
  EXPECT_EQ(moved, 4u);
  EXPECT_FALSE(vdev::verdict().held);
  EXPECT_EQ(vdev::verdict().bytes_received, 4u);
  AdbCloseHandle(out);
  AdbCloseHandle(iface);
  vdev::reset();
}

void setDirectoryVariable(const std::string& directory) {
#ifdef _WIN32
  _putenv_s("VELUNOR_VIRTUAL_DEVICE_DIR", directory.c_str());
#else
  setenv("VELUNOR_VIRTUAL_DEVICE_DIR", directory.c_str(), 1);
#endif
}

// As in a process of its own: the first call finds the script in the folder
// the variable names, and the verdict lands beside it.
TEST(VirtualDeviceScriptTest, FirstCallFindsTheScriptOfTheNamedFolder) {
  std::string directory = scratchDirectory();
  {
    std::ofstream out(directory + "virtual_device_script.txt");
    out << "interface only_this_one\nbad_key 1\n";
  }
  setDirectoryVariable(directory);
  vdev::lookForScript();
  void* enumeration = AdbEnumInterfaces(kClass, true, true, true);
  uint8_t entry[2048];
  AdbULong size = sizeof entry;
  EXPECT_FALSE(AdbNextInterface(enumeration, entry, &size));
  AdbCloseHandle(enumeration);
  std::string verdict = readFile(directory + "virtual_device_verdict.txt");
  EXPECT_NE(verdict.find("script_error=line 2: cannot use \"bad_key\""),
            std::string::npos)
      << verdict;

  {
    std::ofstream out(directory + "virtual_device_script.txt");
    out << "interface only_this_one\n";
  }
  vdev::lookForScript();
  enumeration = AdbEnumInterfaces(kClass, true, true, true);
  size = sizeof entry;
  EXPECT_TRUE(AdbNextInterface(enumeration, entry, &size));
  EXPECT_EQ(entry[20], 'o');
  AdbCloseHandle(enumeration);
  std::string record = readFile(directory + "virtual_device_record.txt");
  EXPECT_EQ(record.find("1 AdbEnumInterfaces result=1"), 0u) << record;
  setDirectoryVariable("");
  vdev::reset();
  for (const char* file :
       {"virtual_device_script.txt", "virtual_device_verdict.txt",
        "virtual_device_record.txt"}) {
    std::remove((directory + file).c_str());
  }
}

// A held request waits, and says so in the verdict file, until the release
// file appears; then it is answered as usual.
TEST(VirtualDeviceScriptTest, HeldRequestWaitsForTheReleaseFile) {
  std::string directory = scratchDirectory();
  std::string script = directory + "virtual_device_script.txt";
  std::string release = directory + "virtual_device_release.txt";
  std::remove(release.c_str());
  {
    std::ofstream out(script);
    out << "interface held_device\nhold get_sync_status 2\n";
  }
  char error[256] = {};
  ASSERT_TRUE(vdev::loadScript(script.c_str(), error, sizeof error)) << error;
  vdev::setOutputDirectory(directory.c_str());
  const AdbWideChar name[] = {'h', 'e', 'l', 'd', '_', 'd',
                              'e', 'v', 'i', 'c', 'e', 0};
  void* iface = AdbCreateInterfaceByName(name);
  ASSERT_NE(iface, nullptr);
  ASSERT_TRUE(announceOver(iface, "1.0", 4));
  AdbULong moved = 0;
  Bytes answer(8);
  ASSERT_TRUE(AdbDefaultEndpointReadWriteSync(
      iface, 1, setup(0x81, 7, 8).data(), answer.data(), 8, &moved));
  EXPECT_NE(readFile(directory + "virtual_device_verdict.txt").find("held=0\n"),
            std::string::npos);

  std::atomic<bool> answered{false};
  std::thread second([&] {
    Bytes held(8);
    AdbULong count = 0;
    EXPECT_TRUE(AdbDefaultEndpointReadWriteSync(
        iface, 1, setup(0x81, 7, 8).data(), held.data(), 8, &count));
    EXPECT_EQ(count, 8u);
    EXPECT_EQ(held[0], vdev::kStatusOk);
    answered = true;
  });
  bool held = false;
  for (int poll = 0; poll < 600 && !held; ++poll) {
    held =
        readFile(directory + "virtual_device_verdict.txt").find("held=1\n") !=
        std::string::npos;
    if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(held);
  EXPECT_FALSE(answered);
  { std::ofstream out(release); }
  second.join();
  EXPECT_TRUE(answered);
  EXPECT_NE(readFile(directory + "virtual_device_verdict.txt").find("held=0\n"),
            std::string::npos);
  AdbCloseHandle(iface);
  vdev::reset();
  for (const char* file :
       {"virtual_device_script.txt", "virtual_device_verdict.txt",
        "virtual_device_record.txt", "virtual_device_release.txt"}) {
    std::remove((directory + file).c_str());
  }
}

// Another process pulls the running device: the pull file's line counts
// from the moment the device sees it, the pulled device fails every call
// and leaves the listing, and the replug file brings it back.
TEST(VirtualDeviceScriptTest, PullFileArmsAPullFromNowAndReplugUndoesIt) {
  std::string directory = scratchDirectory();
  std::string script = directory + "virtual_device_script.txt";
  std::string pull = directory + "virtual_device_pull.txt";
  { std::ofstream(script) << "interface pulled_device\n"; }
  char error[256] = {};
  ASSERT_TRUE(vdev::loadScript(script.c_str(), error, sizeof error)) << error;
  vdev::setOutputDirectory(directory.c_str());
  const AdbWideChar name[] = {'p', 'u', 'l', 'l', 'e', 'd', '_',
                              'd', 'e', 'v', 'i', 'c', 'e', 0};
  void* iface = AdbCreateInterfaceByName(name);
  ASSERT_NE(iface, nullptr);
  void* out = AdbOpenDefaultBulkWriteEndpoint(iface, AdbOpenAccessTypeReadWrite,
                                              AdbOpenSharingModeReadWrite);
  ASSERT_TRUE(announceOver(iface, "1.0", 16));
  AdbULong moved = 0;
  Bytes data(4, 'x');
  auto write = [&] {
    return AdbWriteEndpointSync(out, data.data(), 4, &moved, 20000);
  };
  auto listed = [] {
    void* enumeration = AdbEnumInterfaces(kClass, true, true, true);
    uint8_t entry[2048];
    AdbULong size = sizeof entry;
    bool found = AdbNextInterface(enumeration, entry, &size);
    AdbCloseHandle(enumeration);
    return found;
  };
  auto verdict = [&] {
    return readFile(directory + "virtual_device_verdict.txt");
  };
  ASSERT_TRUE(write());

  { std::ofstream(pull) << "pull nowhere 1\n"; }
  EXPECT_TRUE(write());
  EXPECT_NE(verdict().find("script_error=pull file: cannot use \"pull nowhere "
                           "1\"\n"),
            std::string::npos)
      << verdict();

  { std::ofstream(pull) << "pull write 2\n"; }
  EXPECT_TRUE(write());  // the first write from now
  EXPECT_FALSE(std::ifstream(pull).good());
  EXPECT_FALSE(write());
  EXPECT_EQ(GetLastError(), vdev::kErrorPulled);
  Bytes answer(8);
  EXPECT_FALSE(AdbDefaultEndpointReadWriteSync(
      iface, 1, setup(0x81, 2, 8).data(), answer.data(), 8, &moved));
  EXPECT_EQ(GetLastError(), vdev::kErrorPulled);
  EXPECT_FALSE(listed());
  EXPECT_NE(verdict().find("unplugged=1\n"), std::string::npos) << verdict();

  { std::ofstream(directory + "virtual_device_replug.txt"); }
  EXPECT_TRUE(listed());
  EXPECT_TRUE(AdbDefaultEndpointReadWriteSync(
      iface, 1, setup(0x81, 2, 8).data(), answer.data(), 8, &moved));
  AdbCloseHandle(out);
  AdbCloseHandle(iface);
  vdev::reset();
  for (const char* file :
       {"virtual_device_script.txt", "virtual_device_verdict.txt",
        "virtual_device_record.txt", "virtual_device_replug.txt",
        "virtual_device_pull.txt"}) {
    std::remove((directory + file).c_str());
  }
}

TEST(VirtualDeviceScriptTest, BadLineIsReported) {
  std::string directory = scratchDirectory();
  std::string script = directory + "bad_script.txt";
  {
    std::ofstream out(script);
    out << "max_packet_size 512\nfly_to_the_moon 1\n";
  }
  char error[256] = {};
  EXPECT_FALSE(vdev::loadScript(script.c_str(), error, sizeof error));
  EXPECT_STREQ(error, "line 2: cannot use \"fly_to_the_moon\"");
  std::remove(script.c_str());
  vdev::reset();
}

// A device that resets before it answers the start request: the update has
// started, the device is no longer listed, and the request fails with
// 1167 after the scripted time. Scripted in the process or by the line.
TEST_F(VirtualDeviceTest, RestartBeforeAnsweringFailsTheStartRequest) {
  for (bool byScript : {false, true}) {
    SCOPED_TRACE(byScript ? "script line" : "in the process");
    SetUp();
    if (byScript) {
      std::string script = scratchDirectory() + "virtual_device_script.txt";
      { std::ofstream(script) << "restart_on_start 600000 unanswered 50\n"; }
      char error[256] = {};
      ASSERT_TRUE(vdev::loadScript(script.c_str(), error, sizeof error))
          << error;
      // The script begins a fresh device: its handles are new.
      iface_ = AdbCreateInterfaceByName(vdev::defaultInterfaceName());
      write_ = AdbOpenDefaultBulkWriteEndpoint(
          iface_, AdbOpenAccessTypeReadWrite, AdbOpenSharingModeReadWrite);
    } else {
      vdev::restartBeforeAnswering(600000, 50);
    }
    Bytes image(100, 7);
    ASSERT_TRUE(announce(100, "2.0"));
    ASSERT_TRUE(write(image));
    ASSERT_TRUE(sendDigest(md5Hex(image)));
    Bytes stamp = startStamp();
    EXPECT_FALSE(control(setup(0x01, 9, 20), 0, stamp.data(), 20));
    EXPECT_EQ(GetLastError(), vdev::kErrorPulled);
    vdev::Verdict v = vdev::verdict();
    EXPECT_TRUE(v.update_started);
    EXPECT_EQ(v.starts, 1u);
    EXPECT_STREQ(v.firmware, "2.0");
    EXPECT_TRUE(v.unplugged);
    void* enumeration = AdbEnumInterfaces(kClass, true, true, true);
    uint8_t entry[2048];
    AdbULong size = sizeof entry;
    EXPECT_FALSE(AdbNextInterface(enumeration, entry, &size));
    AdbCloseHandle(enumeration);
    EXPECT_EQ(vdev::calls(vdev::Call::kDefaultEndpointReadWriteSync)
                  .back()
                  .error,
              vdev::kErrorPulled);
  }
}

}  // namespace
