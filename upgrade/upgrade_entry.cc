#include "upgrade/upgrade_entry.h"

#include <memory>
#include <type_traits>

#include "common/event_report.h"
#include "common/system_paths.h"
#include "upgrade/device_discovery.h"
#include "upgrade/file_search.h"
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

namespace {

// Every update image goes out with a count confirmation after each segment.
constexpr uint8_t kSegmented = 1;

int32_t sendEveryUpdateFile(const char* driversFolder, Transport* transport,
                            uint8_t bForce, uint8_t bUpdate,
                            const char* updateFile, const char* version) {
  int32_t matchCount = 0;
  int32_t successes = traverseUpdateFiles(
      driversFolder, updateFile, veluSendImageFile, transport, version,
      bUpdate, kSegmented, bForce, &matchCount);
  int32_t result = kUpgradeSucceeded;
  if (matchCount == 0) {
    // Nothing sent is no success: the service would delete the image it
    // never sent (the folder ignores case where the search does not).
    reportEventFormat(EVENTLOG_ERROR_TYPE,
                      "no update file matches %s in %s", updateFile,
                      driversFolder);
    result = kUpgradeDownloadFailed;
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
                   GUID interfaceGuid) {
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
                    interfaceGuid);
}

extern "C" void letsCancelUpgrade() { setUpgradeCancel(); }

extern "C" int32_t letsStartUpgradeWithProgress(
    uint8_t bForce, uint8_t bUpdate, const WCHAR* devicePath,
    const char* updateFile, const char* version, GUID interfaceGuid,
    UpgradeProgressCallback callback, void* context) {
  ProgressListening listening(callback, context);
  return runUpgrade(bForce, bUpdate, devicePath, updateFile, version,
                    interfaceGuid);
}
