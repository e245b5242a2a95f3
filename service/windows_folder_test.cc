// The service and the library on a PC whose Windows folder is not a drive's
// \Windows: the service loads and deletes nothing and its start ends with an
// error; the library opens no device and searches nothing. A program of its
// own, since each binary reads the folder once per process.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/system_paths.h"
#include "common/upgrade_contract.h"
#include "service/service_runtime.h"
#include "testing/event_recorder.h"
#include "testing/import_patch.h"
#include "testing/program_files.h"
#include "testing/service/service_test_support.h"

namespace {

UINT WINAPI windowsElsewhere(LPWSTR buffer, UINT size) {
  const wchar_t folder[] = L"D:\\OS\\Windows";
  if (size < sizeof folder / sizeof folder[0]) return sizeof folder;
  wcscpy(buffer, folder);
  return static_cast<UINT>(wcslen(folder));
}

TEST(WindowsFolderTest, AFolderThatIsNotADrivesWindowsStopsTheStart) {
  ImportPatch folder(nullptr, "GetSystemWindowsDirectoryW",
                     reinterpret_cast<const void*>(&windowsElsewhere));
  ASSERT_TRUE(folder.applied());
  EventRecorder recorder;
  ServiceManagerDouble manager;

  ServiceMain(0, nullptr);

  EXPECT_EQ(systemPaths(), nullptr);
  EXPECT_EQ(recorder.texts(),
            std::vector<std::string>{
                "the Windows folder is not a drive's \\Windows folder, "
                "service not started: D:\\OS\\Windows"});
  ASSERT_EQ(recorder.events().size(), 1u);
  EXPECT_EQ(recorder.events()[0].type, EVENTLOG_ERROR_TYPE);
  // No device notification: nothing will ever arrive to be loaded for.
  EXPECT_EQ(manager.notifyRecipient, nullptr);
  std::vector<StatusReport> reports = manager.statusReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].status.dwCurrentState, DWORD{SERVICE_STOPPED});
  EXPECT_EQ(reports[0].status.dwWin32ExitCode, DWORD{ERROR_BAD_ENVIRONMENT});
}

TEST(WindowsFolderTest, TheLibrarySearchesNothingThere) {
  HMODULE library =
      LoadLibraryW((shippedFolder() + L"velunorUpdateExport.dll").c_str());
  ASSERT_NE(library, nullptr);
  ImportPatch folder(library, "GetSystemWindowsDirectoryW",
                     reinterpret_cast<const void*>(&windowsElsewhere));
  ASSERT_TRUE(folder.applied());
  EventRecorder recorder;
  recorder.watchModule(library);
  auto letsStartUpgrade = reinterpret_cast<LetsStartUpgradeFunction>(
      reinterpret_cast<void*>(GetProcAddress(library, kUpgradeExportName)));
  ASSERT_NE(letsStartUpgrade, nullptr);

  int32_t result = letsStartUpgrade(
      0, 1,
      L"\\\\?\\USB#VID_3F3A&PID_9206#SN#"
      L"{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}",
      "fw.bin", "V1", kUpdateDeviceClass);

  EXPECT_EQ(result, kUpgradeDownloadFailed);
  EXPECT_EQ(recorder.texts(),
            (std::vector<std::string>{
                "letsStartUpgrade() entry",
                "the Windows folder is not a drive's \\Windows folder, "
                "no update file searched: D:\\OS\\Windows"}));
}

}  // namespace
