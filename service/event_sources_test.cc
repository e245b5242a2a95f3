// The event sources as the program's install and uninstall leave them, and
// what a viewer makes of an event with the registered message file: the
// call Event Viewer makes, FormatMessage with the event's ID and strings.
#include "service/event_sources.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "common/event_report.h"
#include "service/service_identity.h"
#include "testing/event_recorder.h"
#include "testing/service/service_test_support.h"

namespace {

using Strings = std::vector<std::string>;

std::wstring sourceKey(const wchar_t* source) {
  return std::wstring(kApplicationLogKey) + L"\\" + source;
}

const wchar_t* const kSources[] = {kServiceName, kLibraryEventSource};

bool sourceRegistered(const wchar_t* source) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, sourceKey(source).c_str(), 0,
                    KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

std::optional<std::wstring> messageFile(const wchar_t* source) {
  wchar_t value[MAX_PATH];
  DWORD size = sizeof value;
  DWORD type = 0;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, sourceKey(source).c_str(),
                   L"EventMessageFile", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                   &type, value, &size) != ERROR_SUCCESS ||
      type != REG_EXPAND_SZ) {
    return std::nullopt;
  }
  return std::wstring(value);
}

std::optional<DWORD> typesSupported(const wchar_t* source) {
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, sourceKey(source).c_str(),
                   L"TypesSupported", RRF_RT_REG_DWORD, nullptr, &value,
                   &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

std::wstring wide(const std::string& utf8) {
  int units = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring text(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, text.data(), units);
  text.resize(static_cast<size_t>(units) - 1);
  return text;
}

// The strings one a line: what a viewer lists after its preamble when it
// finds no message, and so the text the message must give.
std::string lines(const Strings& strings) {
  std::string text;
  for (size_t i = 0; i < strings.size(); ++i) {
    text += (i == 0 ? "" : "\r\n") + strings[i];
  }
  return text;
}

// The message file loaded as data, as a viewer loads it.
class MessageFile {
 public:
  explicit MessageFile(const std::wstring& path)
      : module_(LoadLibraryExW(path.c_str(), nullptr,
                               LOAD_LIBRARY_AS_DATAFILE |
                                   LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
  ~MessageFile() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  MessageFile(const MessageFile&) = delete;
  MessageFile& operator=(const MessageFile&) = delete;
  bool loaded() const { return module_ != nullptr; }

  // The event's text, or nullopt with the error when there is no message.
  std::optional<std::string> format(DWORD id, const Strings& strings,
                                    DWORD* error = nullptr) const {
    std::vector<std::wstring> inserts;
    for (const std::string& text : strings) inserts.push_back(wide(text));
    std::vector<DWORD_PTR> arguments;
    for (const std::wstring& insert : inserts) {
      arguments.push_back(reinterpret_cast<DWORD_PTR>(insert.c_str()));
    }
    wchar_t text[2048];
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module_,
        id, 0, text, static_cast<DWORD>(std::size(text)),
        reinterpret_cast<va_list*>(arguments.data()));
    if (length == 0) {
      if (error != nullptr) *error = GetLastError();
      return std::nullopt;
    }
    return toUtf8(std::wstring(text, length).c_str());
  }

 private:
  HMODULE module_;
};

class EventSourcesTest : public ::testing::Test {
 protected:
  void SetUp() override { clean(); }
  void TearDown() override { clean(); }

  static void clean() {
    removeServiceRegistration();
    removeAllSettings();
    removeEventSources();
  }

  ChildRun run(const std::vector<std::string>& arguments) {
    ChildRun run = runProgram(programPath(), arguments);
    EXPECT_EQ(run.exitCode, 0u);
    return run;
  }
};

TEST_F(EventSourcesTest, InstallRegistersBothSourcesWithTheProgramsMessages) {
  ChildRun install = run({"install"});
  ASSERT_EQ(install.events.size(), 1u) << install.trace;
  EXPECT_EQ(install.events[0].text(), "install [VelunorUpdateService] success");
  for (const wchar_t* source : kSources) {
    EXPECT_EQ(messageFile(source), programPath()) << toUtf8(source);
    EXPECT_EQ(typesSupported(source), DWORD{7}) << toUtf8(source);
  }
}

// The package's removal deletes its family's key; the program's uninstall
// leaves the sources while another family's key is there, whose events must
// stay readable.
TEST_F(EventSourcesTest, UninstallRemovesTheSourcesOnceNoFamilyIsLeft) {
  run({"install"});
  {
    FamilySettings zr700(L"ZR700");
    ChildRun kept = run({"uninstall"});
    EXPECT_EQ(kept.events.back().text(),
              "uninstall [VelunorUpdateService] success")
        << kept.trace;
    for (const wchar_t* source : kSources) {
      EXPECT_TRUE(sourceRegistered(source)) << toUtf8(source);
    }
  }
  removeAllSettings();
  ChildRun removal = run({"uninstall"});
  EXPECT_EQ(removal.events.back().text(),
            "uninstall [VelunorUpdateService] fail");  // already gone
  for (const wchar_t* source : kSources) {
    EXPECT_FALSE(sourceRegistered(source)) << toUtf8(source);
  }
}

// Events as the two deliverables write them, turned into text by the
// registered file: every one exactly its strings, with no preamble. The
// program's own install events come from its trace; the rest are written
// here through the same reporting code, among them events of two, four and
// eight strings (the arrival, the library's device match, the settings).
TEST_F(EventSourcesTest, ARecordedEventFormatsToExactlyItsText) {
  ChildRun install = run({"install"});
  std::optional<std::wstring> path = messageFile(kLibraryEventSource);
  ASSERT_TRUE(path.has_value());
  MessageFile file(*path);
  ASSERT_TRUE(file.loaded());

  for (const TraceEvent& event : install.events) {
    EXPECT_EQ(file.format(event.id, event.strings), lines(event.strings));
  }

  EventRecorder recorder;
  reportEvent(EVENTLOG_INFORMATION_TYPE, L"initial service success");
  reportEventFormat(EVENTLOG_ERROR_TYPE,
                    "can not load velunorUpdateExport.dll: %d", 126);
  const char* arrival[] = {"ZR700 Arrival",
                           "\\\\?\\USB#VID_1234&PID_9206#SN1#{guid}"};
  reportEventStrings(EVENTLOG_INFORMATION_TYPE, arrival, 2);
  const char* match[] = {"serial_number : ", "VLNR-SN-000123",
                         "dev_vendor : ", ""};
  reportEventStrings(EVENTLOG_INFORMATION_TYPE, match, 4);
  const char* settings[] = {"update file : ", "fw.bin", "bForce : ", "1",
                            "bUpdate : ",     "0",      "version : ", "V1.0.7"};
  reportEventStrings(EVENTLOG_INFORMATION_TYPE, settings, 8);
  // A text that ends with a line break, and one with a percent sign, which a
  // message would take for an insert: both shown as they are.
  reportEvent(EVENTLOG_SUCCESS, L"Transfer Time: 50%%1\n");

  std::vector<RecordedEvent> events = recorder.events();
  ASSERT_EQ(events.size(), 6u);
  for (const RecordedEvent& event : events) {
    EXPECT_EQ(file.format(event.id, event.strings), lines(event.strings))
        << event.text();
  }
  EXPECT_EQ(file.format(events[4].id, events[4].strings),
            "update file : \r\nfw.bin\r\nbForce : \r\n1\r\nbUpdate : "
            "\r\n0\r\nversion : \r\nV1.0.7");
}

// The table's reach: every ID up to kEventMessageReach has the message of
// every number of strings up to kEventMostStrings, and nothing beyond, where
// a viewer shows its preamble before the strings.
TEST_F(EventSourcesTest, TheTableReachesEveryIdAndNumberOfStringsItDeclares) {
  run({"install"});
  std::optional<std::wstring> path = messageFile(kServiceName);
  ASSERT_TRUE(path.has_value());
  MessageFile file(*path);
  ASSERT_TRUE(file.loaded());
  for (WORD count = 1; count <= kEventMostStrings; ++count) {
    Strings strings;
    for (WORD i = 0; i < count; ++i) strings.push_back("s" + std::to_string(i));
    const std::string expected = lines(strings);
    for (DWORD sequence = 1; sequence <= kEventMessageReach; ++sequence) {
      std::optional<std::string> text =
          file.format(eventIdentifier(sequence, count), strings);
      if (text != expected) {
        ADD_FAILURE() << "ID " << sequence << ", " << count << " strings: "
                      << text.value_or("no message");
        break;
      }
    }
    DWORD error = 0;
    EXPECT_EQ(file.format(eventIdentifier(kEventMessageReach + 1, count),
                          strings, &error),
              std::nullopt);
    EXPECT_EQ(error, DWORD{ERROR_MR_MID_NOT_FOUND});
    EXPECT_EQ(file.format(eventIdentifier(0, count), strings, &error),
              std::nullopt);
  }
  Strings nine(9, "s");
  EXPECT_EQ(file.format(eventIdentifier(1, kEventMostStrings + 1), nine),
            std::nullopt);
}

}  // namespace
