// Sleep and shutdown while the service works on a device, through the
// control handler: a suspend, a preshutdown and a plain shutdown in the
// settle wait, in the data phase and after the start request went out (the
// device back or not); the resume's look for present devices; and the
// execution state that keeps the PC awake, set at the try's start and
// cleared on every path out.
#include "service/power_events.h"

// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/upgrade_contract.h"
#include "service/awake_hold.h"
#include "service/service_context.h"
#include "service/service_status.h"
#include "service/upgrade_worker.h"
#include "testing/event_recorder.h"
#include "testing/import_patch.h"
#include "testing/service/kill_end_watch.h"
#include "testing/service/service_control_fixture.h"
#include "testing/service/service_test_support.h"
#include "testing/service/upgrade_library_stub.h"

namespace {

constexpr DWORD kSuspend = 0x10000 | PBT_APMSUSPEND;  // a power event
constexpr DWORD kKeepAwake = ES_SYSTEM_REQUIRED | ES_CONTINUOUS;

// What a control is, as the dispatcher hands it over.
struct Control {
  DWORD code;
  DWORD eventType;
};
Control controlOf(DWORD which) {
  if (which == kSuspend) return {SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND};
  return {which, 0};
}

// The family's outcome record: its state and result ("" and -1 without).
struct RecordState {
  std::wstring state;
  int32_t result;
};
RecordState readRecordState() {
  const wchar_t key[] = L"Software\\VelunorUpdate\\ZR700\\Outcome";
  wchar_t state[64] = {};
  DWORD size = sizeof state;
  RecordState read{L"", -1};
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, L"state", RRF_RT_REG_SZ, nullptr,
                   state, &size) == ERROR_SUCCESS) {
    read.state = state;
  }
  DWORD result = 0;
  size = sizeof result;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, L"result", RRF_RT_REG_DWORD,
                   nullptr, &result, &size) == ERROR_SUCCESS) {
    read.result = static_cast<int32_t>(result);
  }
  return read;
}

class PowerEventsTest : public ServiceControlTest {
 protected:
  // A service as started anew, with an upgrade held inside the library
  // (its record "upgrading"): the last one let go and its stub unloaded.
  void startHeldUpgrade() {
    placeStub(L"velunor_upgrade_stub.dll");
    stubFunction<StubSetResult>("stubSetResult")(kUpgradeSucceeded);
    ASSERT_EQ(arrive(kZr700Path), 0u);
    ASSERT_TRUE(stubFunction<StubWaitEntered>("stubWaitEntered")(60000));
  }

  void placeStub(const wchar_t* library) {
    if (stub_ != nullptr) stubFunction<StubRelease>("stubRelease")();
    renewContext();
    removeUpgradeLibrary();
    stub_ = nullptr;
    ASSERT_TRUE(placeUpgradeLibrary(library));
    stub_ = LoadLibraryW(kUpgradeLibraryPath);
    ASSERT_NE(stub_, nullptr);
    stubFunction<StubHoldCalls>("stubHoldCalls")();
  }

  int cancels() { return stubFunction<StubCancelCount>("stubCancelCount")(); }
  int libraryCalls() {
    return stubFunction<StubLastCall>("stubLastCall")()->calls;
  }

  // The arrival of the device once more: what it came to, with its events.
  Strings arrivalTrail() {
    recorder_.clear();
    arrive(kZr700Path);
    return recorder_.texts();
  }

  // The STOP_PENDING reports from `first` on: each with a wait hint, their
  // checkpoints rising from 1; the last report is STOPPED.
  void expectStopReports(size_t first) {
    std::vector<StatusReport> reports = manager_.statusReports();
    ASSERT_GT(reports.size(), first + 1);
    EXPECT_EQ(reports.back().status.dwCurrentState, DWORD{SERVICE_STOPPED});
    DWORD checkPoint = 0;
    // stopService's own STOP_PENDING before STOPPED carries no checkpoint.
    for (size_t i = first; i + 2 < reports.size(); ++i) {
      const SERVICE_STATUS& status = reports[i].status;
      EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOP_PENDING});
      EXPECT_EQ(status.dwCheckPoint, checkPoint + 1);
      EXPECT_EQ(status.dwWaitHint, 2000u);
      checkPoint = status.dwCheckPoint;
    }
  }
};

// In real time: a control during an arrival's settle wait ends the wait,
// and no worker starts. A suspend leaves the service running (the resume
// looks for the device again); a preshutdown with nothing to wait for and a
// shutdown stop it as a stop does.
TEST(PowerSettleTest, AControlDuringTheSettleWaitStartsNothing) {
  struct SettleCase {
    DWORD control;
    Strings trail;  // sorted: the arrival reports from its own thread
    std::vector<DWORD> states;
  };
  const SettleCase cases[] = {
      {kSuspend, {"system is suspended, ignore device arrival"}, {}},
      {SERVICE_CONTROL_PRESHUTDOWN,
       {"service control stop success",
        "service is stopped, ignore device arrival"},
       {SERVICE_STOP_PENDING, SERVICE_STOPPED}},
      {SERVICE_CONTROL_SHUTDOWN,
       {"service control stop success",
        "service is stopped, ignore device arrival"},
       {SERVICE_STOP_PENDING, SERVICE_STOPPED}},
  };
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  for (const SettleCase& c : cases) {
    SCOPED_TRACE(c.control);
    EventRecorder recorder;
    ServiceManagerDouble manager;
    ServiceContext* context = newServiceContext();
    context->statusHandle = manager.statusHandle;
    context->deviceNotify = manager.deviceNotify;
    std::vector<BYTE> broadcast = deviceBroadcast(kZr700Path);
    auto began = std::chrono::steady_clock::now();

    ServiceCtrlHandlerEx(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL,
                         broadcast.data(), context);
    Control control = controlOf(c.control);
    EXPECT_EQ(ServiceCtrlHandlerEx(control.code, control.eventType, nullptr,
                                   context),
              DWORD{kControlHandled});
    EXPECT_EQ(arrivalOutcome(context->arrivalThread), DWORD{kControlHandled});

    // Far below the settle time, however busy the machine.
    EXPECT_LT(std::chrono::steady_clock::now() - began,
              std::chrono::seconds(10));
    Strings texts = recorder.texts();
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts, c.trail);
    EXPECT_EQ(manager.states(), c.states);
    EXPECT_EQ(context->workerThread, nullptr);
  }
}

// In the data phase the try is undone through the library's cancel export,
// as a removal does: the worker ends with "went away before the update
// started", the image and the service stay. A suspend leaves the service
// running; a preshutdown and a shutdown report stop pending with a rising
// checkpoint, then stopped. Nothing starts after them.
TEST_F(PowerEventsTest, BeforeTheStartRequestTheTryIsCancelledAndNotDone) {
  struct CancelCase {
    DWORD control;
    Strings trail;
    bool stops;
    const char* afterwards;  // what an arrival then comes to
  };
  const CancelCase cases[] = {
      {kSuspend,
       {"system is suspending, cancel upgrade",
        "update thread is exist, cancel upgrade",
        "device went away before the update started, service kept"},
       false,
       "system is suspended, ignore device arrival"},
      {SERVICE_CONTROL_PRESHUTDOWN,
       {"system is shutting down, cancel upgrade",
        "update thread is exist, cancel upgrade",
        "device went away before the update started, service kept",
        "service control stop success"},
       true,
       "service is stopped, ignore device arrival"},
      {SERVICE_CONTROL_SHUTDOWN,
       {"update thread is exist, cancel upgrade",
        "device went away before the update started, service kept",
        "service control stop success"},
       true,
       "service is stopped, ignore device arrival"},
  };
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  for (const CancelCase& c : cases) {
    SCOPED_TRACE(c.control);
    startHeldUpgrade();
    recorder_.clear();
    size_t reportsBefore = manager_.statusReports().size();
    Control control = controlOf(c.control);

    EXPECT_EQ(this->control(control.code, control.eventType),
              DWORD{kControlHandled});

    EXPECT_EQ(workerExitCode(), DWORD{kWorkerDeviceWentAway});
    EXPECT_EQ(textsOnceThereAre(recorder_, c.trail.size()), c.trail);
    EXPECT_EQ(cancels(), 1);
    RecordState record = readRecordState();
    EXPECT_EQ(record.state, L"device went away");
    EXPECT_EQ(record.result, kUpgradeDeviceWentAway);
    if (c.stops) {
      expectStopReports(reportsBefore);
    } else {
      EXPECT_EQ(manager_.statusReports().size(), reportsBefore);
    }
    EXPECT_EQ(arrivalTrail(), Strings{c.afterwards});
    EXPECT_EQ(libraryCalls(), 1);
  }
}

// After the start request the device may be writing its new firmware. A
// suspend is only recorded. A preshutdown cancels nothing: it waits, with
// stop pending and a rising checkpoint each second, for the device to come
// back (its arrival, or the listing that lost it and lists it again) or for
// the bound, says which, and only then lets the shutdown go on. A plain
// shutdown cancels as a stop does; the library keeps what it crossed.
TEST_F(PowerEventsTest, AfterTheStartRequestNothingIsUndone) {
  enum class Back { kNot, kByArrival, kByListing };
  struct LineCase {
    const char* name;
    DWORD control;
    Back back;
    Strings trail;
    int cancels;
  };
  const Strings waited = {
      "system is shutting down after the start request, wait for the device"};
  const LineCase cases[] = {
      {"suspend",
       kSuspend,
       Back::kNot,
       {"system is suspending after the start request, upgrade goes on"},
       0},
      {"preshutdown, device back by its arrival",
       SERVICE_CONTROL_PRESHUTDOWN,
       Back::kByArrival,
       {waited[0], "device is back after the start request, shutdown goes on",
        "service control stop success"},
       0},
      {"preshutdown, device listed again",
       SERVICE_CONTROL_PRESHUTDOWN,
       Back::kByListing,
       {waited[0], "device is back after the start request, shutdown goes on",
        "service control stop success"},
       0},
      {"preshutdown, device not back",
       SERVICE_CONTROL_PRESHUTDOWN,
       Back::kNot,
       {waited[0],
        "device did not come back 120 s after the start request, shutdown "
        "goes on",
        "service control stop success"},
       0},
  };
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.name);
    startHeldUpgrade();
    context_->startRequestSent = true;
    if (c.back == Back::kByArrival) {
      EXPECT_EQ(arrivalTrail(),
                (Strings{"update thread is running, ignore device arrival"}));
    }
    int listings = 0;
    if (c.back == Back::kByListing) {
      // Gone at the first look, back at the third.
      present_.onListing = [&] {
        present_.paths.clear();
        if (++listings >= 3) present_.paths.push_back(kZr700Path);
      };
    }
    recorder_.clear();
    clock_.clear();
    size_t reportsBefore = manager_.statusReports().size();
    Control control = controlOf(c.control);

    EXPECT_EQ(this->control(control.code, control.eventType),
              DWORD{kControlHandled});

    EXPECT_EQ(textsOnceThereAre(recorder_, c.trail.size()), c.trail);
    present_.onListing = nullptr;
    EXPECT_EQ(recorder_.events()[0].type,
              c.control == kSuspend ? EVENTLOG_WARNING_TYPE
                                    : EVENTLOG_INFORMATION_TYPE);
    // The worker was left in the library, the record as it was.
    EXPECT_EQ(cancels(), c.cancels);
    EXPECT_EQ(WaitForSingleObject(context_->workerThread, 0),
              DWORD{WAIT_TIMEOUT});
    EXPECT_EQ(readRecordState().state, L"upgrading");
    if (c.control == kSuspend) {
      EXPECT_EQ(manager_.statusReports().size(), reportsBefore);
      continue;
    }
    expectStopReports(reportsBefore);
    std::vector<DWORD> waits = clock_.waits();
    DWORD seconds = static_cast<DWORD>(
        std::count(waits.begin(), waits.end(), DWORD{kCancelRepeatMs}));
    if (c.back == Back::kNot) {
      EXPECT_EQ(seconds, kDeviceBackBoundMs / kCancelRepeatMs);
      EXPECT_EQ(recorder_.events()[1].type, EVENTLOG_WARNING_TYPE);
    } else if (c.back == Back::kByListing) {
      EXPECT_EQ(listings, 3);
    }
    EXPECT_EQ(arrivalTrail(),
              Strings{"update thread is running, ignore device arrival"});
  }
}

// A plain shutdown after the start request cancels as a stop does: the
// library, past the line, ends the try as started.
TEST_F(PowerEventsTest, AShutdownAfterTheStartRequestCancelsAsAStopDoes) {
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  startHeldUpgrade();
  stubFunction<StubSetCancelledResult>("stubSetCancelledResult")(
      kUpgradeStartUnconfirmed);
  context_->startRequestSent = true;
  recorder_.clear();
  size_t reportsBefore = manager_.statusReports().size();

  EXPECT_EQ(control(SERVICE_CONTROL_SHUTDOWN), DWORD{kControlHandled});

  workerExitCode();
  Strings trail = textsOnceThereAre(recorder_, 4);
  ASSERT_FALSE(trail.empty());
  EXPECT_EQ(trail.front(), "update thread is exist, cancel upgrade");
  // The cancel's watch reports the stop once the worker has ended; the
  // started try also removes the service, whose events may come before or
  // after.
  trail = textsOnceOneIs(recorder_, "service control stop success");
  EXPECT_NE(std::find(trail.begin(), trail.end(),
                      "service control stop success"),
            trail.end());
  EXPECT_EQ(cancels(), 1);
  EXPECT_EQ(readRecordState().result, kUpgradeStartUnconfirmed);
  // Reported just after its event.
  waitUntil([&] { return serviceStopped(context_); });
  EXPECT_EQ(manager_.statusReports()[reportsBefore].status.dwCurrentState,
            DWORD{SERVICE_STOP_PENDING});
  EXPECT_EQ(manager_.statusReports().back().status.dwCurrentState,
            DWORD{SERVICE_STOPPED});
}

// The resume looks for the devices present, as the start does: the try the
// suspend cancelled is made again.
TEST_F(PowerEventsTest, TheResumeUpgradesTheDeviceTheSuspendLeft) {
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  startHeldUpgrade();
  control(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
  ASSERT_EQ(workerExitCode(), DWORD{kWorkerDeviceWentAway});
  stubFunction<StubHoldCalls>("stubHoldCalls")();
  recorder_.clear();

  EXPECT_EQ(control(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC),
            DWORD{kControlHandled});

  ASSERT_NE(context_->scanThread, nullptr);
  EXPECT_EQ(WaitForSingleObject(context_->scanThread, 60000), WAIT_OBJECT_0);
  ASSERT_TRUE(stubFunction<StubWaitEntered>("stubWaitEntered")(60000));
  EXPECT_EQ(libraryCalls(), 2);
  Strings trail = recorder_.texts();
  ASSERT_GE(trail.size(), 3u);
  EXPECT_EQ(Strings(trail.begin(), trail.begin() + 2),
            (Strings{"system resumed, look for present devices",
                     "device found at start"}));
  EXPECT_EQ(trail[2].rfind("ZR700 Arrival", 0), 0u);
  // The scan waited the settle time first.
  std::vector<DWORD> waits = clock_.waits();
  EXPECT_NE(std::find(waits.begin(), waits.end(), kArrivalSettleMs),
            waits.end());
}

// The PC is kept from sleeping on idle by a thread of the service's own:
// set before the worker runs, cleared once the try is over however it ends,
// and after the start request only once the device is back. Never the
// display. After a kill the service ends its process, and the hold with it:
// here, where the test holds that end, the hold clears the state itself.
TEST_F(PowerEventsTest, TheExecutionStateIsClearedOnEveryPathOut) {
  enum class End { kReturns, kRemoved, kKilled, kBackAfterTheStart };
  struct AwakeCase {
    const char* name;
    const wchar_t* library;
    End end;
  };
  const AwakeCase cases[] = {
      {"the library returns", L"velunor_upgrade_stub.dll", End::kReturns},
      {"a removal cancels", L"velunor_upgrade_stub.dll", End::kRemoved},
      {"a removal kills", L"velunor_upgrade_stub_uncancellable.dll",
       End::kKilled},
      {"the device is back after the start request",
       L"velunor_upgrade_stub.dll", End::kBackAfterTheStart},
  };
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  for (const AwakeCase& c : cases) {
    SCOPED_TRACE(c.name);
    placeStub(c.library);
    stubFunction<StubSetResult>("stubSetResult")(kUpgradeDownloadFailed);
    ExecutionStateWatch watch;
    ASSERT_EQ(arrive(kZr700Path), 0u);
    ASSERT_TRUE(stubFunction<StubWaitEntered>("stubWaitEntered")(60000));
    ASSERT_NE(context_->awakeThread, nullptr);
    const DWORD holder = GetThreadId(context_->awakeThread);
    // Set before the library was called.
    EXPECT_EQ(watch.calls(),
              (std::vector<ExecutionStateCall>{{holder, kKeepAwake}}));

    switch (c.end) {
      case End::kReturns:
        stubFunction<StubRelease>("stubRelease")();
        break;
      case End::kRemoved:
        remove(deviceBroadcast(kZr700Path).data());
        break;
      case End::kKilled: {
        KillEndWatch processEnd;
        remove(deviceBroadcast(kZr700Path).data());
        EXPECT_EQ(workerExitCode(), DWORD{kWorkerEnded});
        EXPECT_EQ(processEnd.ends(), 1);
        break;
      }
      case End::kBackAfterTheStart:
        context_->deviceBackWaitMs = INFINITE;
        context_->startRequestSent = true;
        stubFunction<StubRelease>("stubRelease")();
        workerExitCode();
        // Held past the worker's end until the device is back.
        EXPECT_EQ(WaitForSingleObject(context_->awakeThread, 200),
                  DWORD{WAIT_TIMEOUT});
        EXPECT_EQ(watch.calls().size(), 1u);
        control(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL,
                deviceBroadcast(kZr700Path).data());
        break;
    }

    workerExitCode();
    ASSERT_EQ(WaitForSingleObject(context_->awakeThread, 60000),
              WAIT_OBJECT_0);
    EXPECT_EQ(watch.calls(),
              (std::vector<ExecutionStateCall>{{holder, kKeepAwake},
                                               {holder, ES_CONTINUOUS}}));
    EXPECT_NE(holder, context_->workerThreadId);
    arrivalOutcome(context_->arrivalThread);
  }
}

// The texts each thread reported, for trails that threads write at once.
class TextsByThread {
 public:
  explicit TextsByThread(EventRecorder& recorder) : recorder_(recorder) {
    recorder_.onEvent([this](const RecordedEvent& event) {
      std::lock_guard<std::mutex> hold(lock_);
      texts_.push_back({GetCurrentThreadId(), event.text()});
    });
  }
  ~TextsByThread() { recorder_.onEvent(nullptr); }

  Strings of(DWORD thread) const {
    std::lock_guard<std::mutex> hold(lock_);
    Strings texts;
    for (const auto& [reporter, text] : texts_) {
      if (reporter == thread) texts.push_back(text);
    }
    return texts;
  }

 private:
  EventRecorder& recorder_;
  mutable std::mutex lock_;
  std::vector<std::pair<DWORD, std::string>> texts_;
};

// Once the library has returned, a device told to start its update may be
// writing its firmware: the worker waits for it to come back (its arrival,
// or the listing that lost it and lists it again) or for the bound, before
// it goes on to the next device or the service's removal. A stop or a plain
// shutdown ends the wait; a preshutdown, which waits for the device itself,
// does not, and a suspend is only recorded. Without a start request nothing
// is waited for.
TEST_F(PowerEventsTest, AfterTheTryTheDeviceToldToStartIsWaitedFor) {
  enum class During {
    kNothing,
    kArrival,
    kListedAgain,
    kStop,
    kShutdown,
    kSuspend,
    kPreshutdown
  };
  struct WaitCase {
    const char* name;
    uint8_t bUpdate;
    int32_t result;
    bool backBeforeTheReturn;  // its arrival came during the library's call
    During during;             // what comes while the worker waits
    bool backAfterThePreshutdown;
    Strings worker;  // what the worker reports from its result on
  };
  const std::string told =
      "device was told to start the update, wait for it to come back";
  const std::string back = "device is back after the start request";
  const std::string notBack =
      "device did not come back 120 s after the start request";
  const std::string success = "send updatefile to device success";
  const std::string unconfirmed =
      "device was told to start the update and restarted before it "
      "confirmed, not sent again";
  const std::string removal = "uninstallService start";
  const WaitCase cases[] = {
      {"no start request asked for", 0, kUpgradeSucceeded, false,
       During::kNothing, false, {success, removal}},
      {"back before the library returned", 1, kUpgradeStartUnconfirmed, true,
       During::kNothing, false, {unconfirmed, back, removal}},
      {"back by its arrival", 1, kUpgradeSucceeded, false, During::kArrival,
       false, {success, told, back, removal}},
      {"listed again", 1, kUpgradeSucceeded, false, During::kListedAgain,
       false, {success, told, back, removal}},
      {"not back", 1, kUpgradeStartUnconfirmed, false, During::kNothing,
       false, {unconfirmed, told, notBack, removal}},
      {"a stop ends the wait", 1, kUpgradeSucceeded, false, During::kStop,
       false,
       {success, told, "service is stopping, device not waited for",
        removal}},
      {"a plain shutdown ends it as a stop does", 1, kUpgradeSucceeded, false,
       During::kShutdown, false,
       {success, told, "service is stopping, device not waited for",
        removal}},
      {"a suspend is only recorded", 1, kUpgradeSucceeded, false,
       During::kSuspend, false, {success, told, notBack, removal}},
      {"a preshutdown waits too, the device back", 1, kUpgradeSucceeded, false,
       During::kPreshutdown, true, {success, told, back, removal}},
      {"a preshutdown waits too, the device not back", 1, kUpgradeSucceeded,
       false, During::kPreshutdown, false, {success, told, notBack, removal}},
  };
  for (const WaitCase& c : cases) {
    SCOPED_TRACE(c.name);
    FamilySettings settings(L"ZR700");
    settings.all("zr.img", 0, c.bUpdate, "1.0");
    startHeldUpgrade();
    stubFunction<StubSetResult>("stubSetResult")(c.result);
    context_->startRequestSent = c.bUpdate != 0;
    if (c.backBeforeTheReturn) arrivalTrail();
    // The worker's first look at the listing holds until the test has
    // acted; the device is listed again at the third look, if at all.
    HANDLE acted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    int listings = 0;
    present_.onListing = [&] {
      WaitForSingleObject(acted, 60000);
      if (c.during != During::kListedAgain) return;
      present_.paths.clear();
      if (++listings >= 3) present_.paths.push_back(kZr700Path);
    };
    TextsByThread texts(recorder_);
    const DWORD worker = context_->workerThreadId;
    size_t reportsBefore = manager_.statusReports().size();

    stubFunction<StubRelease>("stubRelease")();
    if (c.during != During::kNothing) {
      textsOnceOneIs(recorder_, told);
    }
    switch (c.during) {
      case During::kArrival:
        control(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL,
                deviceBroadcast(kZr700Path).data());
        break;
      case During::kStop:
        EXPECT_EQ(control(SERVICE_CONTROL_STOP), DWORD{kControlHandled});
        break;
      case During::kShutdown:
        EXPECT_EQ(control(SERVICE_CONTROL_SHUTDOWN), DWORD{kControlHandled});
        break;
      case During::kSuspend:
        EXPECT_EQ(control(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND),
                  DWORD{kControlHandled});
        EXPECT_EQ(recorder_.texts().back(),
                  "system is suspending after the start request, upgrade "
                  "goes on");
        break;
      case During::kPreshutdown:
        EXPECT_EQ(control(SERVICE_CONTROL_PRESHUTDOWN),
                  DWORD{kControlHandled});
        if (c.backAfterThePreshutdown) {
          control(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL,
                  deviceBroadcast(kZr700Path).data());
        }
        break;
      default:
        break;
    }
    SetEvent(acted);
    // The arrival itself starts nothing: the device had its try.
    if (c.during == During::kArrival) arrivalOutcome(context_->arrivalThread);

    EXPECT_EQ(workerExitCode(), c.result == kUpgradeSucceeded
                                    ? DWORD{kWorkerDone}
                                    : DWORD{kWorkerStartUnconfirmed});
    Strings reported = texts.of(worker);
    EXPECT_EQ(Strings(reported.begin(),
                      reported.begin() +
                          std::min(reported.size(), c.worker.size())),
              c.worker);
    for (const RecordedEvent& event : recorder_.events()) {
      if (event.text() == notBack) {
        EXPECT_EQ(event.type, EVENTLOG_WARNING_TYPE);
      }
    }
    if (c.during == During::kPreshutdown) {
      // The shutdown saw the same, and reported stopped once, last.
      textsOnceOneIs(
          recorder_, c.backAfterThePreshutdown
                         ? "device is back after the start request, "
                           "shutdown goes on"
                         : "device did not come back 120 s after the start "
                           "request, shutdown goes on");
      waitUntil([&] { return serviceStopped(context_); });
      std::vector<StatusReport> reports = manager_.statusReports();
      EXPECT_EQ(std::count_if(reports.begin() + reportsBefore, reports.end(),
                              [](const StatusReport& report) {
                                return report.status.dwCurrentState ==
                                       SERVICE_STOPPED;
                              }),
                1);
      EXPECT_EQ(reports.back().status.dwCurrentState, DWORD{SERVICE_STOPPED});
    }
    present_.onListing = nullptr;
    CloseHandle(acted);
    EXPECT_EQ(libraryCalls(), 1);
  }
}

}  // namespace
