// The AdbWinApi calls answered from a recording. Each call describes its
// arguments exactly as the recorder does, compares them with the next
// recorded call and, when they agree, hands back what the real library
// returned then.
#include "testing/virtual_device/replay.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "testing/virtual_device/replay_calls.h"
#include "tools/recorder/recording_format.h"

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/host/host_win32.h"
#endif

namespace vdev {

namespace {

using recording::CallEntry;
using recording::Fields;

// Handle values handed out in a replay: tokens, never addresses.
constexpr uintptr_t kTokenBase = 0x5EC00000;
constexpr uint32_t kErrorGone = 6;  // ERROR_INVALID_HANDLE

// The host's clock in the announcement and in the update start.
constexpr uint16_t kRequestSetDownloadInfoCode = 1;
constexpr uint16_t kRequestStartUpdateCode = 9;
constexpr size_t kAnnouncementTimeAt = 41;
constexpr size_t kTimeStampSize = 20;

struct Replay {
  std::mutex lock;
  // Read without the lock by every call of the device, replay or not.
  std::atomic<bool> active{false};
  recording::Recording recording;
  size_t next = 0;
  bool diverged = false;
  std::string message;
};

Replay& state() {
  static Replay* replay = new Replay();  // lives as long as the process
  return *replay;
}

void* tokenOf(uint64_t number) {
  if (number == 0) return nullptr;
  return reinterpret_cast<void*>(kTokenBase + 16 * number);
}

std::string nameOf(const void* handle) {
  if (handle == nullptr) return "0";
  auto value = reinterpret_cast<uintptr_t>(handle);
  if (value > kTokenBase && (value - kTokenBase) % 16 == 0 &&
      (value - kTokenBase) / 16 <= UINT32_MAX) {
    return recording::handleName(
        static_cast<uint32_t>((value - kTokenBase) / 16));
  }
  return "unknown";
}

std::string shown(const std::string& value) {
  return value.size() > 72 ? value.substr(0, 72) + "..." : value;
}

std::string presence(const void* pointer) { return pointer ? "1" : "0"; }

std::string sizeText(const AdbULong* size) {
  return size != nullptr ? std::to_string(*size) : "none";
}

std::string wideText(const AdbWideChar* text) {
  std::vector<uint16_t> units;
  for (; *text != 0; ++text) units.push_back(static_cast<uint16_t>(*text));
  return recording::escapeText(units.data(), units.size());
}

// Control data agrees when every byte but the host's clock does.
bool sameControlData(const std::string& setup_hex, const std::string& ours,
                     const std::string& recorded) {
  std::vector<uint8_t> setup, a, b;
  if (!recording::unhex(setup_hex, &setup) || setup.size() != 8 ||
      !recording::unhex(ours, &a) || !recording::unhex(recorded, &b) ||
      a.size() != b.size()) {
    return ours == recorded;
  }
  uint16_t request = static_cast<uint16_t>(setup[2] | setup[3] << 8);
  size_t from = 0, to = 0;
  if (request == kRequestSetDownloadInfoCode) {
    from = kAnnouncementTimeAt;
    to = kAnnouncementTimeAt + kTimeStampSize;
  } else if (request == kRequestStartUpdateCode) {
    to = kTimeStampSize;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    if ((i < from || i >= to) && a[i] != b[i]) return false;
  }
  return true;
}

// One replayed call: compares it with the next recorded one under the lock,
// and leaves the recorded last error (or error 6 after a divergence) when it
// goes.
class Step {
 public:
  explicit Step(const char* call)
      : r_(state()), hold_(r_.lock), call_(call) {}
  ~Step() {
    // Unlocking may touch the last error.
    hold_.unlock();
    SetLastError(error_);
  }
  Step(const Step&) = delete;
  Step& operator=(const Step&) = delete;

  Fields& arguments() { return arguments_; }

  // The recorded call to answer from; null after a divergence.
  const CallEntry* match() {
    if (r_.diverged) return gone();
    size_t number = r_.next + 1;
    if (r_.next >= r_.recording.calls.size()) {
      return diverge("call " + std::to_string(number) + ": the library called " +
                     call_ + " after the recording's last call (" +
                     std::to_string(r_.recording.calls.size()) + ")");
    }
    const CallEntry& entry = r_.recording.calls[r_.next++];
    where_ = "call " + std::to_string(number) + " (" + entry.call + "): ";
    if (entry.call != call_) {
      return diverge("call " + std::to_string(number) + ": the library called " +
                     call_ + " where the recording has " + entry.call);
    }
    const auto& ours = arguments_.items();
    const auto& theirs = entry.arguments.items();
    for (size_t i = 0; i < std::max(ours.size(), theirs.size()); ++i) {
      if (i >= theirs.size() || i >= ours.size() ||
          ours[i].first != theirs[i].first) {
        return diverge(where_ + "the library's arguments are" +
                       arguments_.text() + ", the recording's" +
                       entry.arguments.text());
      }
      if (ours[i].second == theirs[i].second) continue;
      const std::string* setup = arguments_.find("setup");
      if (ours[i].first == "data" && setup != nullptr &&
          sameControlData(*setup, ours[i].second, theirs[i].second)) {
        continue;
      }
      return diverge(where_ + ours[i].first + " is " + shown(ours[i].second) +
                     ", the recording has " + shown(theirs[i].second));
    }
    uint64_t error = 0;
    if (!recording::parseNumber(*entry.results.find("error"), &error) ||
        error > UINT32_MAX) {
      malformed("error is not a number");
      return nullptr;
    }
    error_ = static_cast<DWORD>(error);
    return &entry;
  }

  // The recording's results cannot be given back as they are.
  bool malformed(const std::string& why) {
    diverge(where_ + "the recording is malformed: " + why);
    return false;
  }

  // A result field as a number; null when the recording lacks it or it is
  // not one (the replay then ends).
  bool number(const CallEntry& entry, const char* key, uint64_t* value) {
    const std::string* field = entry.results.find(key);
    if (field == nullptr || !recording::parseNumber(*field, value)) {
      malformed(std::string(key) + " is missing or not a number");
      return false;
    }
    return true;
  }

  // The bool result; false also when it is malformed.
  bool result(const CallEntry& entry) {
    const std::string& value = *entry.results.find("result");
    if (value == "1") return true;
    if (value != "0") malformed("result is \"" + shown(value) + "\"");
    return false;
  }

  void* handleResult(const CallEntry& entry) {
    const std::string& value = *entry.results.find("result");
    uint64_t number = 0;
    if (value == "0") return nullptr;
    if (value.size() < 2 || value[0] != 'h' ||
        !recording::parseNumber(value.substr(1), &number) || number == 0 ||
        number > UINT32_MAX) {
      malformed("result is \"" + shown(value) + "\", not a handle");
      return nullptr;
    }
    return tokenOf(number);
  }

  // A count the call hands back through `out` (absent in the recording when
  // the caller gave no place for it).
  bool count(const CallEntry& entry, const char* key, AdbULong* out) {
    const std::string* field = entry.results.find(key);
    if (out == nullptr || (field != nullptr && *field == "none")) return true;
    uint64_t value = 0;
    if (!number(entry, key, &value)) return false;
    if (value > UINT32_MAX) return malformed(std::string(key) + " too large");
    *out = static_cast<AdbULong>(value);
    return true;
  }

  // Hex bytes of a result field, at most `limit` of them.
  bool bytes(const CallEntry& entry, const char* key, size_t limit,
             std::vector<uint8_t>* out) {
    const std::string* field = entry.results.find(key);
    if (field == nullptr || !recording::unhex(*field, out)) {
      malformed(std::string(key) + " is missing or not hexadecimal");
      return false;
    }
    if (out->size() > limit) {
      malformed(std::string(key) + " holds more bytes than the buffer");
      return false;
    }
    return true;
  }

  bool text(const CallEntry& entry, const char* key,
            std::vector<uint16_t>* units) {
    const std::string* field = entry.results.find(key);
    if (field == nullptr || !recording::unescapeText(*field, units)) {
      malformed(std::string(key) + " is missing or not a text");
      return false;
    }
    return true;
  }

 private:
  std::nullptr_t gone() {
    error_ = kErrorGone;
    return nullptr;
  }

  std::nullptr_t diverge(const std::string& message) {
    r_.diverged = true;
    r_.message = message;
    return gone();
  }

  Replay& r_;
  std::unique_lock<std::mutex> hold_;
  const char* call_;
  std::string where_;
  Fields arguments_;
  DWORD error_ = 0;
};

void copyMessage(const std::string& text, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  size_t length = std::min(text.size(), size - 1);
  std::memcpy(out, text.data(), length);
  out[length] = 0;
}

}  // namespace

bool startReplay(const char* text, size_t size, char* error,
                 size_t error_size) {
  recording::Recording parsed;
  std::string why;
  if (text == nullptr ||
      !recording::parseRecording(std::string(text, size), &parsed, &why)) {
    copyMessage(text == nullptr ? "no recording" : why, error, error_size);
    return false;
  }
  Replay& r = state();
  std::lock_guard<std::mutex> hold(r.lock);
  r.recording = std::move(parsed);
  r.next = 0;
  r.diverged = false;
  r.message.clear();
  r.active = true;
  return true;
}

bool endReplay(char* message, size_t message_size) {
  Replay& r = state();
  std::lock_guard<std::mutex> hold(r.lock);
  std::string result = r.message;
  if (!r.active) {
    result = "no replay was running";
  } else if (!r.diverged && r.next < r.recording.calls.size()) {
    const CallEntry& missing = r.recording.calls[r.next];
    result = "the library stopped after call " + std::to_string(r.next) +
             "; the recording goes on with call " +
             std::to_string(missing.number) + " (" + missing.call + ")";
  }
  bool whole = r.active && result.empty();
  copyMessage(result, message, message_size);
  r.active = false;
  r.recording = recording::Recording{};
  return whole;
}

bool replaying() { return replayed::active(); }

namespace replayed {

bool active() { return state().active.load(); }

ADBAPIHANDLE enumInterfaces(const GUID& class_id, bool exclude_not_present,
                            bool exclude_removed, bool active_only) {
  Step step("AdbEnumInterfaces");
  step.arguments().add("class", recording::guidText(&class_id));
  step.arguments().addFlag("not_present", exclude_not_present);
  step.arguments().addFlag("removed", exclude_removed);
  step.arguments().addFlag("active", active_only);
  const CallEntry* entry = step.match();
  return entry != nullptr ? step.handleResult(*entry) : nullptr;
}

bool nextInterface(ADBAPIHANDLE handle, void* info, AdbULong* size) {
  Step step("AdbNextInterface");
  step.arguments().add("handle", nameOf(handle));
  step.arguments().add("buffer", presence(info));
  step.arguments().add("size", sizeText(size));
  const CallEntry* entry = step.match();
  if (entry == nullptr) return false;
  AdbULong asked = size != nullptr ? *size : 0;
  bool ok = step.result(*entry);
  if (!step.count(*entry, "size_out", size)) return false;
  if (!ok || info == nullptr || entry->results.find("name") == nullptr) {
    return ok;
  }
  uint8_t guid[16];
  uint64_t flags = 0;
  std::vector<uint16_t> name;
  const std::string* guid_text = entry->results.find("entry_class");
  if (guid_text == nullptr || !recording::parseGuid(*guid_text, guid)) {
    return step.malformed("entry_class is missing or not a GUID");
  }
  if (!step.number(*entry, "entry_flags", &flags) ||
      !step.text(*entry, "name", &name)) {
    return false;
  }
  std::vector<uint8_t> bytes(guid, guid + 16);
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(flags >> 8 * i));
  name.push_back(0);
  for (uint16_t unit : name) {
    bytes.push_back(static_cast<uint8_t>(unit));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  if (bytes.size() > asked) {
    return step.malformed("the entry is larger than the buffer");
  }
  std::memcpy(info, bytes.data(), bytes.size());
  return ok;
}

ADBAPIHANDLE createInterfaceByName(const AdbWideChar* name) {
  Step step("AdbCreateInterfaceByName");
  step.arguments().add("name", name != nullptr ? wideText(name) : "none");
  const CallEntry* entry = step.match();
  return entry != nullptr ? step.handleResult(*entry) : nullptr;
}

ADBAPIHANDLE openEndpoint(const char* call, ADBAPIHANDLE iface, int access,
                          int sharing) {
  Step step(call);
  step.arguments().add("handle", nameOf(iface));
  step.arguments().addNumber("access", static_cast<uint32_t>(access));
  step.arguments().addNumber("sharing", static_cast<uint32_t>(sharing));
  const CallEntry* entry = step.match();
  return entry != nullptr ? step.handleResult(*entry) : nullptr;
}

bool text(const char* call, ADBAPIHANDLE iface, void* buffer, AdbULong* chars,
          bool ansi) {
  Step step(call);
  step.arguments().add("handle", nameOf(iface));
  step.arguments().add("buffer", presence(buffer));
  step.arguments().add("size", sizeText(chars));
  step.arguments().addFlag("ansi", ansi);
  const CallEntry* entry = step.match();
  if (entry == nullptr) return false;
  AdbULong asked = chars != nullptr ? *chars : 0;
  bool ok = step.result(*entry);
  if (!step.count(*entry, "size_out", chars)) return false;
  if (!ok || buffer == nullptr || entry->results.find("text") == nullptr) {
    return ok;
  }
  std::vector<uint16_t> units;
  if (!step.text(*entry, "text", &units)) return false;
  if (units.size() + 1 > asked) {
    return step.malformed("the text is longer than the buffer");
  }
  units.push_back(0);
  for (size_t i = 0; i < units.size(); ++i) {
    if (ansi) {
      static_cast<uint8_t*>(buffer)[i] = static_cast<uint8_t>(units[i]);
    } else {
      static_cast<AdbWideChar*>(buffer)[i] = static_cast<AdbWideChar>(units[i]);
    }
  }
  return ok;
}

bool descriptor(const char* call, ADBAPIHANDLE iface, void* desc,
                size_t size) {
  Step step(call);
  step.arguments().add("handle", nameOf(iface));
  step.arguments().add("buffer", presence(desc));
  const CallEntry* entry = step.match();
  if (entry == nullptr) return false;
  bool ok = step.result(*entry);
  if (!ok || desc == nullptr) return ok;
  std::vector<uint8_t> bytes;
  if (!step.bytes(*entry, "descriptor", size, &bytes)) return false;
  if (bytes.size() != size) return step.malformed("descriptor has a wrong size");
  std::memcpy(desc, bytes.data(), size);
  return ok;
}

bool endpointInformation(ADBAPIHANDLE iface, unsigned char index,
                         AdbEndpointInformation* info) {
  Step step("AdbGetEndpointInformation");
  step.arguments().add("handle", nameOf(iface));
  step.arguments().addNumber("index", index);
  step.arguments().add("buffer", presence(info));
  const CallEntry* entry = step.match();
  if (entry == nullptr) return false;
  bool ok = step.result(*entry);
  if (!ok || info == nullptr) return ok;
  uint64_t packet = 0, transfer = 0, type = 0, address = 0, interval = 0,
           setting = 0;
  if (!step.number(*entry, "packet", &packet) ||
      !step.number(*entry, "transfer", &transfer) ||
      !step.number(*entry, "type", &type) ||
      !step.number(*entry, "address", &address) ||
      !step.number(*entry, "interval", &interval) ||
      !step.number(*entry, "setting", &setting)) {
    return false;
  }
  *info = AdbEndpointInformation{};
  info->max_packet_size = static_cast<AdbULong>(packet);
  info->max_transfer_size = static_cast<AdbULong>(transfer);
  info->endpoint_type = static_cast<int>(type);
  info->endpoint_address = static_cast<unsigned char>(address);
  info->polling_interval = static_cast<unsigned char>(interval);
  info->setting_index = static_cast<unsigned char>(setting);
  return ok;
}

bool read(ADBAPIHANDLE endpoint, void* buffer, AdbULong size, AdbULong* count,
          AdbULong timeout) {
  Step step("AdbReadEndpointSync");
  step.arguments().add("handle", nameOf(endpoint));
  step.arguments().add("buffer", presence(buffer));
  step.arguments().addNumber("size", size);
  step.arguments().add("count", presence(count));
  step.arguments().addNumber("timeout", timeout);
  const CallEntry* entry = step.match();
  if (entry == nullptr) return false;
  bool ok = step.result(*entry);
  if (!step.count(*entry, "count", count)) return false;
  if (buffer != nullptr && entry->results.find("data") != nullptr) {
    std::vector<uint8_t> data;
    if (!step.bytes(*entry, "data", size, &data)) return false;
    std::memcpy(buffer, data.data(), data.size());
  }
  return ok;
}

bool write(ADBAPIHANDLE endpoint, const void* buffer, AdbULong size,
           AdbULong* count, AdbULong timeout) {
  Step step("AdbWriteEndpointSync");
  step.arguments().add("handle", nameOf(endpoint));
  step.arguments().add("buffer", presence(buffer));
  step.arguments().addNumber("size", size);
  step.arguments().add("count", presence(count));
  step.arguments().addNumber("timeout", timeout);
  if (buffer != nullptr) {
    step.arguments().add("sha256", recording::sha256Hex(buffer, size));
  }
  const CallEntry* entry = step.match();
  if (entry == nullptr) return false;
  bool ok = step.result(*entry);
  if (!step.count(*entry, "count", count)) return false;
  return ok;
}

bool control(ADBAPIHANDLE iface, unsigned char direction, const void* setup,
             void* buffer, AdbULong length, AdbULong* count) {
  Step step("AdbDefaultEndpointReadWriteSync");
  Fields& a = step.arguments();
  a.add("handle", nameOf(iface));
  a.addNumber("direction", direction);
  a.add("setup", setup != nullptr ? recording::hex(setup, 8) : "none");
  a.add("buffer", presence(buffer));
  a.addNumber("length", length);
  a.add("count", presence(count));
  if (direction == 0 && buffer != nullptr) {
    a.add("data", recording::hex(buffer, length));
  }
  const CallEntry* entry = step.match();
  if (entry == nullptr) return false;
  bool ok = step.result(*entry);
  if (!step.count(*entry, "count", count)) return false;
  if (direction != 0 && buffer != nullptr &&
      entry->results.find("answer") != nullptr) {
    std::vector<uint8_t> answer;
    if (!step.bytes(*entry, "answer", length, &answer)) return false;
    std::memcpy(buffer, answer.data(), answer.size());
  }
  return ok;
}

bool close(ADBAPIHANDLE handle) {
  Step step("AdbCloseHandle");
  step.arguments().add("handle", nameOf(handle));
  const CallEntry* entry = step.match();
  return entry != nullptr && step.result(*entry);
}

}  // namespace replayed

}  // namespace vdev
