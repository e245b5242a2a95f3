// The scripting API of virtual_device.h over the device's state.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "testing/virtual_device/device_state.h"

namespace vdev {

namespace {

using internal::Device;

struct Locked {
  Locked() : d(internal::device()), hold(d.lock) {}
  Device& d;
  std::lock_guard<std::recursive_mutex> hold;
};

constexpr const char* kCallNames[] = {
    "AdbEnumInterfaces",
    "AdbNextInterface",
    "AdbCreateInterfaceByName",
    "AdbOpenDefaultBulkReadEndpoint",
    "AdbOpenDefaultBulkWriteEndpoint",
    "AdbGetInterfaceName",
    "AdbGetSerialNumber",
    "AdbGetUsbDeviceDescriptor",
    "AdbGetUsbInterfaceDescriptor",
    "AdbGetEndpointInformation",
    "AdbReadEndpointSync",
    "AdbWriteEndpointSync",
    "AdbDefaultEndpointReadWriteSync",
    "AdbCloseHandle",
};
static_assert(sizeof kCallNames / sizeof kCallNames[0] ==
                  static_cast<size_t>(Call::kCount),
              "one name per call");

}  // namespace

const char* callName(Call call) {
  size_t index = static_cast<size_t>(call);
  return index < static_cast<size_t>(Call::kCount) ? kCallNames[index] : "?";
}

const AdbWideChar* defaultInterfaceName() { return internal::defaultName(); }

void reset() {
  Locked l;
  l.d.clear();
  // Scripted in the process: no script file is looked for any more.
  l.d.script_checked = true;
}

void lookForScript() {
  Locked l;
  l.d.clear();
  l.d.script_checked = false;
}

void addInterface(const AdbWideChar* name, const InterfaceConfig& config) {
  Locked l;
  if (l.d.default_interface) l.d.interfaces.clear();
  l.d.default_interface = false;
  l.d.interfaces.push_back(internal::Interface{name, config});
}

void configureInterface(size_t index, const InterfaceConfig& config) {
  Locked l;
  if (index < l.d.interfaces.size()) l.d.interfaces[index].config = config;
}

size_t interfaceCount() {
  Locked l;
  return l.d.interfaces.size();
}

void failCall(Call call, uint32_t nth, uint32_t error) {
  Locked l;
  l.d.faults.push_back(internal::Fault{call, nth, error});
}

void answerBusy(uint16_t request, uint32_t times) {
  Locked l;
  if (request >= 16) return;
  AnswerOverride busy;
  busy.status = kStatusBusy;
  l.d.overrides.push_back(internal::Override{
      request, l.d.request_counts[request] + 1, times, busy});
}

void overrideAnswer(uint16_t request, uint32_t first, uint32_t count,
                    const AnswerOverride& answer) {
  Locked l;
  l.d.overrides.push_back(internal::Override{request, first, count, answer});
}

void setPendingDownload() {
  Locked l;
  l.d.pending_download = true;
}

void limitWrites(uint32_t bytes_per_call) {
  Locked l;
  l.d.write_limit = bytes_per_call;
}

void zeroByteWrites(uint32_t first, uint32_t count) {
  Locked l;
  l.d.zero_first = first;
  l.d.zero_count = count;
}

void overReportWrites(uint32_t first, uint32_t count) {
  Locked l;
  l.d.over_first = first;
  l.d.over_count = count;
}

void unplugAtByte(uint64_t byte) {
  Locked l;
  l.d.unplug_at = byte;
}

void unplugAtRequest(uint16_t request, uint32_t nth) {
  Locked l;
  l.d.unplug_request = request;
  l.d.unplug_request_nth = nth;
}

void pullAt(uint16_t request, uint32_t nth, uint32_t wait_ms) {
  Locked l;
  l.d.pull_armed = nth != 0;
  l.d.pull_request = request;
  l.d.pull_nth = nth;
  l.d.pull_wait_ms = wait_ms;
}

void restartOnStart(uint32_t down_ms, uint32_t first_fail_ms) {
  Locked l;
  l.d.restart_on_start = true;
  l.d.restart_down_ms = down_ms;
  l.d.restart_first_fail_ms = first_fail_ms;
}

void restartBeforeAnswering(uint32_t down_ms, uint32_t request_fail_ms) {
  Locked l;
  l.d.restart_on_start = true;
  l.d.restart_down_ms = down_ms;
  l.d.restart_unanswered = true;
  l.d.restart_unanswered_ms = request_fail_ms;
}

void gateRequest(uint16_t request, const char* path) {
  Locked l;
  l.d.gate_request = path == nullptr ? 0 : request;
  l.d.gate_file = path == nullptr ? "" : path;
}

void unplug() {
  Locked l;
  l.d.verdict.unplugged = true;
}

void queueReadData(const uint8_t* data, size_t size) {
  Locked l;
  l.d.read_data.insert(l.d.read_data.end(), data, data + size);
}

void acceptUnannouncedData(bool accept) {
  Locked l;
  l.d.accept_unannounced = accept;
}

void storeImage(const char* path) {
  Locked l;
  l.d.image_path = path == nullptr ? "" : path;
}

void setAnswerSource(const AnswerSource* source) {
  Locked l;
  l.d.answer_source = source;
}

void keepRecord(bool keep) {
  Locked l;
  l.d.keep_record = keep;
}

bool loadScript(const char* path, char* error, size_t error_size) {
  Locked l;
  l.d.clear();
  l.d.script_checked = true;
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) {
    std::snprintf(error, error_size, "cannot open %s", path);
    return false;
  }
  bool parsed = internal::parseScript(l.d, file, error, error_size);
  std::fclose(file);
  return parsed;
}

void setOutputDirectory(const char* directory) {
  Locked l;
  internal::useOutputDirectory(l.d, directory == nullptr ? "" : directory);
}

size_t callCount() {
  Locked l;
  return l.d.record.size();
}

bool callRecord(size_t index, CallRecord* record) {
  Locked l;
  if (index >= l.d.record.size()) return false;
  *record = l.d.record[index].record;
  return true;
}

size_t callPayload(size_t index, uint8_t* out, size_t capacity) {
  Locked l;
  if (index >= l.d.record.size()) return 0;
  const std::vector<uint8_t>& bytes = l.d.record[index].payload;
  size_t size = std::min(capacity, bytes.size());
  if (size != 0) std::memcpy(out, bytes.data(), size);
  return size;
}

Verdict verdict() {
  Locked l;
  return l.d.verdict;
}

size_t openHandleCount() {
  Locked l;
  return l.d.handles.size();
}

}  // namespace vdev
