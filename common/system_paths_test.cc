#include "common/system_paths.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string narrow(const WCHAR* text) {
  std::string out;
  for (; *text != 0; ++text) out += static_cast<char>(*text);
  return out;
}

struct Folder {
  const WCHAR* windowsFolder;
  char drive;  // 0: refused
};

// Windows' own spellings and near misses.
const Folder kFolders[] = {
    {U16("C:\\Windows"), 'C'},    {U16("C:\\WINDOWS"), 'C'},
    {U16("c:\\windows"), 'C'},    {U16("D:\\Windows"), 'D'},
    {U16("z:\\WinDows"), 'Z'},    {U16("C:\\Windows\\"), 0},
    {U16("C:\\WinNT"), 0},        {U16("C:\\Windows2"), 0},
    {U16("C:\\Win"), 0},          {U16("C:Windows"), 0},
    {U16("C:/Windows"), 0},       {U16("1:\\Windows"), 0},
    {U16("\\\\server\\Windows"), 0}, {U16("C:\\OS\\Windows"), 0},
    {U16(""), 0},
};

TEST(SystemPathsTest, PathsComeFromTheDriveOfAWindowsFolderOnly) {
  for (const Folder& folder : kFolders) {
    SCOPED_TRACE(narrow(folder.windowsFolder));
    SystemPaths paths{};
    paths.driversFolder[0] = '?';
    bool built = systemPathsFor(folder.windowsFolder, &paths);
    ASSERT_EQ(built, folder.drive != 0);
    if (!built) {
      EXPECT_EQ(paths.driversFolder[0], '?') << "changed although refused";
      continue;
    }
    std::string drive(1, folder.drive);
    EXPECT_EQ(std::string(paths.driversFolder),
              drive + ":\\Windows\\System32\\drivers");
    EXPECT_EQ(std::string(paths.driversFolderForDeletion),
              drive + ":\\windows\\system32\\drivers\\");
    EXPECT_EQ(narrow(paths.upgradeLibraryPath),
              drive + ":\\Windows\\System32\\drivers\\velunorUpdateExport.dll");
  }
}

// Windows on C: (Wine's, and the host layer's): every path as it always was.
TEST(SystemPathsTest, TheRunningSystemOnCKeepsEveryPath) {
  const SystemPaths* paths = systemPaths();
  ASSERT_NE(paths, nullptr);
  EXPECT_STREQ(paths->driversFolder, kDriversFolder);
  EXPECT_STREQ(paths->driversFolderForDeletion, kDriversFolderForDeletion);
  EXPECT_EQ(narrow(paths->upgradeLibraryPath), narrow(kUpgradeLibraryPath));
}

}  // namespace
