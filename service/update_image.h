// The family's update image in the drivers folder, as the service names it:
// the file the setting names directly in that folder (the library sends every
// file whose name contains it, in sub-folders too), which the service deletes
// after a success, and the image's SHA-256 digest, by which the outcome
// record tells one image from the next.
#ifndef VELUNOR_SERVICE_UPDATE_IMAGE_H_
#define VELUNOR_SERVICE_UPDATE_IMAGE_H_

#include <cstddef>

#include "service/outcome_record.h"

constexpr size_t kUpdateFilePathBytes = 260;  // MAX_PATH

// The service runs as LocalSystem: a registry value must never lead it to
// delete or read anything but a file directly in the drivers folder.
bool isPlainFileName(const char* name);

// The path of the update file directly in the drivers folder; false when
// the name is not a plain file name, the path does not fit, or the drivers
// folder is not known.
bool updateFilePath(const char* updateFile,
                    char (&path)[kUpdateFilePathBytes]);

// The digest of the image a try sends: the family's `sha256` setting when
// it has one (then the library sends only a file with that digest), else
// the digest of the file the setting names; empty when neither is there.
ImageDigest imageDigestOf(const char* updateFile, const char* sha256);

#endif  // VELUNOR_SERVICE_UPDATE_IMAGE_H_
