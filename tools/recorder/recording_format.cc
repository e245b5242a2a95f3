#include "tools/recorder/recording_format.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>

namespace recording {

namespace {

constexpr char kDigits[] = "0123456789abcdef";

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool plain(uint16_t unit) { return unit > 0x20 && unit < 0x7F && unit != '%'; }

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> found;
  size_t at = 0;
  while (at < line.size()) {
    size_t start = line.find_first_not_of(' ', at);
    if (start == std::string::npos) break;
    size_t end = line.find(' ', start);
    if (end == std::string::npos) end = line.size();
    found.push_back(line.substr(start, end - start));
    at = end;
  }
  return found;
}

bool splitField(const std::string& word, std::pair<std::string, std::string>* field) {
  size_t equals = word.find('=');
  if (equals == 0 || equals == std::string::npos) return false;
  field->first = word.substr(0, equals);
  field->second = word.substr(equals + 1);
  return true;
}

bool knownCall(const std::string& name) {
  static const char* const kCalls[] = {
      "AdbEnumInterfaces",           "AdbNextInterface",
      "AdbCreateInterfaceByName",    "AdbOpenDefaultBulkReadEndpoint",
      "AdbOpenDefaultBulkWriteEndpoint", "AdbGetInterfaceName",
      "AdbGetSerialNumber",          "AdbGetUsbDeviceDescriptor",
      "AdbGetUsbInterfaceDescriptor", "AdbGetEndpointInformation",
      "AdbReadEndpointSync",         "AdbWriteEndpointSync",
      "AdbDefaultEndpointReadWriteSync", "AdbCloseHandle"};
  for (const char* call : kCalls) {
    if (name == call) return true;
  }
  return false;
}

}  // namespace

void Fields::add(std::string key, std::string value) {
  items_.emplace_back(std::move(key), std::move(value));
}

void Fields::addNumber(const char* key, uint64_t value) {
  add(key, std::to_string(value));
}

const std::string* Fields::find(const char* key) const {
  for (const auto& item : items_) {
    if (item.first == key) return &item.second;
  }
  return nullptr;
}

std::string Fields::text() const {
  std::string line;
  for (const auto& item : items_) {
    line += ' ';
    line += item.first;
    line += '=';
    line += item.second;
  }
  return line;
}

bool parseCallLine(const std::string& line, CallEntry* entry,
                   std::string* error) {
  std::vector<std::string> parts = words(line);
  uint64_t number = 0;
  if (parts.size() < 2 || !parseNumber(parts[0], &number) || number == 0 ||
      number > UINT32_MAX) {
    *error = "not a call line: \"" + line.substr(0, 80) + "\"";
    return false;
  }
  entry->number = static_cast<uint32_t>(number);
  entry->call = parts[1];
  if (!knownCall(entry->call)) {
    *error = "call " + parts[0] + ": unknown call \"" +
             entry->call.substr(0, 40) + "\"";
    return false;
  }
  bool results = false;
  for (size_t i = 2; i < parts.size(); ++i) {
    if (parts[i] == kResultsMark && !results) {
      results = true;
      continue;
    }
    std::pair<std::string, std::string> field;
    if (!splitField(parts[i], &field)) {
      *error = "call " + parts[0] + ": \"" + parts[i].substr(0, 40) +
               "\" is not a key=value field";
      return false;
    }
    (results ? entry->results : entry->arguments).add(field.first, field.second);
  }
  if (!results || entry->results.find("result") == nullptr ||
      entry->results.find("error") == nullptr) {
    *error = "call " + parts[0] + " (" + entry->call +
             "): no results (\"-> result=... error=...\")";
    return false;
  }
  return true;
}

bool parseRecording(const std::string& text, Recording* recording,
                    std::string* error) {
  *recording = Recording{};
  if (text.size() > kMaxRecordingBytes) {
    *error = "the recording is larger than " +
             std::to_string(kMaxRecordingBytes >> 20) + " MiB";
    return false;
  }
  bool versioned = false;
  size_t line_number = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    ++line_number;
    if (end == std::string::npos) {
      *error = "the recording ends in the middle of line " +
               std::to_string(line_number) + ": it was cut short";
      return false;
    }
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (!versioned) {
      if (line != kVersionLine) {
        *error = std::string("not a recording of this version: the first "
                             "line is not \"") + kVersionLine + "\"";
        return false;
      }
      versioned = true;
      continue;
    }
    std::string where = "line " + std::to_string(line_number) + ": ";
    if (line.compare(0, sizeof kRunWord, std::string(kRunWord) + " ") == 0) {
      for (const std::string& word : words(line.substr(sizeof kRunWord))) {
        std::pair<std::string, std::string> field;
        if (!splitField(word, &field)) {
          *error = where + "\"" + word.substr(0, 40) +
                   "\" is not a key=value field";
          return false;
        }
        recording->run.add(field.first, field.second);
      }
      continue;
    }
    CallEntry entry;
    if (!parseCallLine(line, &entry, error)) {
      *error = where + *error;
      return false;
    }
    if (entry.number != recording->calls.size() + 1) {
      *error = where + "call " + std::to_string(entry.number) + " where call " +
               std::to_string(recording->calls.size() + 1) + " belongs";
      return false;
    }
    recording->calls.push_back(std::move(entry));
  }
  if (!versioned) {
    *error = std::string("not a recording: no \"") + kVersionLine + "\" line";
    return false;
  }
  return true;
}

std::string escapeText(const uint16_t* units, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    if (plain(units[i])) {
      text += static_cast<char>(units[i]);
      continue;
    }
    char escaped[6];
    std::snprintf(escaped, sizeof escaped, "%%%04X", units[i]);
    text += escaped;
  }
  return text;
}

std::string escapeBytes(const uint8_t* bytes, size_t count) {
  std::vector<uint16_t> units(bytes, bytes + count);
  return escapeText(units.data(), units.size());
}

bool unescapeText(const std::string& field, std::vector<uint16_t>* units) {
  units->clear();
  for (size_t i = 0; i < field.size();) {
    if (field[i] != '%') {
      units->push_back(static_cast<uint8_t>(field[i++]));
      continue;
    }
    if (i + 5 > field.size()) return false;
    uint16_t unit = 0;
    for (size_t k = 1; k <= 4; ++k) {
      int digit = digitValue(field[i + k]);
      if (digit < 0) return false;
      unit = static_cast<uint16_t>(unit << 4 | digit);
    }
    units->push_back(unit);
    i += 5;
  }
  return true;
}

std::string hex(const void* bytes, size_t size) {
  const auto* in = static_cast<const uint8_t*>(bytes);
  std::string text(size * 2, '0');
  for (size_t i = 0; i < size; ++i) {
    text[2 * i] = kDigits[in[i] >> 4];
    text[2 * i + 1] = kDigits[in[i] & 0xF];
  }
  return text;
}

bool unhex(const std::string& field, std::vector<uint8_t>* bytes) {
  bytes->clear();
  if (field.size() % 2 != 0) return false;
  for (size_t i = 0; i < field.size(); i += 2) {
    int high = digitValue(field[i]);
    int low = digitValue(field[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return true;
}

std::string handleName(uint32_t number) {
  return number == 0 ? "0" : "h" + std::to_string(number);
}

std::string guidText(const void* guid) {
  const auto* b = static_cast<const uint8_t*>(guid);
  char text[40];
  std::snprintf(text, sizeof text,
                "{%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-"
                "%02x%02x%02x%02x%02x%02x}",
                b[3], b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9],
                b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

bool parseGuid(const std::string& field, uint8_t (&guid)[16]) {
  // Where each byte's two digits are in the text, in memory order.
  static constexpr size_t kAt[16] = {7,  5,  3,  1,  12, 10, 17, 15,
                                     20, 22, 25, 27, 29, 31, 33, 35};
  if (field.size() != 38 || field.front() != '{' || field.back() != '}' ||
      field[9] != '-' || field[14] != '-' || field[19] != '-' ||
      field[24] != '-') {
    return false;
  }
  for (size_t i = 0; i < 16; ++i) {
    int high = digitValue(field[kAt[i]]);
    int low = digitValue(field[kAt[i] + 1]);
    if (high < 0 || low < 0) return false;
    guid[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return guidText(guid) == field;
}

std::string sha256Hex(const void* bytes, size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes, size, digest, &length, EVP_sha256(), nullptr) != 1) {
    return "unavailable";
  }
  return hex(digest, length);
}

bool parseNumber(const std::string& field, uint64_t* value) {
  if (field.empty() || field.size() > 20) return false;
  uint64_t result = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return false;
    uint64_t next = result * 10 + static_cast<uint64_t>(c - '0');
    if (next / 10 != result) return false;
    result = next;
  }
  *value = result;
  return true;
}

}  // namespace recording
