// The service, the real upgrade library and the virtual device pulled like
// real hardware: the running call fails at once and the removal's broadcast
// comes before or after the library has returned. What the upgrade did to
// the device, as the library tells it, decides what the service does; the
// broadcast's timing does not.
// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "common/upgrade_contract.h"
#include "service/outcome_record.h"
#include "service/present_devices.h"
#include "service/service_context.h"
#include "service/service_runtime.h"
#include "service/upgrade_worker.h"
#include "testing/event_recorder.h"
#include "testing/service/present_devices_double.h"
#include "testing/service/service_test_support.h"
#include "testing/virtual_clock.h"
#include "testing/virtual_device/virtual_device.h"

namespace {

using Strings = std::vector<std::string>;
using vdev::Call;

// The default interface of the virtual device, as its arrival announces it.
const wchar_t kDevicePath[] =
    L"\\\\?\\USB#VID_3F3A&PID_9206#VLNR-SN-000123#"
    L"{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}";
const wchar_t kImagePath[] = L"C:\\windows\\system32\\drivers\\vlnr_pull.img";
constexpr char kImageName[] = "vlnr_pull.img";
// Three 16 KiB writes and a short one.
constexpr size_t kImageBytes = 40000;

constexpr char kWentAway[] =
    "device went away before the update started, service kept";
constexpr char kGoneAfterSettle[] =
    "device is gone after the settle wait, ignore device arrival";

enum class Broadcast { kBeforeReturn, kAfterReturn };

// Sends the removal's broadcast at the library's first call after the pull,
// so that the library is still in the upgrade: the device holds that call
// until the service has handled the broadcast.
struct BroadcastHook {
  ServiceContext* context = nullptr;
  bool armed = false;
  bool sent = false;
  bool stopToo = false;  // a stop control follows the broadcast

  static vdev::Fate fate(void* self, Call, uint32_t*) {
    auto* hook = static_cast<BroadcastHook*>(self);
    if (hook->armed && !hook->sent && vdev::verdict().unplugged) {
      hook->sent = true;
      hook->send();
    }
    return vdev::Fate::kAnswer;
  }

  void send() {
    std::vector<BYTE> broadcast = deviceBroadcast(kDevicePath);
    ServiceCtrlHandlerEx(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE,
                         broadcast.data(), context);
    if (stopToo) ServiceCtrlHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, context);
  }
};

// The service as started, with the library and the device in place.
class DevicePullTest : public ::testing::Test {
 protected:
  void SetUp() override {
    removeServiceRegistration();
    removeUpgradeLibrary();
    ASSERT_TRUE(registerServiceForTest(programPath()));
    ASSERT_TRUE(placeUpgradeLibrary(L"velunorUpdateExport.dll"));
    library_ = LoadLibraryW(kUpgradeLibraryPath);
    ASSERT_NE(library_, nullptr);
    // The library's 300000 ms retry and 200 ms polls pass in virtual time.
    clock_.watchModule(library_);
    vdev::reset();
    context_ = newServiceContext();
    context_->statusHandle = manager_.statusHandle;
    context_->deviceNotify = manager_.deviceNotify;
    hook_.context = context_;
    source_.context = &hook_;
    source_.fate = &BroadcastHook::fate;
    present_.paths = {kDevicePath};
  }

  void TearDown() override {
    vdev::setAnswerSource(nullptr);
    endWorker();
    DeleteFileW(kImagePath);
    removeServiceRegistration();
  }

  void settings(uint8_t bForce) {
    settings_.all(kImageName, bForce, 1, "V2.0");
    writeFile(kImagePath, std::string(kImageBytes, 'P'));
  }

  // The upgrade the arrival starts, with the broadcast of the pull sent as
  // `broadcast` says; returns the worker's exit code.
  DWORD upgradeAndPull(Broadcast broadcast) {
    hook_.armed = broadcast == Broadcast::kBeforeReturn;
    vdev::setAnswerSource(&source_);
    EXPECT_EQ(arrive(), DWORD{kControlHandled});
    DWORD code = endWorker();
    vdev::setAnswerSource(nullptr);
    if (broadcast == Broadcast::kAfterReturn) hook_.send();
    return code;
  }

  // The device's arrival as broadcast: its settle wait, the service's look
  // at the present devices, then the procedure.
  DWORD arrive() {
    std::vector<BYTE> broadcast = deviceBroadcast(kDevicePath);
    EXPECT_EQ(ServiceCtrlHandlerEx(SERVICE_CONTROL_DEVICEEVENT,
                                   DBT_DEVICEARRIVAL, broadcast.data(),
                                   context_),
              DWORD{kControlHandled});
    return arrivalOutcome(context_->arrivalThread);
  }

  DWORD endWorker() {
    DWORD code = 0;
    if (context_ == nullptr || context_->workerThread == nullptr) return code;
    EXPECT_EQ(WaitForSingleObject(context_->workerThread, 60000),
              WAIT_OBJECT_0);
    GetExitCodeThread(context_->workerThread, &code);
    return code;
  }

  // The next arrival of the device, which is there with what it runs.
  void arriveAgain() {
    recorder_.clear();
    present_.paths = {kDevicePath};
    arrive();
    endWorker();
  }

  bool serviceStopped() const {
    std::vector<DWORD> states = manager_.states();
    return !states.empty() && states.back() == SERVICE_STOPPED;
  }

  bool reported(const char* text) const {
    Strings trail = recorder_.texts();
    return std::find(trail.begin(), trail.end(), text) != trail.end();
  }

  EventRecorder recorder_;
  VirtualClock clock_;
  ServiceManagerDouble manager_;
  FamilySettings settings_{L"ZR700"};
  ServiceContext* context_ = nullptr;
  HMODULE library_ = nullptr;
  BroadcastHook hook_;
  vdev::AnswerSource source_;
  PresentDevicesDouble present_;
};

const char* nameOf(Broadcast broadcast) {
  return broadcast == Broadcast::kBeforeReturn ? "BroadcastBeforeReturn"
                                               : "BroadcastAfterReturn";
}

// Where the device goes: during the arrival's settle wait (no longer listed
// when the service looks after the wait), at the nth request of a code (0: the nth bulk
// write), or, refused first, during the 300000 ms wait before the retry
// (seen by the library at the retry), or on the start request, which it
// accepts before it restarts.
struct PullPoint {
  const char* name;
  uint16_t request;
  uint32_t nth;
  bool inRetryWait;
  bool afterStart;
  bool inSettleWait = false;
};

const PullPoint kPullPoints[] = {
    {"SettleWait", 0, 0, false, false, true},
    {"Announce", vdev::kRequestSetDownloadInfo, 1, false, false},
    {"Write", 0, 2, false, false},
    {"Sync", vdev::kRequestGetSyncStatus, 1, false, false},
    {"IntegrityCheck", vdev::kRequestSetMd5Sum, 1, false, false},
    {"RetryWait", vdev::kRequestGetStatus, 1, true, false},
    {"RightAfterTheStart", 0, 0, false, true},
};

void pullAt(const PullPoint& point, PresentDevicesDouble* present) {
  if (point.inSettleWait) {
    vdev::unplug();
    present->paths.clear();
    return;
  }
  if (point.afterStart) {
    // Gone for longer than the upgrade takes to end.
    vdev::restartOnStart(600000, 0);
    return;
  }
  // The announcement's status read is refused first: the retry finds the
  // device gone.
  if (point.inRetryWait) {
    vdev::failCall(Call::kDefaultEndpointReadWriteSync, 2, vdev::kErrorStall);
  }
  vdev::pullAt(point.request, point.nth, 0);
}

class PullPointTest
    : public DevicePullTest,
      public testing::WithParamInterface<std::tuple<PullPoint, Broadcast>> {};

// Before the start request the device went away with nothing changed: the
// image and the service stay, and the next arrival upgrades it. After it the
// device is restarting into what it was sent: the upgrade counts as
// finished, once, and the next arrival finds the service gone.
TEST_P(PullPointTest, TheLibrarysResultDecidesNotTheBroadcastsTiming) {
  const PullPoint& point = std::get<0>(GetParam());
  settings(0);
  pullAt(point, &present_);

  DWORD code = upgradeAndPull(std::get<1>(GetParam()));

  EXPECT_TRUE(vdev::verdict().unplugged);
  EXPECT_TRUE(fileExists(kImagePath));
  if (point.inSettleWait) {
    // The service itself sees it gone: the library is never asked.
    EXPECT_EQ(context_->workerThread, nullptr);
    EXPECT_EQ(vdev::callCount(), 0u);
    EXPECT_TRUE(reported(kGoneAfterSettle));
    EXPECT_FALSE(reported(kWentAway));
  } else {
    EXPECT_FALSE(reported(kGoneAfterSettle));
  }
  if (point.afterStart) {
    EXPECT_EQ(code, DWORD{kWorkerStartUnconfirmed});
    EXPECT_TRUE(reported("device was told to start the update and restarted "
                         "before it confirmed, not sent again"));
    EXPECT_TRUE(serviceStopped());
    EXPECT_FALSE(serviceRegistered());
    vdev::reset();
    arriveAgain();
    EXPECT_EQ(recorder_.texts(),
              Strings{"service is stopped, ignore device arrival"});
    EXPECT_EQ(vdev::callCount(), 0u);
    return;
  }
  if (!point.inSettleWait) {
    EXPECT_EQ(code, DWORD{kWorkerDeviceWentAway});
    EXPECT_TRUE(reported(kWentAway));
  }
  EXPECT_FALSE(vdev::verdict().update_started);
  EXPECT_TRUE(manager_.states().empty());
  EXPECT_TRUE(manager_.unregistered().empty());
  EXPECT_TRUE(serviceRegistered());

  vdev::reset();
  arriveAgain();

  EXPECT_TRUE(vdev::verdict().md5_verified);
  EXPECT_EQ(vdev::verdict().starts, 1u);
  EXPECT_FALSE(fileExists(kImagePath));
  EXPECT_TRUE(serviceStopped());
  EXPECT_FALSE(serviceRegistered());
}

INSTANTIATE_TEST_SUITE_P(
    Pulls, PullPointTest,
    testing::Combine(testing::ValuesIn(kPullPoints),
                     testing::Values(Broadcast::kBeforeReturn,
                                     Broadcast::kAfterReturn)),
    [](const testing::TestParamInfo<PullPointTest::ParamType>& info) {
      return std::string(std::get<0>(info.param).name) +
             nameOf(std::get<1>(info.param));
    });

// How a device restarts on the start request: gone until the upgrade has
// ended, or back at once, its first request failing only after a while.
struct RestartCase {
  const char* name;
  uint32_t downMs;
  uint32_t firstFailMs;
};

const RestartCase kRestarts[] = {
    {"GoneMeanwhile", 600000, 0},
    {"BackBeforeTheRetry", 0, 500},
};

class RestartTest : public DevicePullTest,
                    public testing::WithParamInterface<
                        std::tuple<RestartCase, Broadcast, uint8_t>> {};

// It is sent the image once, whenever the broadcast comes, forced or not,
// also when it is back with its new firmware before the library is done
// with it.
TEST_P(RestartTest, ADeviceRestartingOnTheStartIsSentTheImageOnce) {
  const RestartCase& restart = std::get<0>(GetParam());
  settings(std::get<2>(GetParam()));
  vdev::restartOnStart(restart.downMs, restart.firstFailMs);

  upgradeAndPull(std::get<1>(GetParam()));
  // Back, it is announced again.
  arriveAgain();

  EXPECT_EQ(vdev::verdict().starts, 1u);
  EXPECT_EQ(vdev::verdict().announcements, 1u);
  EXPECT_EQ(recorder_.texts(),
            Strings{"service is stopped, ignore device arrival"});
  EXPECT_TRUE(serviceStopped());
  EXPECT_FALSE(serviceRegistered());
}

INSTANTIATE_TEST_SUITE_P(
    Restarts, RestartTest,
    testing::Combine(testing::ValuesIn(kRestarts),
                     testing::Values(Broadcast::kBeforeReturn,
                                     Broadcast::kAfterReturn),
                     testing::Values(uint8_t{0}, uint8_t{1})),
    [](const testing::TestParamInfo<RestartTest::ParamType>& info) {
      return std::string(std::get<0>(info.param).name) +
             nameOf(std::get<1>(info.param)) + "Force" +
             std::to_string(std::get<2>(info.param));
    });

// --- Where the device goes, and how the try ends ---

enum class Where {
  kBeforeTheData,
  kDataPhase,
  kDigestCheck,
  kStartUnanswered,  // it takes the start request and resets before answering
  kStartAccepted,    // it answers the start request, then restarts
  kConfirmed,        // it confirmed the start; pulled once the library is done
};

enum class Ending {
  kNothing,
  kStop,        // a stop control as the device goes
  kKill,        // the worker killed inside the library: the killer records
  kProcessEnd,  // a crash or power cut inside the library
};

struct CrossingCase {
  const char* name;
  Where where;
};

const CrossingCase kCrossings[] = {
    {"BeforeTheData", Where::kBeforeTheData},
    {"DataPhase", Where::kDataPhase},
    {"DigestCheck", Where::kDigestCheck},
    {"StartUnanswered", Where::kStartUnanswered},
    {"StartAccepted", Where::kStartAccepted},
    {"Confirmed", Where::kConfirmed},
};

const char* nameOf(Ending ending) {
  switch (ending) {
    case Ending::kNothing:
      return "";
    case Ending::kStop:
      return "Stop";
    case Ending::kKill:
      return "Kill";
    case Ending::kProcessEnd:
      return "ProcessEnd";
  }
  return "";
}

// The reset before the answer is the virtual device's newest behaviour:
// found by its name, so that this table runs wherever the device has it.
using RestartBeforeAnswering = void (*)(uint32_t downMs, uint32_t failMs);
RestartBeforeAnswering restartBeforeAnswering() {
  HMODULE device = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&vdev::reset), &device);
  return reinterpret_cast<RestartBeforeAnswering>(reinterpret_cast<void*>(
      GetProcAddress(device, "_ZN4vdev22restartBeforeAnsweringEjj")));
}

const wchar_t kRecordKey[] = L"Software\\VelunorUpdate\\ZR700\\Outcome";
const wchar_t kEntryKey[] =
    L"Software\\VelunorUpdate\\ZR700\\Outcome\\Devices\\"
    L"vid_3f3a&pid_9206#vlnr-sn-000123";

std::wstring textOf(const wchar_t* key, const wchar_t* name) {
  wchar_t text[128] = {};
  DWORD size = sizeof text - sizeof(wchar_t);
  RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, text,
               &size);
  return text;
}

// A key's `state` set again, its `result` gone.
void setStateOnly(const wchar_t* path, const wchar_t* state) {
  HKEY key = nullptr;
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_SET_VALUE, &key);
  RegDeleteValueW(key, L"result");
  RegSetValueExW(key, L"state", 0, REG_SZ, reinterpret_cast<const BYTE*>(state),
                 static_cast<DWORD>((wcslen(state) + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

// What a process that ended inside the library leaves on disk: the record as
// written before the library was called, and the device's entry as the start
// notice wrote it, if it came; the image and the registration as they were.
void leaveAsAtTheEnd(bool crossed) {
  setStateOnly(kRecordKey, L"upgrading");
  if (crossed) {
    setStateOnly(kEntryKey, L"starting");
  } else {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEntryKey);
  }
}

class CrossingTest : public DevicePullTest,
                     public testing::WithParamInterface<
                         std::tuple<CrossingCase, Broadcast, Ending>> {
 protected:
  // The service's next start: a fresh run resolves the record, waits its
  // settle time, and serves the device that is there.
  void startAgain() {
    recorder_.clear();
    vdev::reset();
    present_.paths = {kDevicePath};
    ServiceContext* next = newServiceContext();
    next->statusHandle = manager_.statusHandle;
    next->deviceNotify = manager_.deviceNotify;
    startPresentDeviceScan(next);
    ASSERT_NE(next->scanThread, nullptr);
    ASSERT_EQ(WaitForSingleObject(next->scanThread, 60000), WAIT_OBJECT_0);
    if (next->workerThread != nullptr) {
      ASSERT_EQ(WaitForSingleObject(next->workerThread, 60000),
                WAIT_OBJECT_0);
    }
  }
};

// Wherever the device goes, however the try ends, it receives one start
// request for the image in all: a device that went before the line is
// upgraded at the service's next start; one that crossed it is "started"
// (or "upgraded" once it confirmed) and is never sent the image again.
TEST_P(CrossingTest, EachDeviceTakesTheImageOnce) {
  const Where where = std::get<0>(GetParam()).where;
  const Broadcast broadcast = std::get<1>(GetParam());
  const Ending ending = std::get<2>(GetParam());
  const bool crossed = where >= Where::kStartUnanswered;
  settings(0);
  switch (where) {
    case Where::kBeforeTheData:
      vdev::pullAt(vdev::kRequestSetDownloadInfo, 1, 0);
      break;
    case Where::kDataPhase:
      vdev::pullAt(0, 2, 0);
      break;
    case Where::kDigestCheck:
      vdev::pullAt(vdev::kRequestSetMd5Sum, 1, 0);
      break;
    case Where::kStartUnanswered:
      if (restartBeforeAnswering() == nullptr) {
        GTEST_SKIP() << "the virtual device cannot reset before it answers";
      }
      restartBeforeAnswering()(600000, 3000);
      break;
    case Where::kStartAccepted:
      vdev::restartOnStart(600000, 0);
      break;
    case Where::kConfirmed:
      break;
  }
  hook_.stopToo = ending == Ending::kStop;

  upgradeAndPull(broadcast);
  if (where == Where::kConfirmed) vdev::unplug();
  // A device that never went during the call is stopped after it.
  if (ending == Ending::kStop && broadcast == Broadcast::kBeforeReturn &&
      !hook_.sent) {
    ServiceCtrlHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, context_);
  }
  uint32_t starts = vdev::verdict().starts;
  if (ending == Ending::kKill || ending == Ending::kProcessEnd) {
    leaveAsAtTheEnd(crossed);
    if (!serviceRegistered()) {
      ASSERT_TRUE(registerServiceForTest(programPath()));
    }
    writeFile(kImagePath, std::string(kImageBytes, 'P'));
    // The killer records what it knows.
    if (ending == Ending::kKill) {
      recordKilledUpgrade(L"Software\\VelunorUpdate\\ZR700");
    }
  }
  if (serviceRegistered()) {
    startAgain();
    starts += vdev::verdict().starts;
  }

  EXPECT_EQ(starts, 1u);
  const bool interrupted =
      ending == Ending::kKill || ending == Ending::kProcessEnd;
  const wchar_t* state = !crossed ? kStateUpgraded
                         : where == Where::kConfirmed && !interrupted
                             ? kStateUpgraded
                             : kStateStarted;
  EXPECT_EQ(textOf(kRecordKey, L"state"), state);
  EXPECT_EQ(textOf(kEntryKey, L"state"), state);
  EXPECT_FALSE(serviceRegistered());
  // Only a confirmed upgrade deletes the image.
  EXPECT_EQ(fileExists(kImagePath), std::wstring(state) != kStateUpgraded);
}

INSTANTIATE_TEST_SUITE_P(
    Crossings, CrossingTest,
    testing::Combine(testing::ValuesIn(kCrossings),
                     testing::Values(Broadcast::kBeforeReturn,
                                     Broadcast::kAfterReturn),
                     testing::Values(Ending::kNothing, Ending::kStop,
                                     Ending::kKill, Ending::kProcessEnd)),
    [](const testing::TestParamInfo<CrossingTest::ParamType>& info) {
      return std::string(std::get<0>(info.param).name) +
             nameOf(std::get<1>(info.param)) +
             nameOf(std::get<2>(info.param));
    });

}  // namespace
