#include "service/update_image.h"

#include <cstdio>
#include <cstring>

#include "common/system_paths.h"

bool isPlainFileName(const char* name) {
  if (name[0] == '\0' || std::strcmp(name, ".") == 0 ||
      std::strcmp(name, "..") == 0) {
    return false;
  }
  return std::strpbrk(name, "\\/:") == nullptr;
}

bool updateFilePath(const char* updateFile,
                    char (&path)[kUpdateFilePathBytes]) {
  const SystemPaths* paths = systemPaths();
  if (paths == nullptr || !isPlainFileName(updateFile)) return false;
  int length = snprintf(path, sizeof path, "%s%s",
                        paths->driversFolderForDeletion, updateFile);
  return length >= 0 && static_cast<size_t>(length) < sizeof path;
}

ImageDigest imageDigestOf(const char* updateFile, const char* sha256) {
  ImageDigest digest = {};
  if (sha256 != nullptr && sha256[0] != '\0') {
    snprintf(digest.hex, sizeof digest.hex, "%s", sha256);
    return digest;
  }
  char path[kUpdateFilePathBytes];
  if (!updateFilePath(updateFile, path)) return digest;
  return digestOfFile(path);
}
