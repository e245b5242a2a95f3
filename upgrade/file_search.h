// The search for update image files: a directory and its plain
// subdirectories, every entry whose name contains the update-file name.
#ifndef VELUNOR_UPGRADE_FILE_SEARCH_H_
#define VELUNOR_UPGRADE_FILE_SEARCH_H_

#include <cstddef>
#include <cstdint>

#include "upgrade/usb_transport.h"

// Each level forms its search pattern and its paths in buffers of this size;
// longer paths are cut.
constexpr size_t kSearchPathBytes = 512;

// The per-file download: 0 for success.
using SendImageFunction = int32_t (*)(Transport* transport,
                                      const char* imagePath,
                                      const char* version, uint8_t bUpdate,
                                      uint8_t bSegmented, uint8_t bForce);

// Sends `directory`\`updateFile` once for every entry of `directory` whose
// name contains `updateFile`, and descends into plain subdirectories.
// Adds one to *matchCount per matching entry sent; returns the number of
// successful sends. A file without the call's expected digest
// (image_digest.h) is not sent, and once a start request went out nothing
// more is: each such entry is named in an event and not counted.
int32_t traverseUpdateFiles(const char* directory, const char* updateFile,
                            SendImageFunction sendImage, Transport* transport,
                            const char* version, uint8_t bUpdate,
                            uint8_t bSegmented, uint8_t bForce,
                            int32_t* matchCount);

#endif  // VELUNOR_UPGRADE_FILE_SEARCH_H_
