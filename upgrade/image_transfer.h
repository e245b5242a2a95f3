// Downloading one update image to the device: announce it, stream it in
// 16 KiB chunks with a byte-count confirmation after every 4 MiB, have the
// device check its MD5 digest and, when asked, start the update.
#ifndef VELUNOR_UPGRADE_IMAGE_TRANSFER_H_
#define VELUNOR_UPGRADE_IMAGE_TRANSFER_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "common/upgrade_contract.h"
#include "upgrade/usb_transport.h"

// Bytes per bulk write, from one reused buffer.
constexpr size_t kImageChunkSize = 16384;
// Bytes between two confirmations of the device's count (bSegmented set).
constexpr uint64_t kImageSegmentLength = 4194304;
// Block size of the digest's read.
constexpr size_t kDigestReadSize = 1048576;
// Room for the digest text: 32 hexadecimal digits and a zero byte fit.
constexpr size_t kDigestTextBufferSize = 40;
constexpr int kAnnounceAttempts = 5;
constexpr uint32_t kAbortWaitMs = 200;

// Downloads the image file at `path` over `transport`. Returns kImageSent or
// the code of the step that failed (the kImage* results of
// common/upgrade_contract.h).
int veluSendImageFile(Transport* transport, const char* path,
                      const char* version, uint8_t bUpdate, uint8_t bSegmented,
                      uint8_t bForce);

// Writes the MD5 digest of the file at `path` into `text` as 32 lower-case
// hexadecimal digits and a zero byte (`text` holds at least 33 bytes).
// 0, or -1 when the file cannot be opened, -2 when the read buffer cannot be
// obtained, -3 when a read failed.
int generateMd5Sum(const char* path, char* text);

// An open image file, closed when its owner lets go of it.
struct ImageFileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using ImageFile = std::unique_ptr<FILE, ImageFileCloser>;

// The data phase: sends the image from its start, `segment_length` bytes per
// segment, and confirms the device's count after every full segment. The file
// is closed before it returns. 0 when the data ran out: at the file's end, at
// a failed read (`read_failed` then set) or at a failed write; `total` then
// holds the bytes the device accepted. kImageChunkBufferNotObtained,
// kImageSegmentSyncFailed or kImageSegmentCountDisagreed.
int veluSyncData(Transport* transport, ImageFile image, uint64_t segment_length,
                 uint64_t* total, bool* read_failed);

// Where the procedure's chunk and digest buffers come from (malloc unless
// replaced; they are released with free). A replacement lets tests walk the
// paths of a failed allocation; null restores malloc.
using ImageBufferAllocator = void* (*)(size_t size);
void setImageBufferAllocator(ImageBufferAllocator allocate);

#endif  // VELUNOR_UPGRADE_IMAGE_TRANSFER_H_
