#include "testing/virtual_device/device_state.h"

#include <algorithm>
#include <cstring>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#define VDEV_WIDE(text) L##text
#else
#include "platform/host/host_win32.h"
#define VDEV_WIDE(text) u##text
#endif

namespace vdev {
namespace internal {

namespace {

constexpr AdbWideChar kDefaultName[] = VDEV_WIDE(
    "\\\\?\\usb#vid_3f3a&pid_9206#vlnr-sn-000123#"
    "{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}");

constexpr uint64_t kHandleBase = 0x7E5A0000;

uint64_t tokenOf(void* value) { return reinterpret_cast<uintptr_t>(value); }

}  // namespace

const AdbWideChar* defaultName() { return kDefaultName; }

Device::Device() { clear(); }

Device::~Device() {
  if (image_file != nullptr) std::fclose(image_file);
  EVP_MD_CTX_free(md5);
}

void Device::clear() {
  static_cast<DeviceState&>(*this) = DeviceState{};
  resetDownload();
}

void Device::resetDownload() {
  if (image_file != nullptr) std::fclose(image_file);
  image_file = nullptr;
  EVP_MD_CTX_free(md5);
  md5 = EVP_MD_CTX_new();
  EVP_DigestInit_ex(md5, EVP_md5(), nullptr);
  verdict.bytes_received = 0;
  verdict.image_received = false;
  verdict.md5_computed[0] = 0;
  verdict.md5_claimed[0] = 0;
  verdict.md5_checked = false;
  verdict.md5_verified = false;
}

Device& device() {
  static Device* the_device = new Device();  // lives as long as the process
  return *the_device;
}

void* newHandle(Device& d, Handle handle) {
  uint64_t token = kHandleBase + 16 * d.next_handle_id++;
  d.handles[token] = std::move(handle);
  return reinterpret_cast<void*>(static_cast<uintptr_t>(token));
}

Handle* findHandle(Device& d, void* value, HandleKind kind) {
  auto found = d.handles.find(tokenOf(value));
  if (found == d.handles.end() || found->second.kind != kind) return nullptr;
  return &found->second;
}

void Device::pullNow() {
  verdict.unplugged = true;
  gone_error = kErrorPulled;
}

void Device::advanceClock() {
  takePull(*this);
  auto now = std::chrono::steady_clock::now();
  if (pull_timed && now >= pull_time) {
    pull_timed = false;
    pullNow();
  }
  // Back once its time is up and its slow first failure is over.
  if (restarting && !slow_failure_due && now >= back_time) {
    restarting = false;
    comeBack();
    ++verdict.restarts;
  } else if (verdict.unplugged && !restarting && takeReplug(*this)) {
    comeBack();
  }
}

void Device::comeBack() {
  verdict.unplugged = false;
  gone_error = kErrorGone;
  pending_download = false;
  resetDownload();
  verdict.state = kStateIdle;
  last_status = kStatusOk;
}

Session::Session(Call call)
    : d(device()), hold_(d.lock), error_before_(GetLastError()) {
  checkForScript(d);
  d.advanceClock();
  rec().call = call;
  rec().sequence = static_cast<uint32_t>(d.record.size() + 1);
  ++d.call_counts[static_cast<size_t>(call)];
}

Session::~Session() {
  rec().result = !failed_;
  rec().error = failed_ ? error_ : 0;
  rec().payload_size = static_cast<uint32_t>(recorded_.payload.size());
  if (d.keep_record) d.record.push_back(recorded_);
  if (!d.output_directory.empty()) {
    appendRecordLine(d, recorded_);
    Call call = rec().call;
    if (call == Call::kDefaultEndpointReadWriteSync ||
        call == Call::kCloseHandle || d.verdict.unplugged) {
      writeVerdictFile(d);
    }
  }
  hold_.unlock();
  SetLastError(failed_ ? error_ : error_before_);
}

void Session::keep(const void* bytes, size_t size, size_t limit) {
  rec().payload_total = static_cast<uint32_t>(size);
  // The payload serves only the record and its file.
  if (bytes == nullptr || (!d.keep_record && d.output_directory.empty())) {
    return;
  }
  const auto* first = static_cast<const uint8_t*>(bytes);
  recorded_.payload.assign(first, first + std::min(size, limit));
}

Fate Session::sourceFate(uint32_t* error) {
  const AnswerSource* source = d.answer_source;
  if (source == nullptr || source->fate == nullptr) return Fate::kAnswer;
  Fate fate = source->fate(source->context, rec().call, error);
  Call call = rec().call;
  bool hands_out_handle = call == Call::kEnumInterfaces ||
                          call == Call::kCreateInterfaceByName ||
                          call == Call::kOpenDefaultBulkReadEndpoint ||
                          call == Call::kOpenDefaultBulkWriteEndpoint;
  if (fate == Fate::kFailAfter && hands_out_handle) return Fate::kFailBefore;
  // A handle is let go whatever the call reports.
  if (fate == Fate::kFailBefore && call == Call::kCloseHandle) {
    return Fate::kFailAfter;
  }
  return fate;
}

bool Session::faulted() {
  Call call = rec().call;
  uint32_t count = d.call_counts[static_cast<size_t>(call)];
  for (const Fault& fault : d.faults) {
    if (fault.call == call && (fault.nth == 0 || fault.nth == count)) {
      fail(fault.error);
      return true;
    }
  }
  uint32_t source_error = 0;
  switch (sourceFate(&source_error)) {
    case Fate::kAnswer:
      break;
    case Fate::kFailBefore:
      fail(source_error);
      return true;
    case Fate::kFailAfter:
      fail_after_ = true;
      fail_after_error_ = source_error;
      break;
    case Fate::kPullOut:
      d.verdict.unplugged = true;
      break;
  }
  bool still_answers = call == Call::kEnumInterfaces ||
                       call == Call::kNextInterface ||
                       call == Call::kCloseHandle;
  if (d.verdict.unplugged && !still_answers) {
    // A device restarting into new firmware may take a while to fail the
    // first call; the others are not held up meanwhile.
    if (d.slow_failure_due) {
      d.slow_failure_due = false;
      failSlowly(d.restart_first_fail_ms, d.gone_error);
    } else {
      fail(d.gone_error);
    }
    return true;
  }
  return false;
}

bool Session::fail(uint32_t error) {
  failed_ = true;
  error_ = error;
  return false;
}

bool Session::failSlowly(uint32_t milliseconds, uint32_t error) {
  hold_.unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  hold_.lock();
  return fail(error);
}

bool Session::succeed() {
  if (fail_after_) return fail(fail_after_error_);
  failed_ = false;
  return true;
}

void* Session::failHandle(uint32_t error) {
  fail(error);
  return nullptr;
}

void* Session::succeedHandle(void* handle) {
  rec().result_handle = tokenOf(handle);
  succeed();
  return handle;
}

std::string narrow(const WideString& text) {
  std::string out;
  for (AdbWideChar unit : text) {
    out += static_cast<unsigned>(unit) < 0x80 ? static_cast<char>(unit) : '?';
  }
  return out;
}

}  // namespace internal
}  // namespace vdev
