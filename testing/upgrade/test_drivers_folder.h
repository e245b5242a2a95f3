// The drivers folder for tests: under Wine the prefix's own
// C:\Windows\System32\drivers, on the host a fresh folder mapped onto that
// path. Everything a test adds is removed again when the object goes.
#ifndef VELUNOR_TESTING_UPGRADE_TEST_DRIVERS_FOLDER_H_
#define VELUNOR_TESTING_UPGRADE_TEST_DRIVERS_FOLDER_H_

#include <string>
#include <vector>

class TestDriversFolder {
 public:
  // Directory attributes a test can ask for. On the host a hidden entry is a
  // name starting with a dot, as Wine shows one.
  static constexpr unsigned kReadOnly = 0x01;
  static constexpr unsigned kHidden = 0x02;
  // Windows only: the host has no system bit.
  static constexpr unsigned kSystem = 0x04;

  TestDriversFolder();
  ~TestDriversFolder();
  TestDriversFolder(const TestDriversFolder&) = delete;
  TestDriversFolder& operator=(const TestDriversFolder&) = delete;

  // The Windows path of `relative` (backslashes) below the drivers folder.
  static std::string path(const std::string& relative);

  // A name that only the running test uses, followed by `suffix`: tests run
  // at once in one prefix must never see each other's entries.
  static std::string nameOfThisTest(const char* suffix = "");

  // Both return false when the entry could not be made as asked.
  bool addFile(const std::string& relative, const std::string& contents);
  bool addDirectory(const std::string& relative);
  // Gives a directory made before (and filled) the attributes.
  bool markDirectory(const std::string& relative, unsigned attributes);

 private:
  struct Entry {
    std::string relative;
    bool directory;
  };
  std::string local(const std::string& relative) const;
  std::string host_root_;
  std::vector<Entry> made_;
};

#endif  // VELUNOR_TESTING_UPGRADE_TEST_DRIVERS_FOLDER_H_
