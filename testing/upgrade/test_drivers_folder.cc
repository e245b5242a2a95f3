#include "testing/upgrade/test_drivers_folder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>

#include "platform/host/host_testing.h"
#endif

#include "common/upgrade_contract.h"

TestDriversFolder::TestDriversFolder() {
#ifndef _WIN32
  char folder[] = "/tmp/velunor-drivers-XXXXXX";
  if (mkdtemp(folder) != nullptr) host_root_ = folder;
  hostSetDriversDirectory(host_root_.c_str());
#endif
}

TestDriversFolder::~TestDriversFolder() {
  for (auto entry = made_.rbegin(); entry != made_.rend(); ++entry) {
    std::string name = local(entry->relative);
#ifdef _WIN32
    SetFileAttributesA(name.c_str(), entry->directory ? FILE_ATTRIBUTE_DIRECTORY
                                                      : FILE_ATTRIBUTE_NORMAL);
    if (entry->directory) {
      RemoveDirectoryA(name.c_str());
    } else {
      DeleteFileA(name.c_str());
    }
#else
    if (entry->directory) {
      chmod(name.c_str(), 0755);
      rmdir(name.c_str());
    } else {
      unlink(name.c_str());
    }
#endif
  }
#ifndef _WIN32
  hostSetDriversDirectory(nullptr);
  if (!host_root_.empty()) rmdir(host_root_.c_str());
#endif
}

std::string TestDriversFolder::path(const std::string& relative) {
  return std::string(kDriversFolder) + "\\" + relative;
}

std::string TestDriversFolder::nameOfThisTest(const char* suffix) {
  return std::string("vlnr5_") +
         testing::UnitTest::GetInstance()->current_test_info()->name() + suffix;
}

std::string TestDriversFolder::local(const std::string& relative) const {
#ifdef _WIN32
  return path(relative);
#else
  std::string name = host_root_ + "/" + relative;
  for (size_t i = host_root_.size(); i < name.size(); ++i) {
    if (name[i] == '\\') name[i] = '/';
  }
  return name;
#endif
}

bool TestDriversFolder::addFile(const std::string& relative,
                                const std::string& contents) {
  FILE* file = std::fopen(local(relative).c_str(), "wb");
  if (file == nullptr) return false;
  made_.push_back(Entry{relative, false});
  bool written =
      std::fwrite(contents.data(), 1, contents.size(), file) == contents.size();
  return std::fclose(file) == 0 && written;
}

bool TestDriversFolder::addDirectory(const std::string& relative) {
  std::string name = local(relative);
#ifdef _WIN32
  if (!CreateDirectoryA(name.c_str(), nullptr)) return false;
#else
  if (mkdir(name.c_str(), 0755) != 0) return false;
#endif
  made_.push_back(Entry{relative, true});
  return true;
}

bool TestDriversFolder::markDirectory(const std::string& relative,
                                      unsigned attributes) {
  std::string name = local(relative);
#ifdef _WIN32
  DWORD wanted = ((attributes & kReadOnly) != 0 ? FILE_ATTRIBUTE_READONLY : 0) |
                 ((attributes & kHidden) != 0 ? FILE_ATTRIBUTE_HIDDEN : 0) |
                 ((attributes & kSystem) != 0 ? FILE_ATTRIBUTE_SYSTEM : 0);
  return SetFileAttributesA(name.c_str(), wanted) &&
         (GetFileAttributesA(name.c_str()) & wanted) == wanted;
#else
  if ((attributes & kHidden) != 0) {
    size_t cut = relative.find_last_of('\\');
    std::string leaf =
        cut == std::string::npos ? relative : relative.substr(cut + 1);
    if (leaf.empty() || leaf[0] != '.') return false;
  }
  if ((attributes & kSystem) != 0) return false;
  return (attributes & kReadOnly) == 0 || chmod(name.c_str(), 0555) == 0;
#endif
}
