// The recorder as a support engineer uses it: `upgrade_runner --record` in
// front of the virtual device, in a process of its own. The recorded run must
// end as the same run without the recorder, with the same traffic at the
// device; the recording must replay in this (Windows) build to the same
// result. The recorder is the one beside the runner, and it forwards to the
// AdbWinApi.dll beside the library, the virtual device. Set
// VELUNOR_KEEP_RECORDINGS to a folder to keep the recordings
// (testing/fuzz/corpus/recordings/ holds the ones the host tests replay).
#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/upgrade_contract.h"
#include "testing/program_files.h"
#include "testing/runner_folder.h"
#include "testing/upgrade/recorded_scenarios.h"
#include "testing/upgrade/test_drivers_folder.h"
#include "testing/virtual_device/replay.h"

void PrintTo(const RecordedScenario& scenario, std::ostream* out) {
  *out << scenario.name;
}

namespace {

// The device's record of the calls it saw, without what differs between two
// processes by nature: thread IDs, buffer addresses and payloads (which
// carry the host's clock).
std::vector<std::string> deviceTraffic(const std::wstring& recordFile) {
  std::vector<std::string> lines;
  std::istringstream record(readFile(recordFile));
  for (std::string line; std::getline(record, line);) {
    std::istringstream words(line);
    std::string kept;
    for (std::string word; words >> word;) {
      if (word.rfind("thread=", 0) == 0 || word.rfind("buffer=", 0) == 0 ||
          word.rfind("payload=", 0) == 0) {
        continue;
      }
      kept += word + " ";
    }
    lines.push_back(kept);
  }
  return lines;
}

// An ASCII path as the recording writes it.
std::string narrow(const std::wstring& path) {
  return std::string(path.begin(), path.end());
}

// The names in a folder.
std::vector<std::wstring> namesIn(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

// Runs a program of the machine Wine runs on (a Unix one), as Wine starts
// it for a Windows program. Wine neither waits for its end nor passes its
// exit code on: the caller waits for what it does.
void runUnixProgram(const wchar_t* program, std::wstring line) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program, &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    return;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

// The Unix path of a Windows one, under Wine; empty elsewhere.
std::wstring unixPath(const std::wstring& path) {
  using Function = char* (*)(LPCWSTR);
  auto function = reinterpret_cast<Function>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                     "wine_get_unix_file_name")));
  char* text = function != nullptr ? function(path.c_str()) : nullptr;
  if (text == nullptr) return std::wstring();
  std::wstring unix = widen(text);
  HeapFree(GetProcessHeap(), 0, text);
  return unix;
}

// Whether a link is at `link` (or, with `there` false, nothing is), waited
// for up to a minute: a Unix program does its work after Wine returns.
bool linkIs(const std::wstring& link, bool there) {
  for (int tries = 0; tries < 600; ++tries) {
    DWORD attributes = GetFileAttributesW(link.c_str());
    bool found = attributes != INVALID_FILE_ATTRIBUTES &&
                 (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (found == there) return true;
    // A real wait; the process is signalled only when it ends.
    WaitForSingleObject(GetCurrentProcess(), 100);
  }
  return false;
}

// A link at `link` to the folder `target`: under Wine a Unix symbolic link,
// which Wine shows as a reparse point, as Windows shows a junction.
bool makeFolderLink(const std::wstring& link, const std::wstring& target) {
  std::wstring from = unixPath(target);
  std::wstring to = unixPath(link);
  if (from.empty() || to.empty()) {
    return CreateSymbolicLinkW(link.c_str(), target.c_str(),
                               SYMBOLIC_LINK_FLAG_DIRECTORY) != 0;
  }
  runUnixProgram(L"Z:\\bin\\ln",
                 L"ln -s \"" + from + L"\" \"" + to + L"\"");
  return linkIs(link, true);
}

void removeFolderLink(const std::wstring& link) {
  std::wstring unix = unixPath(link);
  if (unix.empty()) {
    RemoveDirectoryW(link.c_str());
  } else {
    runUnixProgram(L"Z:\\bin\\rm", L"rm -f \"" + unix + L"\"");
    linkIs(link, false);
  }
}

struct RunnerRun {
  DWORD exitCode = 0;
  std::vector<std::string> traffic;
  std::string verdict;
};

class RunnerFixture : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::string name;
    for (const char* c =
             testing::UnitTest::GetInstance()->current_test_info()->name();
         *c != 0; ++c) {
      name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    }
    scratch_ = std::wstring(temp) + L"vlnr22_recorder_" + widen(name);
    CreateDirectoryW(scratch_.c_str(), nullptr);
    recording_ = scratch_ + L"\\recording.txt";
    ASSERT_TRUE(runnerFolder_.made()) << "the runner's folder was not made";
  }

  void TearDown() override {
    for (const wchar_t* file :
         {L"output.txt", L"recording.txt", L"virtual_device_script.txt",
          L"virtual_device_record.txt", L"virtual_device_verdict.txt"}) {
      DeleteFileW((scratch_ + L"\\" + file).c_str());
    }
    RemoveDirectoryW(scratch_.c_str());
  }

  // The runner against a device playing `script`, in a process of its own,
  // with the library `library` (default: the shipped one in the runner's
  // folder, beside the virtual device's AdbWinApi.dll).
  RunnerRun runner(const std::wstring& before, const RecordedScenario& scenario,
                   std::wstring library = std::wstring()) {
    {
      std::ofstream script((scratch_ + L"\\virtual_device_script.txt").c_str());
      script << scenario.script;
    }
    DeleteFileW((scratch_ + L"\\virtual_device_record.txt").c_str());
    if (library.empty())
      library = runnerFolder_.file(L"velunorUpdateExport.dll");
    SetEnvironmentVariableW(L"VELUNOR_VIRTUAL_DEVICE_DIR", scratch_.c_str());
    std::wstring output = scratch_ + L"\\output.txt";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                             &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = out;
    std::wstring program = runnerFolder_.file(L"upgrade_runner.exe");
    std::wstring line = L"\"" + program + L"\" " + before + L"\"" + library +
                        L"\" auto " +
                        widen(scenarioUpdateFile(scenario)) + L" " +
                        widen(kScenarioVersion) + L" 0 " +
                        std::to_wstring(scenario.bUpdate);
    PROCESS_INFORMATION process{};
    RunnerRun run;
    if (startUnelevated(program, line, &startup, &process)) {
      WaitForSingleObject(process.hProcess, INFINITE);
      GetExitCodeProcess(process.hProcess, &run.exitCode);
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    } else {
      ADD_FAILURE() << "runner not started: " << GetLastError();
    }
    CloseHandle(out);
    SetEnvironmentVariableW(L"VELUNOR_VIRTUAL_DEVICE_DIR", nullptr);
    run.traffic = deviceTraffic(scratch_ + L"\\virtual_device_record.txt");
    run.verdict = readFile(scratch_ + L"\\virtual_device_verdict.txt");
    output_ = readFile(output);
    return run;
  }

  RunnerFolder runnerFolder_;  // the runner, the library, the virtual device
  std::wstring scratch_;
  std::wstring recording_;
  std::string output_;
};

class RecorderTest : public RunnerFixture,
                     public testing::WithParamInterface<RecordedScenario> {};

TEST_P(RecorderTest, RecordedRunEndsAsThePlainRunAndReplaysToTheSameResult) {
  const RecordedScenario& scenario = GetParam();
  TestDriversFolder drivers;
  ASSERT_TRUE(drivers.addFile(scenarioUpdateFile(scenario),
                              scenarioImage(scenario.imageSize)));
  RunnerRun plain = runner(L"", scenario);
  ASSERT_FALSE(plain.traffic.empty()) << output_;

  RunnerRun recorded = runner(L"--record \"" + recording_ + L"\" ", scenario);

  EXPECT_EQ(recorded.exitCode, plain.exitCode) << output_;
  EXPECT_EQ(recorded.traffic, plain.traffic);
  EXPECT_EQ(recorded.verdict, plain.verdict);
  std::string text = readFile(recording_);
  EXPECT_EQ(text.rfind("velunor-usb-recording 1\nrun device_path=", 0), 0u)
      << text.substr(0, 200);
  // The library's own calls (the serial number, the interface name) went
  // through the recorder loaded beside the runner, although the library's
  // folder holds another AdbWinApi.dll, which the recorder forwarded to.
  std::string folder = narrow(runnerFolder_.path());
  EXPECT_NE(text.find("\n# recorder " + folder +
                      "recorder\\AdbWinApi.dll\n"
                      "# forwarding to " +
                      folder + "AdbWinApi.dll\n"),
            std::string::npos)
      << text.substr(0, 600);
  EXPECT_NE(text.find("text=VLNR-SN-000123"), std::string::npos);
  EXPECT_NE(text.find("name=\\\\?\\usb#vid_3f3a&pid_9206#vlnr-sn-000123#"),
            std::string::npos);

  // The same upgrade in this process, answered from the recording.
  HMODULE library =
      LoadLibraryW((shippedFolder() + L"velunorUpdateExport.dll").c_str());
  ASSERT_NE(library, nullptr);
  auto letsStartUpgrade = reinterpret_cast<LetsStartUpgradeFunction>(
      reinterpret_cast<void*>(GetProcAddress(library, kUpgradeExportName)));
  ASSERT_NE(letsStartUpgrade, nullptr);
  char message[512] = {};
  ASSERT_TRUE(vdev::startReplay(text.data(), text.size(), message,
                                sizeof message))
      << message;
  int32_t result = letsStartUpgrade(
      0, scenario.bUpdate, widen(kScenarioDevice).c_str(),
      scenarioUpdateFile(scenario).c_str(), kScenarioVersion,
      kUpdateDeviceClass);
  EXPECT_TRUE(vdev::endReplay(message, sizeof message)) << message;
  // The runner's exit code for each result the scenarios end with.
  const DWORD exitCode = result == kUpgradeDeviceWentAway
                             ? 8u
                             : static_cast<DWORD>(result);
  EXPECT_EQ(exitCode, recorded.exitCode);
  FreeLibrary(library);

  wchar_t keep[MAX_PATH];
  if (GetEnvironmentVariableW(L"VELUNOR_KEEP_RECORDINGS", keep, MAX_PATH) > 0) {
    CopyFileW(recording_.c_str(),
              (std::wstring(keep) + L"\\" + widen(scenario.name) + L".txt")
                  .c_str(),
              FALSE);
  }
}

// An earlier recording is never written over, and nothing is left behind.
TEST_F(RunnerFixture, RecordRefusesAnExistingFile) {
  const RecordedScenario& scenario = kRecordedScenarios[0];
  TestDriversFolder drivers;
  ASSERT_TRUE(drivers.addFile(scenarioUpdateFile(scenario),
                              scenarioImage(scenario.imageSize)));
  {
    std::ofstream earlier(recording_.c_str(), std::ios::binary);
    earlier << "an earlier recording\n";
  }
  RunnerRun run = runner(L"--record \"" + recording_ + L"\" ", scenario);

  EXPECT_EQ(run.exitCode, 7u) << output_;
  EXPECT_NE(output_.find("cannot make the recording"), std::string::npos)
      << output_;
  EXPECT_EQ(readFile(recording_), "an earlier recording\n");
  EXPECT_TRUE(run.traffic.empty()) << "the device was reached";
}

// A link in the recording's path (a junction a user swapped in beside the
// file) is not followed: the runner runs elevated, and would make its file
// where the link points. Nothing is made there, and the device is not
// reached.
TEST_F(RunnerFixture, RecordRefusesAPathThroughALink) {
  const RecordedScenario& scenario = kRecordedScenarios[0];
  TestDriversFolder drivers;
  ASSERT_TRUE(drivers.addFile(scenarioUpdateFile(scenario),
                              scenarioImage(scenario.imageSize)));
  std::wstring target = scratch_ + L"\\elsewhere";
  std::wstring link = scratch_ + L"\\link";
  // What a run that was stopped half way left.
  removeFolderLink(link);
  DeleteFileW((target + L"\\recording.txt").c_str());
  RemoveDirectoryW(target.c_str());
  ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr)) << GetLastError();
  ASSERT_TRUE(makeFolderLink(link, target));

  RunnerRun run =
      runner(L"--record \"" + link + L"\\recording.txt\" ", scenario);
  std::vector<std::wstring> made = namesIn(target);
  removeFolderLink(link);
  DeleteFileW((target + L"\\recording.txt").c_str());
  RemoveDirectoryW(target.c_str());

  EXPECT_EQ(run.exitCode, 7u) << output_;
  EXPECT_NE(output_.find("is reached through a link"), std::string::npos)
      << output_;
  EXPECT_EQ(made, (std::vector<std::wstring>{L".", L".."}));
  EXPECT_TRUE(run.traffic.empty()) << "the device was reached";
}

// The temporary folder plays no part: one that does not exist stops nothing,
// and one with a planted folder named like a recording's and an
// AdbWinApi.dll in it is neither read nor written.
TEST_F(RunnerFixture, RecordUsesNoTemporaryFolder) {
  const RecordedScenario& scenario = kRecordedScenarios[0];
  TestDriversFolder drivers;
  ASSERT_TRUE(drivers.addFile(scenarioUpdateFile(scenario),
                              scenarioImage(scenario.imageSize)));
  std::wstring temp = scratch_ + L"\\temp";
  std::wstring planted = temp + L"\\velunor_record_1_1";
  ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(planted.c_str(), nullptr));
  {
    std::ofstream dll((planted + L"\\AdbWinApi.dll").c_str());
    dll << "not a library\n";
  }
  wchar_t savedTemp[MAX_PATH], savedTmp[MAX_PATH];
  GetEnvironmentVariableW(L"TEMP", savedTemp, MAX_PATH);
  GetEnvironmentVariableW(L"TMP", savedTmp, MAX_PATH);
  std::vector<std::wstring> before = namesIn(planted);

  SetEnvironmentVariableW(L"TEMP", planted.c_str());
  SetEnvironmentVariableW(L"TMP", planted.c_str());
  RunnerRun planted_run = runner(L"--record \"" + recording_ + L"\" ", scenario);
  DeleteFileW(recording_.c_str());
  std::wstring missing = scratch_ + L"\\no_such_folder";
  SetEnvironmentVariableW(L"TEMP", missing.c_str());
  SetEnvironmentVariableW(L"TMP", missing.c_str());
  RunnerRun missing_run = runner(L"--record \"" + recording_ + L"\" ", scenario);
  SetEnvironmentVariableW(L"TEMP", savedTemp);
  SetEnvironmentVariableW(L"TMP", savedTmp);

  EXPECT_EQ(planted_run.exitCode, 0u) << output_;
  EXPECT_EQ(missing_run.exitCode, 0u) << output_;
  EXPECT_EQ(namesIn(planted), before);
  EXPECT_EQ(namesIn(temp).size(), 3u);  // ".", ".." and the planted folder
  DeleteFileW((planted + L"\\AdbWinApi.dll").c_str());
  RemoveDirectoryW(planted.c_str());
  RemoveDirectoryW(temp.c_str());
}

// A library with no AdbWinApi.dll beside it (nor one in the system folder):
// the recorder fails every call, says why in the recording, and the runner
// finds no device to take for auto.
TEST_F(RunnerFixture, RecorderWithoutTheRealLibrarySaysSo) {
  const RecordedScenario& scenario = kRecordedScenarios[0];
  std::wstring library = scratch_ + L"\\velunorUpdateExport.dll";
  ASSERT_TRUE(CopyFileW((shippedFolder() + L"velunorUpdateExport.dll").c_str(),
                        library.c_str(), FALSE));
  RunnerRun run = runner(L"--record \"" + recording_ + L"\" ", scenario,
                         library);
  DeleteFileW(library.c_str());
  EXPECT_EQ(run.exitCode, 2u) << output_;
  EXPECT_NE(output_.find("(AdbWinApi found none: error 126)"),
            std::string::npos)
      << output_;
  std::string text = readFile(recording_);
  EXPECT_NE(text.find(": not loaded, every call fails with error 126\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\n1 AdbEnumInterfaces "), std::string::npos) << text;
  EXPECT_NE(text.find("-> result=0 error=126 "), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, RecorderTest,
                         testing::ValuesIn(kRecordedScenarios),
                         [](const testing::TestParamInfo<RecordedScenario>& info) {
                           std::string name;
                           for (const char* c = info.param.name; *c; ++c) {
                             if (*c != '-') name += *c;
                           }
                           return name;
                         });

}  // namespace
