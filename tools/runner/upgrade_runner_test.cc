// The runner as a person uses it: a separate process with its output, its
// exit code and, for a real run, the verdict of the virtual device it drove.
#include <gtest/gtest.h>
#include <windows.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "testing/program_files.h"
#include "testing/runner_folder.h"
#include "testing/upgrade/test_drivers_folder.h"

namespace {

struct RunnerRun {
  DWORD exitCode = 0;
  std::string written;  // standard output and standard error together
  std::string output;   // the same with the line ends of a text file as "\n"
};

std::string withPlainLineEnds(const std::string& text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    plain += text[i];
  }
  return plain;
}

// A carriage return that does not end a line: a console redraw.
bool redrawsALine(const std::string& written) {
  return withPlainLineEnds(written).find('\r') != std::string::npos;
}

class UpgradeRunnerTest : public testing::Test {
 protected:
  void SetUp() override {
    name_ = testing::UnitTest::GetInstance()->current_test_info()->name();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    scratch_ = std::wstring(temp) + L"vlnr5_runner_" + widen(name_);
    CreateDirectoryW(scratch_.c_str(), nullptr);
    ASSERT_TRUE(runnerFolder_.made()) << "the runner's folder was not made";
  }

  void TearDown() override {
    for (const wchar_t* file :
         {L"output.txt", L"r.txt", L"virtual_device_script.txt",
          L"virtual_device_record.txt", L"virtual_device_verdict.txt"}) {
      DeleteFileW((scratch_ + L"\\" + file).c_str());
    }
    RemoveDirectoryW(scratch_.c_str());
  }

  // As from a prompt that is not elevated, unless `elevated`.
  RunnerRun run(const std::wstring& arguments, bool elevated = false) {
    std::wstring outputPath = scratch_ + L"\\output.txt";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE output =
        CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                    &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(output, INVALID_HANDLE_VALUE);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = output;
    std::wstring program = runnerFolder_.file(L"upgrade_runner.exe");
    std::wstring line = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    RunnerRun result;
    if (elevated ? CreateProcessW(program.c_str(), &line[0], nullptr, nullptr,
                                  TRUE, 0, nullptr, nullptr, &startup,
                                  &process)
                 : startUnelevated(program, line, &startup, &process)) {
      WaitForSingleObject(process.hProcess, INFINITE);
      GetExitCodeProcess(process.hProcess, &result.exitCode);
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    } else {
      ADD_FAILURE() << "runner not started: " << GetLastError();
    }
    CloseHandle(output);
    result.written = readFile(outputPath);
    result.output = withPlainLineEnds(result.written);
    return result;
  }

  std::wstring library() const {
    return L"\"" + runnerFolder_.file(L"velunorUpdateExport.dll") + L"\"";
  }

  // The device that the runner's process plays reads this script.
  void plug(const std::string& script) {
    std::ofstream file((scratch_ + L"\\virtual_device_script.txt").c_str());
    file << script;
  }

  RunnerRun runWithDevice(const std::wstring& arguments,
                          bool elevated = false) {
    SetEnvironmentVariableW(L"VELUNOR_VIRTUAL_DEVICE_DIR", scratch_.c_str());
    RunnerRun result = run(arguments, elevated);
    SetEnvironmentVariableW(L"VELUNOR_VIRTUAL_DEVICE_DIR", nullptr);
    return result;
  }

  std::string verdict() const {
    return readFile(scratch_ + L"\\virtual_device_verdict.txt");
  }

  RunnerFolder runnerFolder_;  // the runner, the library, the virtual device
  std::string name_;
  std::wstring scratch_;
};

TEST_F(UpgradeRunnerTest, WithoutArgumentsItShowsTheUsage) {
  RunnerRun result = run(L"");
  EXPECT_EQ(result.exitCode, 2u);
  EXPECT_NE(result.output.find("usage: "), std::string::npos);
  EXPECT_NE(
      result.output.find("DEVICE_PATH UPDATE_FILE VERSION BFORCE BUPDATE"),
      std::string::npos);
}

// Elevated, as Wine runs every program, in a folder of the temporary folder
// that its user owns: refused before anything beside it is loaded, and the
// device is never opened. `status` loads nothing and runs.
TEST_F(UpgradeRunnerTest, ElevatedInAFolderOfTheUserItRefuses) {
  plug("");
  const std::wstring& path = runnerFolder_.path();
  std::string folder(path.begin(), path.end());  // ASCII: the test's own
  folder.pop_back();  // named without its trailing backslash
  const std::string refusal =
      "error: refused to run elevated: " + folder + " is owned by ";
  for (const std::wstring& arguments :
       {library() + L" auto fw.bin V1 0 1", std::wstring(L"list"),
        L"list " + library(),
        L"--record " + scratch_ + L"\\r.txt " + library() +
            L" auto fw.bin V1 0 1"}) {
    SCOPED_TRACE(std::string(arguments.begin(), arguments.end()));
    RunnerRun result = runWithDevice(arguments, /*elevated=*/true);
    EXPECT_EQ(result.exitCode, 11u);
    EXPECT_NE(result.output.find(refusal), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("not by SYSTEM, Administrators or "
                                 "TrustedInstaller"),
              std::string::npos);
    EXPECT_EQ(verdict(), "");
  }
  EXPECT_EQ(GetFileAttributesW((scratch_ + L"\\r.txt").c_str()),
            INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(run(L"status", /*elevated=*/true).exitCode, 11u);
}

TEST_F(UpgradeRunnerTest, FlagThatIsNotANumberIsRefused) {
  RunnerRun result = run(library() + L" \\\\?\\usb#x fw.bin V1 yes 1");
  EXPECT_EQ(result.exitCode, 2u);
  EXPECT_NE(result.output.find("BFORCE and BUPDATE must be numbers"),
            std::string::npos);
  result = run(library() + L" \\\\?\\usb#x fw.bin V1 0 256");
  EXPECT_EQ(result.exitCode, 2u);
}

TEST_F(UpgradeRunnerTest, MissingLibraryIsAnError) {
  RunnerRun result =
      run(L"C:\\nowhere\\velunorUpdateExport.dll \\\\?\\usb#x "
          L"fw.bin V1 0 1");
  EXPECT_EQ(result.exitCode, 4u);
  EXPECT_NE(result.output.find("error: cannot load the upgrade library "
                               "C:\\nowhere\\velunorUpdateExport.dll"),
            std::string::npos)
      << result.output;
}

TEST_F(UpgradeRunnerTest, LibraryWithoutTheExportIsAnError) {
  // The virtual AdbWinApi.dll is a library, but not the upgrade library.
  std::wstring other = L"\"" + runnerFolder_.file(L"AdbWinApi.dll") + L"\"";
  RunnerRun result = run(other + L" \\\\?\\usb#x fw.bin V1 0 1");
  EXPECT_EQ(result.exitCode, 5u);
  EXPECT_NE(result.output.find("has no export letsStartUpgrade"),
            std::string::npos)
      << result.output;
}

// The runner may be started from any folder, as an administrator: the
// library's import AdbWinApi.dll comes from beside the library (or System32),
// never from the current directory or a folder on PATH.
TEST_F(UpgradeRunnerTest, TheLibraryGetsAdbWinApiOnlyFromBesideIt) {
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  ASSERT_EQ(GetFileAttributesW((std::wstring(system) + L"\\AdbWinApi.dll").c_str()),
            INVALID_FILE_ATTRIBUTES)
      << "System32 of the test prefix holds an AdbWinApi.dll";
  const std::wstring adbWinApi = runnerFolder_.file(L"AdbWinApi.dll");
  const std::wstring libraryFolder = scratch_ + L"\\library";
  const std::wstring currentFolder = scratch_ + L"\\current";
  const std::wstring pathFolder = scratch_ + L"\\on_path";
  const std::wstring besideLibrary = libraryFolder + L"\\AdbWinApi.dll";
  const std::vector<std::wstring> files = {
      libraryFolder + L"\\velunorUpdateExport.dll", besideLibrary,
      currentFolder + L"\\AdbWinApi.dll", pathFolder + L"\\AdbWinApi.dll"};
  for (const std::wstring& folder : {libraryFolder, currentFolder, pathFolder}) {
    CreateDirectoryW(folder.c_str(), nullptr);
  }
  ASSERT_TRUE(CopyFileW(runnerFolder_.file(L"velunorUpdateExport.dll").c_str(),
                        files[0].c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(adbWinApi.c_str(), files[2].c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(adbWinApi.c_str(), files[3].c_str(), FALSE));
  wchar_t savedDirectory[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, savedDirectory);
  std::wstring savedPath(GetEnvironmentVariableW(L"PATH", nullptr, 0), L'\0');
  GetEnvironmentVariableW(L"PATH", savedPath.data(),
                          static_cast<DWORD>(savedPath.size()));
  savedPath.resize(wcslen(savedPath.c_str()));
  SetCurrentDirectoryW(currentFolder.c_str());
  SetEnvironmentVariableW(L"PATH", (pathFolder + L";" + savedPath).c_str());

  struct Case {
    bool besideLibrary;
    DWORD exitCode;
    const char* output;
  };
  for (const Case& c :
       {Case{false, 4u, "error: cannot load the upgrade library"},
        Case{true, 0u, "ZR700   \\\\?\\USB#VID_3F3A&PID_9206"}}) {
    SCOPED_TRACE(c.besideLibrary ? "beside the library" : "not beside it");
    if (c.besideLibrary) {
      EXPECT_TRUE(CopyFileW(adbWinApi.c_str(), besideLibrary.c_str(), FALSE));
    }
    RunnerRun result = runWithDevice(L"list \"" + files[0] + L"\"");
    EXPECT_EQ(result.exitCode, c.exitCode) << result.output;
    EXPECT_NE(result.output.find(c.output), std::string::npos) << result.output;
  }

  SetCurrentDirectoryW(savedDirectory);
  SetEnvironmentVariableW(L"PATH", savedPath.c_str());
  for (const std::wstring& file : files) DeleteFileW(file.c_str());
  for (const std::wstring& folder : {libraryFolder, currentFolder, pathFolder}) {
    RemoveDirectoryW(folder.c_str());
  }
}

TEST_F(UpgradeRunnerTest, UpgradesTheDeviceItIsGiven) {
  std::string key = "vlnr5_runner_" + name_ + "_fw.bin";
  TestDriversFolder drivers;
  ASSERT_TRUE(drivers.addFile(key, std::string(50000, 'r')));
  // The device in the runner's process reads its script from here.
  {
    std::ofstream script((scratch_ + L"\\virtual_device_script.txt").c_str());
    script << "interface \\\\?\\usb#vid_3f3a&pid_9206#rn1#"
              "{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}\n"
              "serial RN1\n";
  }
  SetEnvironmentVariableW(L"VELUNOR_VIRTUAL_DEVICE_DIR", scratch_.c_str());
  RunnerRun result = run(library() +
                         L" \\\\?\\USB#VID_3F3A&PID_9206#RN1#"
                         L"{6B11E5BB-F5CA-4902-9615-773B3D2F2FEC} " +
                         widen(key) + L" V9.9 0 1");
  SetEnvironmentVariableW(L"VELUNOR_VIRTUAL_DEVICE_DIR", nullptr);
  EXPECT_EQ(result.exitCode, 0u) << result.output;
  EXPECT_NE(result.output.find("result 0: every matching update file was "
                               "downloaded"),
            std::string::npos)
      << result.output;
  std::string verdict = readFile(scratch_ + L"\\virtual_device_verdict.txt");
  EXPECT_NE(verdict.find("image_size=50000"), std::string::npos) << verdict;
  EXPECT_NE(verdict.find("md5_verified=1"), std::string::npos) << verdict;
  EXPECT_NE(verdict.find("update_started=1"), std::string::npos) << verdict;
  EXPECT_NE(verdict.find("version=V9.9"), std::string::npos) << verdict;
}

TEST_F(UpgradeRunnerTest, DeviceThatIsNotThereIsReported) {
  {
    std::ofstream script((scratch_ + L"\\virtual_device_script.txt").c_str());
    script << "interface \\\\?\\usb#someone_else\n";
  }
  SetEnvironmentVariableW(L"VELUNOR_VIRTUAL_DEVICE_DIR", scratch_.c_str());
  RunnerRun result = run(library() + L" \\\\?\\usb#nobody fw.bin V1 0 1");
  SetEnvironmentVariableW(L"VELUNOR_VIRTUAL_DEVICE_DIR", nullptr);
  // Not listed from the start: the library's "went away" is no device.
  EXPECT_EQ(result.exitCode, 3u);
  EXPECT_NE(result.output.find("result 2: the device was not found"),
            std::string::npos)
      << result.output;
}

TEST_F(UpgradeRunnerTest, NoMatchingFileIsAFailureThatSaysSo) {
  // The image is there, but in capitals: the library's search does not
  // match it, so nothing may be reported as downloaded.
  std::string key = "vlnr5_runner_" + name_ + "_fw.bin";
  std::string stored = key;
  for (char& c : stored) c = static_cast<char>(toupper(c));
  TestDriversFolder drivers;
  ASSERT_TRUE(drivers.addFile(stored, "image"));
  plug("interface \\\\?\\usb#vid_3f3a&pid_9206#nm1#"
       "{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}\n");
  RunnerRun result = runWithDevice(library() +
                                   L" \\\\?\\USB#VID_3F3A&PID_9206#NM1#"
                                   L"{6B11E5BB-F5CA-4902-9615-773B3D2F2FEC} " +
                                   widen(key) + L" V1 0 1");
  EXPECT_EQ(result.exitCode, 1u) << result.output;
  std::vector<std::string> lines;
  std::istringstream stream(result.output);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "result 1: no update file matched " + key +
                              " in C:\\Windows\\System32\\drivers");
  EXPECT_EQ(verdict().find("announced=1"), std::string::npos) << verdict();
  EXPECT_TRUE(
      std::ifstream(TestDriversFolder::path(stored).c_str()).good());
}

// --- Listing and choosing the device ---

// Interfaces of the class as the virtual device's script declares them, and
// the line the runner shows for each.
constexpr char kClass[] = "{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}";

std::string interfaceLine(const std::string& instance) {
  return "interface \\\\?\\usb#" + instance + "#" + kClass + "\n";
}

TEST_F(UpgradeRunnerTest, ListShowsEveryDeviceOfTheClass) {
  struct Case {
    const char* name;
    bool throughLibrary;  // list LIBRARY, else the AdbWinApi.dll beside it
    std::string script;
    DWORD exitCode;
    std::string shown;
  };
  const Case cases[] = {
      {"one", false, interfaceLine("vid_3f3a&pid_9206#rn1") + "serial RN1\n", 0,
       std::string("ZR700   \\\\?\\USB#VID_3F3A&PID_9206#RN1#") + kClass +
           "  serial RN1\n"},
      {"three", true,
       interfaceLine("vid_3f3a&pid_9101#rn2") + "serial RN2\n" +
           interfaceLine("vid_3f3a&pid_9206#rn3") + "no_serial\n" +
           interfaceLine("vid_3f3a&pid_0042#rn4") + "serial RN4\n",
       0,
       std::string("RK7x10  \\\\?\\USB#VID_3F3A&PID_9101#RN2#") + kClass +
           "  serial RN2\n" + "ZR700   \\\\?\\USB#VID_3F3A&PID_9206#RN3#" +
           kClass + "  no serial number\n" +
           "other   \\\\?\\USB#VID_3F3A&PID_0042#RN4#" + kClass +
           "  serial RN4\n"},
      {"none", false, interfaceLine("vid_3f3a&pid_9206#rn5") + "present 0\n", 3,
       "no device of the update interface class is connected\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    plug(c.script);
    RunnerRun result =
        runWithDevice(c.throughLibrary ? L"list " + library() : L"list");
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(result.output, c.shown);
  }
}

TEST_F(UpgradeRunnerTest, AutoUpgradesTheOnlyDevice) {
  std::string key = "vlnr5_runner_" + name_ + "_fw.bin";
  TestDriversFolder drivers;
  ASSERT_TRUE(drivers.addFile(key, std::string(30000, 'a')));
  plug(interfaceLine("vid_3f3a&pid_9206#rn6") + "serial RN6\n");
  RunnerRun result =
      runWithDevice(library() + L" auto " + widen(key) + L" V7.0 0 1");
  EXPECT_EQ(result.exitCode, 0u) << result.output;
  std::string path = std::string("\\\\?\\USB#VID_3F3A&PID_9206#RN6#") + kClass;
  EXPECT_NE(result.output.find("auto: the one connected device is\nZR700   " +
                               path + "  serial RN6\n"),
            std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("upgrading " + path + " with " + key +
                               ", version V7.0, bForce 0, bUpdate 1\n"),
            std::string::npos)
      << result.output;
  EXPECT_NE(verdict().find("image_received=1"), std::string::npos);
  EXPECT_NE(verdict().find("update_started=1"), std::string::npos);
}

TEST_F(UpgradeRunnerTest, AutoRefusesNoDeviceAndSeveralWithTheList) {
  struct Case {
    const char* name;
    std::string script;
    std::vector<std::string> shown;
  };
  const Case cases[] = {
      {"two",
       interfaceLine("vid_3f3a&pid_9206#rn7") + "serial RN7\n" +
           interfaceLine("vid_3f3a&pid_9105#rn8") + "serial RN8\n",
       {"error: auto takes the one connected device, and there are 2; name "
        "one of them as DEVICE_PATH:\n",
        std::string("ZR700   \\\\?\\USB#VID_3F3A&PID_9206#RN7#") + kClass +
            "  serial RN7\n",
        std::string("RK7x10  \\\\?\\USB#VID_3F3A&PID_9105#RN8#") + kClass +
            "  serial RN8\n"}},
      {"none",
       interfaceLine("vid_3f3a&pid_9206#rn9") + "present 0\n",
       {"error: auto takes the one connected device, and there is none\n"
        "no device of the update interface class is connected\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    plug(c.script);
    RunnerRun result = runWithDevice(library() + L" auto fw.bin V1 0 1");
    EXPECT_EQ(result.exitCode, 2u);
    for (const std::string& line : c.shown) {
      EXPECT_NE(result.output.find(line), std::string::npos) << line << "in:\n"
                                                             << result.output;
    }
    EXPECT_EQ(result.output.find("upgrading"), std::string::npos);
    EXPECT_EQ(verdict().find("announced=1"), std::string::npos);
  }
}

// --- The download as it goes ---

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) lines.push_back(line);
  return lines;
}

struct CountLine {
  size_t index;  // among the lines
  uint64_t sent;
  uint64_t size;
  unsigned percent;
};

std::vector<CountLine> countLinesOf(const std::vector<std::string>& lines) {
  std::vector<CountLine> counts;
  for (size_t i = 0; i < lines.size(); ++i) {
    CountLine count{i, 0, 0, 0};
    if (std::sscanf(lines[i].c_str(), "%" SCNu64 " of %" SCNu64 " bytes %u %%",
                    &count.sent, &count.size, &count.percent) == 3) {
      counts.push_back(count);
    }
  }
  return counts;
}

size_t indexOf(const std::vector<std::string>& lines, const std::string& line) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == line) return i;
  }
  return lines.size();
}

// Twelve full segments of 4 MiB and a short one. After each full segment
// the library waits 200 ms before it asks the device for its count, so the
// data takes more than two seconds however fast the machine is: a file gets
// at least one line before the one of the whole image.
constexpr uint64_t kMultiSegmentImage = 12 * 4194304 + 12345;

class RunnerProgressTest : public UpgradeRunnerTest {
 protected:
  void SetUp() override {
    UpgradeRunnerTest::SetUp();
    key_ = "vlnr5_runner_" + name_ + "_fw.bin";
    ASSERT_TRUE(drivers_.addFile(key_, std::string(kMultiSegmentImage, 'p')));
  }

  RunnerRun upgrade(const std::string& script) {
    plug(interfaceLine("vid_3f3a&pid_9206#rp1") + script);
    return runWithDevice(library() + L" \\\\?\\USB#VID_3F3A&PID_9206#RP1#" +
                         widen(kClass) + L" " + widen(key_) + L" V8.1 0 1");
  }

  // Counts in a file are plain lines that only go up, each with its percent.
  static void expectRisingPlainCounts(const std::vector<CountLine>& counts) {
    uint64_t before = 0;
    for (const CountLine& count : counts) {
      EXPECT_EQ(count.size, kMultiSegmentImage);
      EXPECT_GE(count.sent, before);
      EXPECT_EQ(count.percent, count.sent * 100 / kMultiSegmentImage);
      before = count.sent;
    }
  }

  TestDriversFolder drivers_;
  std::string key_;
};

TEST_F(RunnerProgressTest, MultiSegmentImageRisesToTheWholeImageInPlainLines) {
  RunnerRun result = upgrade("");
  EXPECT_EQ(result.exitCode, 0u) << result.output;
  // Redirected to a file: lines, never a redraw.
  EXPECT_FALSE(redrawsALine(result.written));
  std::vector<std::string> lines = linesOf(result.output);
  std::vector<CountLine> counts = countLinesOf(lines);
  ASSERT_GE(counts.size(), 2u) << result.output;
  expectRisingPlainCounts(counts);
  // 100 % once, when the device has the whole image, before the digest.
  EXPECT_EQ(counts.back().sent, kMultiSegmentImage);
  EXPECT_EQ(counts.back().percent, 100u);
  for (size_t i = 0; i + 1 < counts.size(); ++i) {
    EXPECT_LT(counts[i].percent, 100u);
  }
  size_t sending =
      indexOf(lines, "sending " + TestDriversFolder::path(key_) + ": " +
                         std::to_string(kMultiSegmentImage) + " bytes");
  size_t digest =
      indexOf(lines, "checking the image's MD5 digest on the device");
  size_t start = indexOf(lines, "starting the update on the device");
  size_t done = indexOf(
      lines, "done: the device verified the image and started the update");
  ASSERT_LT(done, lines.size()) << result.output;
  EXPECT_LT(sending, counts.front().index);
  EXPECT_EQ(digest, counts.back().index + 1);
  EXPECT_LT(digest, start);
  EXPECT_LT(start, done);
  EXPECT_EQ(lines.back(),
            "result 0: every matching update file was downloaded");
  std::string device = verdict();
  EXPECT_NE(device.find("bytes_received=" + std::to_string(kMultiSegmentImage)),
            std::string::npos)
      << device;
  EXPECT_NE(device.find("md5_verified=1"), std::string::npos) << device;
}

TEST_F(RunnerProgressTest, DevicePulledMidwayShowsWhereItStoodAndEnds) {
  // In the second segment, inside a write: the library's data phase ends
  // short of the image, and the device is no longer listed: it went away
  // before the update started.
  RunnerRun result = upgrade("unplug_at 5000000\n");
  EXPECT_EQ(result.exitCode, 8u) << result.output;
  EXPECT_FALSE(redrawsALine(result.written));
  std::vector<std::string> lines = linesOf(result.output);
  std::vector<CountLine> counts = countLinesOf(lines);
  expectRisingPlainCounts(counts);
  for (const CountLine& count : counts) EXPECT_LT(count.sent, 5000000u);
  // The writes the device took before it went: 305 of 16 KiB.
  size_t removed = indexOf(
      lines, "the device was removed at 4997120 of " +
                 std::to_string(kMultiSegmentImage) + " bytes (" +
                 std::to_string(4997120 * 100 / kMultiSegmentImage) + " %)");
  ASSERT_LT(removed, lines.size()) << result.output;
  EXPECT_GT(removed, counts.empty() ? 0 : counts.back().index);
  EXPECT_EQ(indexOf(lines, "checking the image's MD5 digest on the device"),
            lines.size());
  EXPECT_EQ(lines.back(),
            "result 2: the device went away before the update started; "
            "nothing on it changed");
  std::string device = verdict();
  EXPECT_NE(device.find("unplugged=1"), std::string::npos) << device;
  EXPECT_NE(device.find("bytes_received=5000000"), std::string::npos) << device;
}

TEST_F(RunnerProgressTest, DeviceRemovedWhileTheLibraryWaitsEndsTheUpgrade) {
  // The count after the second segment is refused, and the device is gone
  // a moment later, while the library waits out its five minutes before
  // the retry. The runner sees it missing from its listing and cancels, as
  // the service would on the removal.
  RunnerRun result = upgrade("pull get_sync_status 2 wait 1500\n");
  EXPECT_EQ(result.exitCode, 8u) << result.output;
  EXPECT_FALSE(redrawsALine(result.written));
  std::vector<std::string> lines = linesOf(result.output);
  std::vector<CountLine> counts = countLinesOf(lines);
  expectRisingPlainCounts(counts);
  const uint64_t twoSegments = 2 * 4194304;
  for (const CountLine& count : counts) EXPECT_LE(count.sent, twoSegments);
  size_t removed = indexOf(
      lines, "the device was removed at " + std::to_string(twoSegments) +
                 " of " + std::to_string(kMultiSegmentImage) + " bytes (" +
                 std::to_string(twoSegments * 100 / kMultiSegmentImage) +
                 " %)");
  ASSERT_LT(removed, lines.size()) << result.output;
  EXPECT_GT(removed, counts.empty() ? 0 : counts.back().index);
  EXPECT_EQ(indexOf(lines, "checking the image's MD5 digest on the device"),
            lines.size());
  EXPECT_EQ(lines.back(),
            "result 2: the device went away before the update started; "
            "nothing on it changed");
  // Cancelled, not killed: the library closed the device on its way out.
  EXPECT_LT(indexOf(lines, "usb_close"), removed) << result.output;
  std::string device = verdict();
  EXPECT_NE(device.find("unplugged=1"), std::string::npos) << device;
  EXPECT_NE(device.find("bytes_received=" + std::to_string(twoSegments)),
            std::string::npos)
      << device;
}

}  // namespace
