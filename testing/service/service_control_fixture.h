// The running service's test fixture: a service context whose control
// handler the test calls as the dispatcher would, with the service manager
// calls, the device listing, the events and the clock watched. Shared by the
// tests of the service's life, its device events, the family settings and
// the cancel watch.
#ifndef VELUNOR_TESTING_SERVICE_SERVICE_CONTROL_FIXTURE_H_
#define VELUNOR_TESTING_SERVICE_SERVICE_CONTROL_FIXTURE_H_

// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "common/upgrade_contract.h"
#include "service/service_context.h"
#include "service/service_runtime.h"
#include "testing/event_recorder.h"
#include "testing/import_patch.h"
#include "testing/service/present_devices_double.h"
#include "testing/service/service_test_support.h"
#include "testing/service/upgrade_library_stub.h"
#include "testing/virtual_clock.h"

using Strings = std::vector<std::string>;

inline const wchar_t kZr700Path[] =
    L"\\\\?\\USB#VID_2207&PID_9206#0123456789#"
    L"{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}";

inline std::string narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}

// The states a service manager double records from here on.
class ManagerStates {
 public:
  explicit ManagerStates(const ServiceManagerDouble& manager)
      : manager_(manager), before_(manager.states().size()) {}
  std::vector<DWORD> added() const {
    std::vector<DWORD> all = manager_.states();
    return std::vector<DWORD>(all.begin() + before_, all.end());
  }

 private:
  const ServiceManagerDouble& manager_;
  size_t before_;
};

// The handler of a service context as the dispatcher would call it, with
// the service manager calls, the events and the clock watched.
class ServiceControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    removeAllSettings();
    removeServiceRegistration();
    removeUpgradeLibrary();
    context_ = newServiceContext();
    context_->statusHandle = manager_.statusHandle;
    context_->deviceNotify = manager_.deviceNotify;
  }

  void TearDown() override {
    if (stub_ != nullptr) {
      reinterpret_cast<StubRelease>(
          reinterpret_cast<void*>(GetProcAddress(stub_, "stubRelease")))();
    }
    if (context_->workerThread != nullptr) {
      EXPECT_EQ(WaitForSingleObject(context_->workerThread, 60000),
                WAIT_OBJECT_0);
    }
    removeAllSettings();
    removeServiceRegistration();
    removeUpgradeLibrary();
  }

  DWORD control(DWORD code, DWORD eventType = 0, void* data = nullptr) {
    return ServiceCtrlHandlerEx(code, eventType, data, context_);
  }

  // The broadcast's arrival, answered at once by the handler; what its
  // settle wait and procedure came to.
  DWORD arrive(const std::wstring& path) {
    present_.connect(path);
    std::vector<BYTE> broadcast = deviceBroadcast(path);
    return arriveWith(broadcast.data());
  }

  DWORD arriveWith(void* broadcast) {
    EXPECT_EQ(control(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL,
                      broadcast),
              DWORD{kControlHandled});
    return arrivalOutcome(context_->arrivalThread);
  }

  // Puts the stub library in place, its calls held until released.
  void placeHeldStub() {
    ASSERT_TRUE(placeUpgradeLibrary(L"velunor_upgrade_stub.dll"));
    stub_ = LoadLibraryW(kUpgradeLibraryPath);
    ASSERT_NE(stub_, nullptr);
    stubFunction<StubHoldCalls>("stubHoldCalls")();
  }

  template <typename Function>
  Function stubFunction(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(stub_, name)));
  }

  // The service as started anew: a fresh context, the old worker ended.
  void renewContext() {
    if (context_->workerThread != nullptr) {
      EXPECT_EQ(WaitForSingleObject(context_->workerThread, 60000),
                WAIT_OBJECT_0);
    }
    context_ = newServiceContext();
    context_->statusHandle = manager_.statusHandle;
    context_->deviceNotify = manager_.deviceNotify;
  }

  DWORD remove(const void* broadcast = nullptr) {
    return control(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE,
                   const_cast<void*>(broadcast));
  }

  DWORD workerExitCode() {
    DWORD code = 0;
    WaitForSingleObject(context_->workerThread, 60000);
    GetExitCodeThread(context_->workerThread, &code);
    return code;
  }

  EventRecorder recorder_;
  VirtualClock clock_;
  ServiceManagerDouble manager_;
  PresentDevicesDouble present_;  // none, unless a test says otherwise
  ServiceContext* context_ = nullptr;
  HMODULE stub_ = nullptr;
};

// A system call as the system makes it, for a test double to pass on to.
template <typename Function>
Function realAdvapi(const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"advapi32.dll"), name)));
}

// TerminateThread calls of the code under test.
inline std::vector<HANDLE>* terminated = nullptr;

inline BOOL WINAPI watchedTerminateThread(HANDLE thread, DWORD code) {
  if (terminated != nullptr) terminated->push_back(thread);
  using Terminate = BOOL(WINAPI*)(HANDLE, DWORD);
  auto real = reinterpret_cast<Terminate>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "TerminateThread")));
  return real(thread, code);
}

// Waits until `done` holds, a minute at most: a cancelled worker's watch and
// a shutdown's wait report from threads of their own. A real wait: the
// fixture's clock makes Sleep return at once, and the process is signalled
// only when it ends.
template <typename Condition>
void waitUntil(Condition done) {
  for (int tries = 0; tries < 600 && !done(); ++tries) {
    WaitForSingleObject(GetCurrentProcess(), 100);
  }
}

// Events recorded so far, waited for until there are `count` of them.
inline Strings textsOnceThereAre(const EventRecorder& recorder, size_t count) {
  waitUntil([&] { return recorder.texts().size() >= count; });
  return recorder.texts();
}

// Events recorded so far, waited for until one of them is `text`: an event
// a thread of the code's own writes after the one the test can wait for.
inline Strings textsOnceOneIs(const EventRecorder& recorder,
                              const std::string& text) {
  waitUntil([&] {
    Strings texts = recorder.texts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
  });
  return recorder.texts();
}

// SetThreadExecutionState calls of the code under test, each with the
// thread that made it, while the watch lives.
struct ExecutionStateCall {
  DWORD thread;
  EXECUTION_STATE flags;
  bool operator==(const ExecutionStateCall& other) const {
    return thread == other.thread && flags == other.flags;
  }
};

class ExecutionStateWatch {
 public:
  ExecutionStateWatch()
      : patch_(nullptr, "SetThreadExecutionState",
               reinterpret_cast<const void*>(&record)) {
    active() = this;
  }
  ~ExecutionStateWatch() { active() = nullptr; }

  std::vector<ExecutionStateCall> calls() const {
    std::lock_guard<std::mutex> hold(lock_);
    return calls_;
  }

 private:
  static ExecutionStateWatch*& active() {
    static ExecutionStateWatch* watch = nullptr;
    return watch;
  }
  static EXECUTION_STATE WINAPI record(EXECUTION_STATE flags) {
    if (ExecutionStateWatch* watch = active()) {
      std::lock_guard<std::mutex> hold(watch->lock_);
      watch->calls_.push_back({GetCurrentThreadId(), flags});
    }
    using Set = EXECUTION_STATE(WINAPI*)(EXECUTION_STATE);
    auto real = reinterpret_cast<Set>(reinterpret_cast<void*>(GetProcAddress(
        GetModuleHandleW(L"kernel32.dll"), "SetThreadExecutionState")));
    return real(flags);
  }

  mutable std::mutex lock_;
  std::vector<ExecutionStateCall> calls_;
  ImportPatch patch_;
};

#endif  // VELUNOR_TESTING_SERVICE_SERVICE_CONTROL_FIXTURE_H_
