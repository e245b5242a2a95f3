// The recording of a USB session: every AdbWinApi call in order, one line
// each, readable in a ticket. The recorder writes it; the virtual device
// answers from it.
//
//   velunor-usb-recording 1
//   run device_path=... update_file=... version=V1.0.7 bforce=0 bupdate=1
//   1 AdbEnumInterfaces class={6b11e5bb-...} not_present=1 ... -> result=h1 error=0 us=40
//
// A call line holds its number, the call's name, its arguments, "->" and its
// results. Handles are numbered in the order they were handed out (h1, h2,
// ...; 0 is none), texts keep printable ASCII and write every other UTF-16
// unit as %XXXX, byte fields are hexadecimal. Lines starting with # are
// comments.
#ifndef VELUNOR_TOOLS_RECORDER_RECORDING_FORMAT_H_
#define VELUNOR_TOOLS_RECORDER_RECORDING_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace recording {

constexpr char kVersionLine[] = "velunor-usb-recording 1";
constexpr char kRunWord[] = "run";
constexpr char kResultsMark[] = "->";

// Larger recordings are refused rather than read: a session of a 4 GiB image
// holds some 300 000 calls of about 150 bytes each.
constexpr size_t kMaxRecordingBytes = 256u << 20;

// Key=value fields in the order they were added.
class Fields {
 public:
  void add(std::string key, std::string value);
  void addNumber(const char* key, uint64_t value);
  void addFlag(const char* key, bool value) { addNumber(key, value ? 1 : 0); }
  // Null if the key is not there.
  const std::string* find(const char* key) const;
  bool empty() const { return items_.empty(); }
  const std::vector<std::pair<std::string, std::string>>& items() const {
    return items_;
  }
  // " key=value" for each field.
  std::string text() const;

 private:
  std::vector<std::pair<std::string, std::string>> items_;
};

struct CallEntry {
  uint32_t number = 0;
  std::string call;
  Fields arguments;
  Fields results;
};

struct Recording {
  Fields run;  // what was run, when the runner made the recording
  std::vector<CallEntry> calls;
};

// Reads a whole recording. False, with why (and the line), when it is not
// one: no version line, a line cut short, a call out of order, a field
// without its key.
bool parseRecording(const std::string& text, Recording* recording,
                    std::string* error);
bool parseCallLine(const std::string& line, CallEntry* entry,
                   std::string* error);

// Field values.
std::string escapeText(const uint16_t* units, size_t count);
std::string escapeBytes(const uint8_t* bytes, size_t count);
bool unescapeText(const std::string& field, std::vector<uint16_t>* units);
std::string hex(const void* bytes, size_t size);
bool unhex(const std::string& field, std::vector<uint8_t>* bytes);
std::string handleName(uint32_t number);  // "h3", "0" for none
// The 16 bytes of a GUID in memory order, as {xxxxxxxx-xxxx-...}.
std::string guidText(const void* guid);
bool parseGuid(const std::string& field, uint8_t (&guid)[16]);
std::string sha256Hex(const void* bytes, size_t size);
bool parseNumber(const std::string& field, uint64_t* value);

}  // namespace recording

#endif  // VELUNOR_TOOLS_RECORDER_RECORDING_FORMAT_H_
