// The contract between the two deliverables: where the service finds the
// upgrade library, how it binds and calls the export, which device class it
// passes, and what the library's results mean; and the second export, through
// which the runner watches an upgrade. The service, the library, the runner
// and the tests take all of it from here, so the two sides cannot drift apart.
#ifndef VELUNOR_COMMON_UPGRADE_CONTRACT_H_
#define VELUNOR_COMMON_UPGRADE_CONTRACT_H_

#include <cstdint>

#include "platform/win32.h"

// --- Where the library and the update images live ---

// As spelt on a PC with Windows on C:. The service, the library and the
// runner use them with the Windows folder's drive in place of C
// (common/system_paths.h); the tests, under Wine's C:, use them as they are.

// The drivers folder. The library searches it for update images in this
// spelling (the paths in its events are formed from it).
constexpr char kDriversFolder[] = "C:\\Windows\\System32\\drivers";
// The service deletes a sent image by its name behind this prefix: the same
// folder, spelt as the service has always spelt it (file names on Windows
// ignore case).
constexpr char kDriversFolderForDeletion[] = "C:\\windows\\system32\\drivers\\";

// The service loads the library by this full path and no other.
constexpr WCHAR kUpgradeLibraryPath[] =
    U16("C:\\Windows\\System32\\drivers\\velunorUpdateExport.dll");

// --- The export ---

constexpr char kUpgradeExportName[] = "letsStartUpgrade";

// The export as a caller that binds it at run time sees it. The device path
// is UTF-16; the update-file name (looked for in the drivers folder) and the
// version are narrow. The library keeps none of them after the call.
using LetsStartUpgradeFunction = int32_t (*)(uint8_t bForce, uint8_t bUpdate,
                                             const WCHAR* devicePath,
                                             const char* updateFile,
                                             const char* version,
                                             GUID interfaceGuid);

// --- The export that cancels ---

// Sets the library's cancel signal for the process, from any thread, while
// letsStartUpgrade runs on another: the caller has seen the device go. From
// then on the library sends the device no request, none of its waits lasts,
// and the download in progress fails at its next step (kImageCancelled);
// letsStartUpgrade returns once the one driver call in flight has (at most a
// write's timeout, and at once on a removed device). The next call of
// letsStartUpgrade clears the signal as it begins. It takes no lock of the
// process, so it works even while the upgrading thread holds one. Bind it
// when the library is loaded, not when it is needed: binding takes the
// loader's lock.
constexpr char kUpgradeCancelExportName[] = "letsCancelUpgrade";
using LetsCancelUpgradeFunction = void (*)();

// --- The export that reports progress ---

// For a person watching an upgrade (the runner); the service does not use
// it. It runs the upgrade letsStartUpgrade runs, with the same events, the
// same traffic with the device and the same result, and tells `callback`
// (unless null, when it is letsStartUpgrade) how each update image goes out.
// Without a caller that listens, a report costs the library one test of a
// null pointer.
constexpr char kUpgradeProgressExportName[] = "letsStartUpgradeWithProgress";

// Reports come on the calling thread, inside the call, for each image in
// turn:
//   kUpgradeProgressSending        the device took the announcement; the
//                                  image's size is known, nothing sent yet
//   kUpgradeProgressBytesSent      after every bulk write the device accepted
//                                  (16 KiB at most): `bytes_sent` counts the
//                                  bytes the device took, and equals
//                                  `image_size` once it holds the whole image
//   kUpgradeProgressCheckingDigest the data is out and confirmed; the image's
//                                  MD5 digest is computed and checked by the
//                                  device
//   kUpgradeProgressStarting       the device is told to start the update
//   kUpgradeProgressImageDone      the image's download ended with `result`
//                                  (kImageSent or a failure code below); also
//                                  for an image that never reached the
//                                  device, with `image_size` 0
enum UpgradeProgressStep : int32_t {
  kUpgradeProgressSending = 1,
  kUpgradeProgressBytesSent = 2,
  kUpgradeProgressCheckingDigest = 3,
  kUpgradeProgressStarting = 4,
  kUpgradeProgressImageDone = 5,
};

// Valid only during the callback, the path included.
struct UpgradeProgress {
  int32_t step;    // an UpgradeProgressStep
  int32_t result;  // kUpgradeProgressImageDone only, else 0
  const char* image_path;
  uint64_t image_size;
  uint64_t bytes_sent;
};

using UpgradeProgressCallback = void (*)(const UpgradeProgress* progress,
                                         void* context);

using LetsStartUpgradeWithProgressFunction =
    int32_t (*)(uint8_t bForce, uint8_t bUpdate, const WCHAR* devicePath,
                const char* updateFile, const char* version, GUID interfaceGuid,
                UpgradeProgressCallback callback, void* context);

// --- The export the service calls ---

// The upgrade letsStartUpgradeWithProgress runs, checked against the image
// the package shipped. `imageSha256` is the SHA-256 of that image in
// lower-case hexadecimal (the family's `sha256` setting), or null: when it
// is given, only a matching file whose SHA-256 equals it is sent (each other
// matching file is named in an error event with both digests), and when none
// does, or the text is not 64 lower-case hexadecimal digits, the result is
// kUpgradeDownloadFailed with nothing sent. The
// service listens to the progress reports for one step alone:
// kUpgradeProgressStarting comes on the upgrading thread before the start
// request is handed to the transport, so that the service records that the
// line is being crossed before it is.
constexpr char kUpgradeCheckedExportName[] = "letsStartUpgradeChecked";
using LetsStartUpgradeCheckedFunction =
    int32_t (*)(uint8_t bForce, uint8_t bUpdate, const WCHAR* devicePath,
                const char* updateFile, const char* version, GUID interfaceGuid,
                const char* imageSha256, UpgradeProgressCallback callback,
                void* context);

// The device interface class of the update devices: the service listens for
// arrivals of this class and passes it to the export, which enumerates it.
constexpr GUID kUpdateDeviceClass = {
    0x6B11E5BB,
    0xF5CA,
    0x4902,
    {0x96, 0x15, 0x77, 0x3B, 0x3D, 0x2F, 0x2F, 0xEC}};

// --- What the export returns ---

constexpr int32_t kUpgradeSucceeded = 0;  // every matching file sent
// At least one download failed, or no file matched (the drivers folder
// holds none, or cannot be searched).
constexpr int32_t kUpgradeDownloadFailed = 1;
constexpr int32_t kUpgradeNoDevice = -1;       // not found, not opened, refused
// Not done: the device went away (or letsCancelUpgrade said so) before a
// start request was handed to the transport, so nothing on it changed and the
// image is still to be sent. A device that goes after that may be restarting
// into its new firmware: that never turns a result into this one.
constexpr int32_t kUpgradeDeviceWentAway = 2;
// Started, not confirmed: the start request went out to the device (the
// line is crossed the moment the library hands it to the transport) and the
// device did not confirm it: the request or the status read after it failed,
// or the device went away. It may be restarting into its new firmware, so it
// is never sent the image again, and nothing counts it as failed. (A status
// read after it that says failure is the device refusing the start:
// kUpgradeDownloadFailed.) Once the line is crossed the call sends the device
// nothing more, not even a further matching file.
constexpr int32_t kUpgradeStartUnconfirmed = 3;

// How the service reports the export's result once the upgrade is over.
// A success, a failed transfer and a start not confirmed have a report of
// their own; anything else is neither. (kUpgradeDeviceWentAway never gets
// here: the upgrade is not over, and the service keeps the image and waits
// for the next arrival.)
enum class UpgradeOutcome {
  kSucceeded,
  kTransferFailed,
  kStartUnconfirmed,
  kNeither
};

constexpr UpgradeOutcome upgradeOutcomeOf(int32_t result) {
  if (result == kUpgradeSucceeded) return UpgradeOutcome::kSucceeded;
  if (result == kUpgradeDownloadFailed) return UpgradeOutcome::kTransferFailed;
  if (result == kUpgradeStartUnconfirmed) {
    return UpgradeOutcome::kStartUnconfirmed;
  }
  return UpgradeOutcome::kNeither;
}

// --- What one image download returns inside the library ---

// The result of veluSendImageFile: 0, or the step that failed. The export
// folds these into kUpgradeDownloadFailed; the library's events name the
// step. Some failure points share a value (-10, -14, -22): each has a name of
// its own, the values stay.
constexpr int kImageSent = 0;
constexpr int kImageEmpty = -1;
constexpr int kImageAnnouncementNotSent = -2;
constexpr int kImageAnnouncementStatusNotRead = -3;
constexpr int kImageAbortNotSent = -4;
constexpr int kImageAnnouncementRefused = -5;  // or the device stayed busy
constexpr int kImageChunkBufferNotObtained = -6;
constexpr int kImageSegmentSyncFailed = -7;
constexpr int kImageSegmentCountDisagreed = -8;
constexpr int kImageFinalSyncFailed = -9;
constexpr int kImageFinalCountDisagreed = -10;
// The data phase ended short of the image: a read failed, or the total sent
// differs from the file's size.
constexpr int kImageNotSentWhole = -10;
constexpr int kImageDigestNotComputed = -11;  // a failed read included
constexpr int kImageDigestNotSent = -12;
constexpr int kImageDigestStatusNotRead = -13;
constexpr int kImageIntegrityCheckFailed = -14;
constexpr int kImageStartNotSent = -14;
constexpr int kImageStartStatusNotRead = -15;
constexpr int kImageStartRefused = -16;
constexpr int kImageNoTransport = -22;
constexpr int kImageNotOpened = -22;  // the file cannot be opened or sized
// 4 GiB or more: the size does not fit the announcement's 32 bits.
constexpr int kImageTooLarge = -22;
// letsCancelUpgrade ended the download.
constexpr int kImageCancelled = -23;

#endif  // VELUNOR_COMMON_UPGRADE_CONTRACT_H_
