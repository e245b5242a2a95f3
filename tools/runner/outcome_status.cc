#include "tools/runner/outcome_status.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "service/device_family.h"
#include "service/outcome_record.h"
#include "service/registry_key.h"

namespace {

// Room for the longest value: a device path of 260 units in the ANSI code
// page, or a setting of 260 bytes.
constexpr DWORD kTextBytes = 1024;

bool keyExists(const std::wstring& path) {
  RegistryKey key;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ,
                       key.receive()) == ERROR_SUCCESS;
}

std::string narrowOf(const wchar_t* text) {
  return std::string(text, text + std::wcslen(text));
}

// A text value, terminated whatever the registry holds; false when absent.
bool readText(const std::string& key, const char* name, char (&text)[kTextBytes]) {
  DWORD size = kTextBytes;
  return RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_SZ,
                      nullptr, text, &size) == ERROR_SUCCESS;
}

bool readNumber(const std::string& key, const char* name, DWORD* value) {
  DWORD size = sizeof *value;
  return RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_DWORD,
                      nullptr, value, &size) == ERROR_SUCCESS;
}

// One line: the family, its state, then each value that is there.
bool printRecord(FILE* out, const char* family, const std::string& key) {
  char state[kTextBytes] = "(no state)";
  readText(key, narrowOf(kOutcomeState).c_str(), state);
  std::fprintf(out, "%s: %s", family, state);
  DWORD number = 0;
  if (readNumber(key, narrowOf(kOutcomeResult).c_str(), &number)) {
    std::fprintf(out, ", result %d", static_cast<int>(number));
  }
  if (readNumber(key, narrowOf(kOutcomeAttempts).c_str(), &number)) {
    std::fprintf(out, ", attempts %lu", number);
  }
  const std::string texts[][2] = {{narrowOf(kOutcomeTime), "since"},
                                  {kOutcomeVersion, "version"},
                                  {kOutcomeUpdateFile, "updatefile"},
                                  {narrowOf(kOutcomeImage), "image"},
                                  {narrowOf(kOutcomeDevice), "device"}};
  for (const auto& [name, label] : texts) {
    char text[kTextBytes];
    if (readText(key, name.c_str(), text)) {
      std::fprintf(out, ", %s %s", label.c_str(), text);
    }
  }
  std::fprintf(out, "\n");
  return std::strcmp(state, narrowOf(kStateUpgraded).c_str()) == 0;
}

}  // namespace

OutcomeSummary printOutcomes(FILE* out) {
  OutcomeSummary summary;
  for (size_t i = 0; i < kFamilyCount; ++i) {
    const DeviceFamily& family = familyAt(i);
    const std::wstring settings = family.registryKey;
    const std::wstring record = settings + L"\\" + kOutcomeKeyName;
    const std::string name = narrowOf(family.name);
    if (keyExists(record)) {
      ++summary.records;
      if (!printRecord(out, name.c_str(), narrowOf(record.c_str()))) {
        ++summary.notUpgraded;
      }
    } else if (keyExists(settings)) {
      std::fprintf(out, "%s: no outcome record yet\n", name.c_str());
      ++summary.notUpgraded;
    }
  }
  return summary;
}

void printNoRecord(FILE* out, const OutcomeSummary& summary) {
  if (summary.notUpgraded == 0) {
    std::fprintf(out, "no outcome record: no release package of the service "
                      "is installed on this PC\n");
  } else {
    std::fprintf(out, "no outcome record: the settings above were not "
                      "installed by a release package\n");
  }
}
