// The runner as a person uses it: a separate process with its output, its
// exit code and, for a real run, the verdict of the virtual device it drove.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "testing/upgrade/test_drivers_folder.h"

namespace {

std::wstring folderOfThisProgram() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

std::wstring widen(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

std::string readFile(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  std::stringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

struct RunnerRun {
  DWORD exitCode = 0;
  std::string output;  // standard output and standard error together
};

class UpgradeRunnerTest : public testing::Test {
 protected:
  void SetUp() override {
    name_ = testing::UnitTest::GetInstance()->current_test_info()->name();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    scratch_ = std::wstring(temp) + L"vlnr5_runner_" + widen(name_);
    CreateDirectoryW(scratch_.c_str(), nullptr);
  }

  void TearDown() override {
    for (const wchar_t* file :
         {L"output.txt", L"virtual_device_script.txt",
          L"virtual_device_record.txt", L"virtual_device_verdict.txt"}) {
      DeleteFileW((scratch_ + L"\\" + file).c_str());
    }
    RemoveDirectoryW(scratch_.c_str());
  }

  RunnerRun run(const std::wstring& arguments) {
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
    std::wstring program = folderOfThisProgram() + L"upgrade_runner.exe";
    std::wstring line = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    RunnerRun result;
    if (CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0,
                       nullptr, nullptr, &startup, &process)) {
      WaitForSingleObject(process.hProcess, INFINITE);
      GetExitCodeProcess(process.hProcess, &result.exitCode);
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    } else {
      ADD_FAILURE() << "runner not started: " << GetLastError();
    }
    CloseHandle(output);
    result.output = readFile(outputPath);
    return result;
  }

  std::wstring library() const {
    return L"\"" + folderOfThisProgram() + L"velunorUpdateExport.dll\"";
  }

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
  std::wstring other = L"\"" + folderOfThisProgram() + L"AdbWinApi.dll\"";
  RunnerRun result = run(other + L" \\\\?\\usb#x fw.bin V1 0 1");
  EXPECT_EQ(result.exitCode, 5u);
  EXPECT_NE(result.output.find("has no export letsStartUpgrade"),
            std::string::npos)
      << result.output;
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
  EXPECT_EQ(result.exitCode, 3u);
  EXPECT_NE(result.output.find("result -1: the device was not found"),
            std::string::npos)
      << result.output;
}

}  // namespace
