#include "upgrade/upgrade_entry.h"

#include <memory>
#include <type_traits>

#include "common/event_report.h"
#include "common/system_paths.h"
#include "upgrade/device_discovery.h"
#include "upgrade/file_search.h"
#include "upgrade/image_digest.h"
#include "upgrade/image_transfer.h"
#include "upgrade/upgrade_cancel.h"
#include "upgrade/upgrade_device.h"
#include "upgrade/upgrade_progress.h"

static_assert(
    std::is_same_v<decltype(&letsStartUpgrade), LetsStartUpgradeFunction>,
    "the export must be what its callers bind");
static_assert(std::is_same_v<decltype(&letsCancelUpgrade),
                             LetsCancelUpgradeFunction>,
              "the cancel export must be what its callers bind");
static_assert(std::is_same_v<decltype(&letsStartUpgradeWithProgress),
                             LetsStartUpgradeWithProgressFunction>,
              "the progress export must be what the runner binds");
static_assert(std::is_same_v<decltype(&letsStartUpgradeChecked),
                             LetsStartUpgradeCheckedFunction>,
              "the checked export must be what the service binds");

namespace {

// Every update image goes out with a count confirmation after each segment.
constexpr uint8_t kSegmented = 1;

constexpr char kNoMatchText[] = "no update file matches %s in %s";
constexpr char kNoMatchWithDigestText[] =
    "no update file matches %s with SHA-256 %s in %s";
constexpr char kNotSha256Text[] =
    "the image's SHA-256 is not 64 lower-case hexadecimal digits, nothing "
    "sent: %.80s";

// Nothing sent is no success: the service would delete the image it never
// sent (the folder ignores case where the search does not).
void reportNoMatch(const char* driversFolder, const char* updateFile) {
  const char* digest = expectedImageDigest();
  if (digest == nullptr) {
    reportEventFormat(EVENTLOG_ERROR_TYPE, kNoMatchText, updateFile,
                      driversFolder);
  } else {
    reportEventFormat(EVENTLOG_ERROR_TYPE, kNoMatchWithDigestText, updateFile,
                      digest, driversFolder);
  }
}

// Once the start request went out, the device's going or silence is no
// longer an upgrade not done, nor a failure: it may be restarting into its
// new firmware. A device that read back a failure refused the start.
int32_t resultAfterTheStart(bool allSent) {
  switch (startRequest()) {
    case StartRequest::kSent:
      reportEvent(EVENTLOG_WARNING_TYPE,
                  U16("the device was told to start its update and did not "
                      "confirm it"));
      return kUpgradeStartUnconfirmed;
    case StartRequest::kConfirmed:
      if (allSent) return kUpgradeSucceeded;
      break;
    case StartRequest::kRefused:
    case StartRequest::kNotSent:
      break;
  }
  reportEvent(EVENTLOG_ERROR_TYPE, U16("traverse update file fail"));
  return kUpgradeDownloadFailed;
}

int32_t sendEveryUpdateFile(const char* driversFolder, Transport* transport,
                            uint8_t bForce, uint8_t bUpdate,
                            const char* updateFile, const char* version) {
  int32_t matchCount = 0;
  int32_t successes = traverseUpdateFiles(
      driversFolder, updateFile, veluSendImageFile, transport, version,
      bUpdate, kSegmented, bForce, &matchCount);
  int32_t result = kUpgradeSucceeded;
  if (matchCount == 0) {
    reportNoMatch(driversFolder, updateFile);
    result = kUpgradeDownloadFailed;
  } else if (startRequestSent()) {
    result = resultAfterTheStart(successes == matchCount);
  } else if (successes != matchCount) {
    reportEvent(EVENTLOG_ERROR_TYPE, U16("traverse update file fail"));
    result = upgradeDeviceWentAway() ? kUpgradeDeviceWentAway
                                     : kUpgradeDownloadFailed;
  }
  reportEvent(EVENTLOG_INFORMATION_TYPE, U16("Finished traverse update file"));
  return result;
}

int32_t runUpgrade(uint8_t bForce, uint8_t bUpdate, const WCHAR* devicePath,
                   const char* updateFile, const char* version,
                   GUID interfaceGuid, const char* imageSha256) {
  clearUpgradeCancel();
  UpgradeDeviceWatch watch(devicePath, interfaceGuid);
  registerEventSource(U16("velunorUpdateExport"));
  reportEvent(EVENTLOG_INFORMATION_TYPE, U16("letsStartUpgrade() entry"));
  const SystemPaths* paths = systemPaths();
  if (paths == nullptr) {
    reportEventFormat(EVENTLOG_ERROR_TYPE,
                      "the Windows folder is not a drive's \\Windows folder, "
                      "no update file searched: %s",
                      windowsFolderName());
    return kUpgradeDownloadFailed;
  }
  if (imageSha256 != nullptr && !isSha256Text(imageSha256)) {
    reportEventFormat(EVENTLOG_ERROR_TYPE, kNotSha256Text, imageSha256);
    return kUpgradeDownloadFailed;
  }
  ExpectedImageDigest expected(imageSha256);
  std::unique_ptr<Transport> transport =
      open_usb_transport(log_device_match, devicePath, interfaceGuid);
  if (transport == nullptr) {
    reportEvent(EVENTLOG_ERROR_TYPE,
                U16("Can not open velunor update usb device"));
    // Listed but not opened or not accepted is no device for us; no longer
    // listed, it went away.
    return deviceGoneAfterFailure(0) ? kUpgradeDeviceWentAway
                                     : kUpgradeNoDevice;
  }
  // Cancelled while the device was being opened: nothing was sent yet.
  if (upgradeCancelled()) {
    reportEvent(EVENTLOG_ERROR_TYPE, U16("download cancelled"));
    transport->usb_close();
    return kUpgradeDeviceWentAway;
  }
  reportEvent(EVENTLOG_INFORMATION_TYPE,
              U16("velunor update usb device open success"));
  int32_t result = sendEveryUpdateFile(paths->driversFolder, transport.get(),
                                       bForce, bUpdate, updateFile, version);
  transport->usb_close();
  return result;
}

}  // namespace

extern "C" int32_t letsStartUpgrade(uint8_t bForce, uint8_t bUpdate,
                                    const WCHAR* devicePath,
                                    const char* updateFile, const char* version,
                                    GUID interfaceGuid) {
  return runUpgrade(bForce, bUpdate, devicePath, updateFile, version,
                    interfaceGuid, nullptr);
}

extern "C" void letsCancelUpgrade() { setUpgradeCancel(); }

extern "C" int32_t letsStartUpgradeWithProgress(
    uint8_t bForce, uint8_t bUpdate, const WCHAR* devicePath,
    const char* updateFile, const char* version, GUID interfaceGuid,
    UpgradeProgressCallback callback, void* context) {
  ProgressListening listening(callback, context);
  return runUpgrade(bForce, bUpdate, devicePath, updateFile, version,
                    interfaceGuid, nullptr);
}

extern "C" int32_t letsStartUpgradeChecked(
    uint8_t bForce, uint8_t bUpdate, const WCHAR* devicePath,
    const char* updateFile, const char* version, GUID interfaceGuid,
    const char* imageSha256, UpgradeProgressCallback callback, void* context) {
  ProgressListening listening(callback, context);
  return runUpgrade(bForce, bUpdate, devicePath, updateFile, version,
                    interfaceGuid, imageSha256);
}
