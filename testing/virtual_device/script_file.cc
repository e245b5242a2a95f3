// Scripting by file, for a device that serves another process (the runner, a
// service under Wine): where the files are, the script's lines, and the record
// and verdict files that outlive the process. See README.md.
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "testing/virtual_device/device_state.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace vdev {
namespace internal {

namespace {

constexpr char kDirectoryVariable[] = "VELUNOR_VIRTUAL_DEVICE_DIR";
constexpr char kScriptFile[] = "virtual_device_script.txt";
constexpr char kRecordFile[] = "virtual_device_record.txt";
constexpr char kVerdictFile[] = "virtual_device_verdict.txt";
constexpr char kImageFile[] = "virtual_device_image.bin";
constexpr char kReleaseFile[] = "virtual_device_release.txt";
constexpr char kReplugFile[] = "virtual_device_replug.txt";
constexpr char kPullFile[] = "virtual_device_pull.txt";
constexpr int kHoldLimitMs = 600000;
constexpr int kHoldPollMs = 100;

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

std::string inDirectory(const std::string& directory, const char* name) {
  if (directory.empty()) return name;
  std::string path = directory;
  if (path.back() != '/' && path.back() != '\\') path += kSeparator;
  return path + name;
}

// The folder of the module that holds the device: AdbWinApi.dll on Windows
// (wherever the loader found it, system32 for a service), the program on the
// host.
std::string moduleDirectory() {
  char path[1024] = {};
#ifdef _WIN32
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&moduleDirectory),
                          &module)) {
    return "";
  }
  DWORD length = GetModuleFileNameA(module, path, sizeof path - 1);
  if (length == 0 || length >= sizeof path - 1) return "";
#else
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return "";
  path[length] = 0;
#endif
  std::string directory = path;
  size_t cut = directory.find_last_of("/\\");
  return cut == std::string::npos ? "" : directory.substr(0, cut);
}

std::string scriptDirectory() {
  const char* chosen = std::getenv(kDirectoryVariable);
  if (chosen != nullptr && *chosen != 0) return chosen;
  return moduleDirectory();
}

bool callByName(const std::string& name, Call* call) {
  for (uint32_t i = 0; i < static_cast<uint32_t>(Call::kCount); ++i) {
    if (name == callName(static_cast<Call>(i))) {
      *call = static_cast<Call>(i);
      return true;
    }
  }
  return false;
}

bool requestByName(const std::string& name, uint16_t* request) {
  if (name == "get_status") {
    *request = kRequestGetStatus;
  } else if (name == "get_sync_status") {
    *request = kRequestGetSyncStatus;
  } else {
    return false;
  }
  return true;
}

// Any request by its name, for the gate.
bool anyRequestByName(const std::string& name, uint16_t* request) {
  static const struct {
    const char* name;
    uint16_t request;
  } kRequests[] = {{"set_dnload_info", kRequestSetDownloadInfo},
                   {"get_status", kRequestGetStatus},
                   {"abort", kRequestAbort},
                   {"get_sync_status", kRequestGetSyncStatus},
                   {"set_md5sum", kRequestSetMd5Sum},
                   {"start_update", kRequestStartUpdate}};
  for (const auto& known : kRequests) {
    if (name == known.name) {
      *request = known.request;
      return true;
    }
  }
  return false;
}

// The calling thread, as the system numbers it.
unsigned long currentThread() {
#ifdef _WIN32
  return GetCurrentThreadId();
#else
  return static_cast<unsigned long>(gettid());
#endif
}

// One script line, split into words.
struct Line {
  std::vector<std::string> words;
  bool number(size_t index, uint64_t* value) const {
    if (index >= words.size()) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(words[index].c_str(), &end, 0);
    if (errno != 0 || end == words[index].c_str() || *end != 0) return false;
    *value = parsed;
    return true;
  }
};

Line splitLine(const char* text) {
  Line line;
  std::string word;
  // A '#' that begins a word begins a comment; inside a word (a device
  // path) it is text.
  for (const char* c = text;; ++c) {
    bool comment = *c == '#' && word.empty();
    if (*c == 0 || *c == ' ' || *c == '\t' || *c == '\r' || *c == '\n' ||
        comment) {
      if (!word.empty()) line.words.push_back(word);
      word.clear();
      if (*c == 0 || comment) break;
    } else {
      word += *c;
    }
  }
  return line;
}

bool parseAnswer(const Line& line, AnswerOverride* answer) {
  for (size_t i = 4; i < line.words.size(); ++i) {
    const std::string& item = line.words[i];
    size_t equals = item.find('=');
    if (equals == std::string::npos) return false;
    std::string key = item.substr(0, equals);
    long long value = std::strtoll(item.c_str() + equals + 1, nullptr, 0);
    if (key == "status") {
      answer->status = static_cast<int>(value);
    } else if (key == "state") {
      answer->state = static_cast<int>(value);
    } else if (key == "bytes") {
      answer->bytes_written = value;
    } else if (key == "delta") {
      answer->bytes_delta = static_cast<int32_t>(value);
    } else if (key == "length") {
      answer->length = static_cast<uint32_t>(value);
    } else {
      return false;
    }
  }
  return true;
}

// Keys that describe the interface declared last.
bool interfaceLine(Device& d, const Line& line) {
  InterfaceConfig& c = d.interfaces.back().config;
  const std::string& key = line.words[0];
  uint64_t value = 0;
  if (key == "no_serial") {
    c.has_serial = false;
    return true;
  }
  if (key == "serial" && line.words.size() == 2) {
    c.has_serial = true;
    std::snprintf(c.serial, sizeof c.serial, "%s", line.words[1].c_str());
    return true;
  }
  if (!line.number(1, &value)) return false;
  if (key == "present") {
    c.present = value != 0;
  } else if (key == "removed") {
    c.removed = value != 0;
  } else if (key == "active") {
    c.active = value != 0;
  } else if (key == "vendor_id") {
    c.vendor_id = static_cast<uint16_t>(value);
  } else if (key == "product_id") {
    c.product_id = static_cast<uint16_t>(value);
  } else if (key == "endpoints") {
    c.num_endpoints = static_cast<uint8_t>(value);
  } else if (key == "max_packet_size") {
    c.max_packet_size = static_cast<uint32_t>(value);
  } else {
    return false;
  }
  return true;
}

bool deviceLine(Device& d, const Line& line) {
  const std::string& key = line.words[0];
  uint64_t a = 0, b = 0, c = 0;
  Call call;
  uint16_t request = 0;
  if (key == "interface" && line.words.size() == 2) {
    WideString name;
    for (char unit : line.words[1]) {
      name += static_cast<AdbWideChar>(static_cast<unsigned char>(unit));
    }
    if (d.default_interface) d.interfaces.clear();
    d.default_interface = false;
    d.interfaces.push_back(Interface{name, InterfaceConfig{}});
  } else if (key == "fail" &&
             callByName(line.words.size() > 1 ? line.words[1] : "", &call) &&
             line.number(2, &a) && line.number(3, &b)) {
    d.faults.push_back(
        Fault{call, static_cast<uint32_t>(a), static_cast<uint32_t>(b)});
  } else if (key == "busy" && line.words.size() == 3 &&
             requestByName(line.words[1], &request) && line.number(2, &a)) {
    d.overrides.push_back(Override{request, d.request_counts[request] + 1,
                                   static_cast<uint32_t>(a),
                                   AnswerOverride{kStatusBusy}});
  } else if (key == "answer" && line.words.size() >= 4 &&
             requestByName(line.words[1], &request) && line.number(2, &a) &&
             line.number(3, &b)) {
    AnswerOverride answer;
    if (!parseAnswer(line, &answer)) return false;
    d.overrides.push_back(Override{request, static_cast<uint32_t>(a),
                                   static_cast<uint32_t>(b), answer});
  } else if (key == "unplug_at_request" && line.words.size() == 3 &&
             requestByName(line.words[1], &request) && line.number(2, &a) &&
             a != 0) {
    d.unplug_request = request;
    d.unplug_request_nth = static_cast<uint32_t>(a);
  } else if (key == "pull" && line.words.size() == 3 &&
             line.words[1] == "write" && line.number(2, &a) && a != 0) {
    d.pull_armed = true;
    d.pull_request = 0;
    d.pull_nth = static_cast<uint32_t>(a);
    d.pull_wait_ms = 0;
  } else if (key == "pull" &&
             (line.words.size() == 3 ||
              (line.words.size() == 5 && line.words[3] == "wait" &&
               line.number(4, &b))) &&
             anyRequestByName(line.words[1], &request) && line.number(2, &a) &&
             a != 0) {
    d.pull_armed = true;
    d.pull_request = request;
    d.pull_nth = static_cast<uint32_t>(a);
    d.pull_wait_ms = line.words.size() == 5 ? static_cast<uint32_t>(b) : 0;
  } else if (key == "restart_on_start" && line.words.size() == 4 &&
             line.words[2] == "unanswered" && line.number(1, &a) &&
             line.number(3, &b)) {
    d.restart_on_start = true;
    d.restart_down_ms = static_cast<uint32_t>(a);
    d.restart_unanswered = true;
    d.restart_unanswered_ms = static_cast<uint32_t>(b);
  } else if (key == "restart_on_start" &&
             (line.words.size() == 2 || line.number(2, &b)) &&
             line.number(1, &a)) {
    d.restart_on_start = true;
    d.restart_down_ms = static_cast<uint32_t>(a);
    d.restart_first_fail_ms =
        line.words.size() > 2 ? static_cast<uint32_t>(b) : 0;
  } else if (key == "hold" && line.words.size() == 3 &&
             requestByName(line.words[1], &request) && line.number(2, &a) &&
             a != 0) {
    d.hold_request = request;
    d.hold_nth = static_cast<uint32_t>(a);
  } else if (key == "hold_loader_lock" && line.number(1, &a) &&
             line.number(2, &b) && a != 0) {
    d.loader_lock_write = static_cast<uint32_t>(a);
    d.loader_lock_ms = static_cast<uint32_t>(b);
  } else if (key == "pending_download" && line.words.size() == 1) {
    d.pending_download = true;
  } else if (key == "write_limit" && line.number(1, &a)) {
    d.write_limit = static_cast<uint32_t>(a);
  } else if (key == "zero_byte_writes" && line.number(1, &a) &&
             line.number(2, &b)) {
    d.zero_first = static_cast<uint32_t>(a);
    d.zero_count = static_cast<uint32_t>(b);
  } else if (key == "over_report_writes" && line.number(1, &a) &&
             line.number(2, &b)) {
    d.over_first = static_cast<uint32_t>(a);
    d.over_count = static_cast<uint32_t>(b);
  } else if (key == "unplug_at" && line.number(1, &a)) {
    d.unplug_at = a;
  } else if (key == "gate" && line.words.size() == 3 &&
             anyRequestByName(line.words[1], &request)) {
    d.gate_request = request;
    d.gate_file = line.words[2];
  } else if (key == "keep_image" && line.number(1, &c)) {
    d.keep_image_in_output = c != 0;
  } else if (key == "append_record" && line.number(1, &c)) {
    d.append_record = c != 0;
  } else {
    return interfaceLine(d, line);
  }
  return true;
}

void writeHex(FILE* file, const std::vector<uint8_t>& bytes) {
  for (uint8_t byte : bytes) std::fprintf(file, "%02x", byte);
}

}  // namespace

bool parseScript(Device& d, FILE* file, char* error, size_t error_size) {
  char text[1024];
  int number = 0;
  while (std::fgets(text, sizeof text, file) != nullptr) {
    ++number;
    Line line = splitLine(text);
    if (line.words.empty()) continue;
    if (!deviceLine(d, line)) {
      if (error != nullptr && error_size != 0) {
        std::snprintf(error, error_size, "line %d: cannot use \"%s\"", number,
                      line.words[0].c_str());
      }
      return false;
    }
  }
  return true;
}

void useOutputDirectory(Device& d, const std::string& directory) {
  d.output_directory = directory;
  if (directory.empty()) return;
  if (d.keep_image_in_output) d.image_path = inDirectory(directory, kImageFile);
  if (d.append_record) {
    // Nothing to start: every line is appended.
  } else if (FILE* record = std::fopen(
                 inDirectory(directory, kRecordFile).c_str(), "wb")) {
    std::fclose(record);
  }
  writeVerdictFile(d);
}

void checkForScript(Device& d) {
  if (d.script_checked) return;
  d.script_checked = true;
  std::string directory = scriptDirectory();
  FILE* script = std::fopen(inDirectory(directory, kScriptFile).c_str(), "r");
  if (script == nullptr) return;
  char error[256] = {};
  bool parsed = parseScript(d, script, error, sizeof error);
  std::fclose(script);
  if (!parsed) {
    // A device that cannot be scripted as asked plays no part: it shows no
    // interface, and the verdict file says why.
    d.interfaces.clear();
    d.script_error = error;
  }
  useOutputDirectory(d, directory);
}

void appendRecordLine(Device& d, const Recorded& recorded) {
  FILE* file =
      std::fopen(inDirectory(d.output_directory, kRecordFile).c_str(), "ab");
  if (file == nullptr) return;
  const CallRecord& r = recorded.record;
  std::fprintf(file,
               "%" PRIu32 " %s result=%d error=%" PRIu32 " handle=0x%" PRIx64
               " length=%" PRIu32 " moved=%" PRIu32 " timeout=%" PRIu32
               " thread=%04lx",
               r.sequence, callName(r.call), r.result ? 1 : 0, r.error,
               r.handle, r.length, r.moved, r.timeout, currentThread());
  if (r.call == Call::kDefaultEndpointReadWriteSync) {
    std::fprintf(file, " direction=%u setup=", r.direction);
    writeHex(file, std::vector<uint8_t>(r.setup, r.setup + 8));
  }
  if (!recorded.payload.empty()) {
    std::fprintf(file, " payload=");
    writeHex(file, recorded.payload);
  }
  std::fprintf(file, "\n");
  std::fclose(file);
}

void holdUntilReleased(Device& d) {
  if (d.output_directory.empty()) return;
  d.verdict.held = true;
  writeVerdictFile(d);
  std::string release = inDirectory(d.output_directory, kReleaseFile);
  for (int waited = 0; waited < kHoldLimitMs; waited += kHoldPollMs) {
    if (FILE* file = std::fopen(release.c_str(), "rb")) {
      std::fclose(file);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kHoldPollMs));
  }
  d.verdict.held = false;
  writeVerdictFile(d);
}

bool takeReplug(Device& d) {
  if (d.output_directory.empty()) return false;
  std::string replug = inDirectory(d.output_directory, kReplugFile);
  FILE* file = std::fopen(replug.c_str(), "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  std::remove(replug.c_str());
  return true;
}

void takePull(Device& d) {
  if (d.output_directory.empty()) return;
  std::string path = inDirectory(d.output_directory, kPullFile);
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return;
  char text[256] = {};
  bool read = std::fgets(text, sizeof text, file) != nullptr;
  std::fclose(file);
  std::remove(path.c_str());
  if (!read) text[0] = 0;
  text[std::strcspn(text, "\r\n")] = 0;
  Line line = splitLine(text);
  if (line.words.empty() || line.words[0] != "pull" || !deviceLine(d, line)) {
    d.script_error = "pull file: cannot use \"" + std::string(text) + "\"";
    writeVerdictFile(d);
    return;
  }
  // Counted from now: the writes and requests so far do not count.
  d.pull_nth += d.pull_request == 0 ? d.data_writes
                                    : d.request_counts[d.pull_request];
}

void writeVerdictFile(Device& d) {
  std::string path = inDirectory(d.output_directory, kVerdictFile);
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return;
  const Verdict& v = d.verdict;
  std::fprintf(
      file,
      "announced=%d\nversion=%s\nimage_size=%" PRIu32 "\nsegment_size=%" PRIu32
      "\nforce=%u\nbytes_received=%" PRIu64
      "\nimage_received=%d\nmd5_computed=%s\nmd5_claimed=%s\n"
      "md5_checked=%d\nmd5_verified=%d\nupdate_started=%d\n"
      "announcements=%" PRIu32 "\naborts=%" PRIu32 "\nrefused_requests=%" PRIu32
      "\nunplugged=%d\nstate=%u\n"
      "held=%d\nstarts=%" PRIu32 "\nrestarts=%" PRIu32 "\nfirmware=%s\n",
      v.announced ? 1 : 0, v.version, v.image_size, v.segment_size, v.force,
      v.bytes_received, v.image_received ? 1 : 0, v.md5_computed, v.md5_claimed,
      v.md5_checked ? 1 : 0, v.md5_verified ? 1 : 0, v.update_started ? 1 : 0,
      v.announcements, v.aborts, v.refused_requests, v.unplugged ? 1 : 0,
      v.state, v.held ? 1 : 0, v.starts, v.restarts, v.firmware);
  if (!d.script_error.empty()) {
    std::fprintf(file, "script_error=%s\n", d.script_error.c_str());
  }
  std::fclose(file);
}

}  // namespace internal
}  // namespace vdev
