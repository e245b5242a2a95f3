// Inside the virtual device: its one global state and the bookkeeping every
// AdbWinApi call goes through (lock, record, faults, last error).
#ifndef VELUNOR_TESTING_VIRTUAL_DEVICE_DEVICE_STATE_H_
#define VELUNOR_TESTING_VIRTUAL_DEVICE_DEVICE_STATE_H_

#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "testing/virtual_device/virtual_device.h"

namespace vdev {
namespace internal {

using WideString = std::basic_string<AdbWideChar>;

// The one interface of a device that no script has named any.
const AdbWideChar* defaultName();

constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorSemTimeout = 121;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorNoMoreItems = 259;
constexpr uint32_t kErrorNotFound = 1168;

struct Interface {
  WideString name;
  InterfaceConfig config;
};

enum class HandleKind {
  kEnumeration,
  kInterface,
  kReadEndpoint,
  kWriteEndpoint
};

struct Handle {
  HandleKind kind = HandleKind::kInterface;
  size_t interface_index = 0;
  std::vector<size_t> entries;  // enumeration: interfaces in order
  size_t next = 0;
};

struct Fault {
  Call call;
  uint32_t nth;
  uint32_t error;
};

struct Override {
  uint16_t request;
  uint32_t first;
  uint32_t count;
  AnswerOverride answer;
};

struct Recorded {
  CallRecord record;
  std::vector<uint8_t> payload;
};

// All that a script, a test or a run sets or changes, and the calls'
// bookkeeping: a reset makes each of it as here again.
struct DeviceState {
  std::vector<Interface> interfaces{{defaultName(), InterfaceConfig{}}};
  bool default_interface = true;
  std::map<uint64_t, Handle> handles;

  std::vector<Fault> faults;
  uint32_t call_counts[static_cast<size_t>(Call::kCount)] = {};
  std::vector<Override> overrides;
  uint32_t request_counts[16] = {};

  bool pending_download = false;
  uint32_t write_limit = 0;
  uint32_t zero_first = 0;
  uint32_t zero_count = 0;
  uint32_t over_first = 0;
  uint32_t over_count = 0;
  uint64_t unplug_at = UINT64_MAX;
  uint16_t unplug_request = 0;  // 0: none
  uint32_t unplug_request_nth = 0;
  // Pulled like real hardware (pullAt): calls then fail with gone_error.
  uint32_t gone_error = kErrorGone;
  bool pull_armed = false;
  uint16_t pull_request = 0;  // 0: the nth bulk write with data
  uint32_t pull_nth = 0;
  uint32_t pull_wait_ms = 0;
  uint32_t data_writes = 0;
  bool pull_timed = false;  // pulled at pull_time
  std::chrono::steady_clock::time_point pull_time;
  // Restart on an accepted start request (restartOnStart).
  bool restart_on_start = false;
  uint32_t restart_down_ms = 0;
  uint32_t restart_first_fail_ms = 0;
  // Restarts before it answers (restartBeforeAnswering): the start request
  // itself fails after this long.
  bool restart_unanswered = false;
  uint32_t restart_unanswered_ms = 0;
  bool restarting = false;  // back at back_time
  std::chrono::steady_clock::time_point back_time;
  bool slow_failure_due = false;
  uint16_t hold_request = 0;  // 0: none held
  uint32_t hold_nth = 0;
  uint32_t loader_lock_write = 0;  // 0: no write holds the loader's lock
  uint32_t loader_lock_ms = 0;
  // While this file exists, requests of this kind fail as unanswered.
  uint16_t gate_request = 0;
  std::string gate_file;
  bool accept_unannounced = false;
  std::deque<uint8_t> read_data;

  uint8_t last_status = kStatusOk;
  std::string image_path;
  bool keep_image_in_output = false;
  // The record file is added to, not started afresh, by this process: a
  // test then sees the calls of every process that played the device.
  bool append_record = false;
  Verdict verdict;

  std::vector<Recorded> record;
  bool keep_record = true;
  std::string output_directory;
  bool script_checked = false;
  std::string script_error;
  const AnswerSource* answer_source = nullptr;
};

struct Device : DeviceState {
  Device();
  ~Device();

  std::recursive_mutex lock;
  // Never reset: a handle value is never given twice.
  uint64_t next_handle_id = 1;
  EVP_MD_CTX* md5 = nullptr;
  FILE* image_file = nullptr;

  // Back to the state above, with no download under way.
  void clear();
  void resetDownload();
  // What time did meanwhile: a timed pull, a restart's return.
  void advanceClock();
  // Gone now: the nth pull point reached, or the start's restart begun.
  void pullNow();
  // There again, idle, as a device newly plugged in.
  void comeBack();
};

Device& device();

// A handle value is a token, never an address: values are not reused, so a
// stale handle can never reach a newer object.
void* newHandle(Device& d, Handle handle);
Handle* findHandle(Device& d, void* value, HandleKind kind);

// One AdbWinApi call in progress: holds the lock, counts and records the call,
// applies the scripted faults, and leaves the last error on the way out (after
// any file output, which could disturb it).
class Session {
 public:
  explicit Session(Call call);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  Device& d;
  CallRecord& rec() { return recorded_.record; }
  void keep(const void* bytes, size_t size, size_t limit = SIZE_MAX);

  // True when a scripted fault or a pulled-out device fails this call.
  bool faulted();
  bool fail(uint32_t error);
  // Fails after `milliseconds`, as a call the device stopped answering;
  // other calls are not held up meanwhile.
  bool failSlowly(uint32_t milliseconds, uint32_t error);
  bool succeed();
  void* failHandle(uint32_t error);
  void* succeedHandle(void* handle);

 private:
  // What the answer source decided for this call.
  Fate sourceFate(uint32_t* error);

  std::unique_lock<std::recursive_mutex> hold_;
  Recorded recorded_;
  uint32_t error_before_;
  uint32_t error_ = 0;
  bool failed_ = false;
  // Told kFailAfter: the device acts, the call still fails.
  bool fail_after_ = false;
  uint32_t fail_after_error_ = 0;
};

// The device side of the vendor protocol (device_protocol.cc).
bool controlTransfer(Session& s, bool open, uint8_t direction,
                     const uint8_t* setup, void* buffer, AdbULong length,
                     AdbULong* transferred);
bool bulkWrite(Session& s, const uint8_t* buffer, AdbULong bytes,
               AdbULong* written);
// Whether the request now arriving is the scripted pull point; it then
// fails the call as the pull says (device_protocol.cc).
bool pulledAtRequest(Session& s, uint16_t request);

// Files for runs in another process (script_file.cc).
void checkForScript(Device& d);
void appendRecordLine(Device& d, const Recorded& recorded);
void writeVerdictFile(Device& d);
// Holds the calling thread (and with it every other call) until the release
// file appears beside the verdict file, at most ten minutes.
void holdUntilReleased(Device& d);
// Whether a pulled device is plugged in again: the replug file beside the
// verdict file, taken away as it is seen.
bool takeReplug(Device& d);
// A pull armed by another process while the device runs: the pull file
// beside the verdict file holds one script line `pull ...`, counted from
// the moment it is seen; taken away as it is seen.
void takePull(Device& d);
bool parseScript(Device& d, FILE* file, char* error, size_t error_size);
// Whether the write in progress is the one that holds the loader's lock;
// holding it marks the verdict held meanwhile (lock_holding.cc).
bool holdsLoaderLock(const Device& d);
void holdLoaderLock(Device& d);
void useOutputDirectory(Device& d, const std::string& directory);

std::string narrow(const WideString& text);

}  // namespace internal
}  // namespace vdev

#endif  // VELUNOR_TESTING_VIRTUAL_DEVICE_DEVICE_STATE_H_
