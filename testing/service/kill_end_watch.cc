#include "testing/service/kill_end_watch.h"

#include <atomic>
#include <mutex>

#include "testing/import_patch.h"

namespace {

// The log, shared by the replacements: one watch at a time.
struct Log {
  std::mutex lock;
  std::atomic<DWORD> killer{0};  // the thread that killed, 0 before
  bool ended = false;
  int kills = 0;
  int ends = 0;
  UINT exitCode = 0;
  std::vector<std::string> calls;
};
Log* watchLog = nullptr;

// Notes `name` when the killing thread calls it between its kill and the
// end.
void note(const char* name) {
  if (watchLog == nullptr || watchLog->killer.load() != GetCurrentThreadId()) return;
  std::lock_guard<std::mutex> guard(watchLog->lock);
  if (!watchLog->ended) watchLog->calls.push_back(name);
}

// Each replacement calls what the test program's import pointed to before
// the watch: Windows' function, or the hook of an earlier patch (the event
// recorder's ReportEventW).
#define PASS_THROUGH(result, name, parameters, arguments) \
  decltype(&::name) original##name = nullptr;            \
  result WINAPI watched##name parameters {               \
    note(#name);                                         \
    return original##name arguments;                     \
  }

PASS_THROUGH(LSTATUS, RegSetValueExW,
             (HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
              const BYTE* data, DWORD size),
             (key, name, reserved, type, data, size))
PASS_THROUGH(LSTATUS, RegDeleteValueW, (HKEY key, LPCWSTR name), (key, name))
PASS_THROUGH(BOOL, ReportEventW,
             (HANDLE source, WORD type, WORD category, DWORD id, PSID user,
              WORD count, DWORD size, LPCWSTR* strings, LPVOID data),
             (source, type, category, id, user, count, size, strings, data))
PASS_THROUGH(BOOL, SetServiceStatus,
             (SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status),
             (handle, status))
PASS_THROUGH(BOOL, CloseHandle, (HANDLE handle), (handle))
PASS_THROUGH(HANDLE, CreateThread,
             (LPSECURITY_ATTRIBUTES attributes, SIZE_T stack,
              LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
              LPDWORD id),
             (attributes, stack, start, parameter, flags, id))
PASS_THROUGH(HMODULE, LoadLibraryExW, (LPCWSTR name, HANDLE file, DWORD flags),
             (name, file, flags))
PASS_THROUGH(BOOL, FreeLibrary, (HMODULE module), (module))
PASS_THROUGH(BOOL, DeleteFileW, (LPCWSTR name), (name))
PASS_THROUGH(BOOL, SetEvent, (HANDLE event), (event))
decltype(&::TerminateProcess) originalTerminateProcess = nullptr;
decltype(&::TerminateThread) originalTerminateThread = nullptr;

BOOL WINAPI watchedTerminateThread(HANDLE thread, DWORD exitCode) {
  BOOL killed = originalTerminateThread(thread, exitCode);
  if (watchLog != nullptr) {
    std::lock_guard<std::mutex> guard(watchLog->lock);
    ++watchLog->kills;
    watchLog->killer = GetCurrentThreadId();
  }
  return killed;
}

// Ends nothing when asked to end this process: the test looks on.
BOOL WINAPI heldTerminateProcess(HANDLE process, UINT exitCode) {
  if (process != GetCurrentProcess() &&
      GetProcessId(process) != GetCurrentProcessId()) {
    return originalTerminateProcess(process, exitCode);
  }
  if (watchLog != nullptr) {
    std::lock_guard<std::mutex> guard(watchLog->lock);
    ++watchLog->ends;
    watchLog->exitCode = exitCode;
    watchLog->ended = true;
  }
  return TRUE;
}

}  // namespace

struct KillEndWatch::Patches {
  Log log;
  std::vector<std::unique_ptr<ImportPatch>> patches;
  void patch(const char* name, const void* replacement) {
    patches.push_back(std::make_unique<ImportPatch>(nullptr, name, replacement));
  }
};

#define WATCH(name)            \
  original##name = &::name; \
  patches_->patch(#name, reinterpret_cast<const void*>(&watched##name))

KillEndWatch::KillEndWatch() : patches_(std::make_unique<Patches>()) {
  watchLog = &patches_->log;
  originalTerminateThread = &::TerminateThread;
  patches_->patch("TerminateThread",
                  reinterpret_cast<const void*>(&watchedTerminateThread));
  originalTerminateProcess = &::TerminateProcess;
  patches_->patch("TerminateProcess",
                  reinterpret_cast<const void*>(&heldTerminateProcess));
  WATCH(RegSetValueExW);
  WATCH(RegDeleteValueW);
  WATCH(ReportEventW);
  WATCH(SetServiceStatus);
  WATCH(CloseHandle);
  WATCH(CreateThread);
  WATCH(LoadLibraryExW);
  WATCH(FreeLibrary);
  WATCH(DeleteFileW);
  WATCH(SetEvent);
}

// A kill's end may still be on its way: the watch holds it before it goes.
KillEndWatch::~KillEndWatch() {
  for (int tries = 0; tries < 600 && ends() < kills(); ++tries) {
    // A real wait: a test's clock may make Sleep return at once. The
    // process is signalled only when it ends.
    WaitForSingleObject(GetCurrentProcess(), 100);
  }
  patches_->patches.clear();
  watchLog = nullptr;
}

int KillEndWatch::kills() const {
  std::lock_guard<std::mutex> guard(patches_->log.lock);
  return patches_->log.kills;
}

int KillEndWatch::ends() const {
  std::lock_guard<std::mutex> guard(patches_->log.lock);
  return patches_->log.ends;
}

UINT KillEndWatch::exitCode() const {
  std::lock_guard<std::mutex> guard(patches_->log.lock);
  return patches_->log.exitCode;
}

std::vector<std::string> KillEndWatch::callsBetween() const {
  std::lock_guard<std::mutex> guard(patches_->log.lock);
  return patches_->log.calls;
}
