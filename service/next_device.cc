#include "service/next_device.h"

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "common/event_report.h"
#include "common/upgrade_contract.h"
#include "service/device_events.h"
#include "service/device_identity.h"
#include "service/device_listing.h"
#include "service/family_settings.h"
#include "service/service_status.h"
#include "service/update_image.h"
#include "service/upgrade_worker.h"

namespace {

// A family's settings and image digest, read once per look.
struct FamilyLook {
  bool read = false;
  bool hasSettings = false;
  ImageDigest image = {};
};

size_t indexOf(const DeviceFamily& family) {
  for (size_t i = 0; i < kFamilyCount; ++i) {
    if (&familyAt(i) == &family) return i;
  }
  return kFamilyCount - 1;
}

FamilyLook& look(FamilyLook (&families)[kFamilyCount], size_t index) {
  FamilyLook& family = families[index];
  if (family.read) return family;
  family.read = true;
  FamilyImage settings;
  family.hasSettings = readFamilyImage(familyAt(index), &settings);
  if (family.hasSettings) {
    family.image = imageDigestOf(settings.updateFile, settings.sha256);
  }
  return family;
}

struct NextArrival {
  ServiceContext* context;
  HANDLE waitFor;
  wchar_t path[kDevicePathUnits];
};

DWORD WINAPI nextArrivalThread(LPVOID parameter) {
  std::unique_ptr<NextArrival> next(static_cast<NextArrival*>(parameter));
  if (next->waitFor != nullptr) {
    WaitForSingleObject(next->waitFor, INFINITE);
    CloseHandle(next->waitFor);
  }
  return arriveAfterSettle(next->context, next->path);
}

}  // namespace

bool alreadyTookImage(ServiceContext* context, const DeviceFamily& family,
                      const wchar_t* devicePath, const ImageDigest& image) {
  DeviceTook took = deviceTook(family.registryKey, devicePath, image);
  if (!took.took) return false;
  LPCWSTR strings[2] = {
      L"device already took this update image, not sent again", devicePath};
  ReportEventW(eventSource, EVENTLOG_INFORMATION_TYPE, 0, eventCounter++,
               nullptr, 2, 0, strings, nullptr);
  recordAlreadyTaken(family.registryKey, devicePath, image, took);
  context->served.add(identityOf(devicePath));
  return true;
}

NextDevice lookForNext(ServiceContext* context, const EndedTry* ended) {
  NextDevice next;
  FamilyLook families[kFamilyCount];
  const DeviceFamily* family = ended == nullptr ? nullptr : ended->family;
  const wchar_t* excluded =
      ended == nullptr || ended->finished ? nullptr : ended->devicePath;
  size_t excludedLength =
      excluded == nullptr ? 0 : wcsnlen(excluded, kDevicePathUnits);
  forEachPresentDevice(kUpdateDeviceClass, [&](const wchar_t* path) {
    const DeviceFamily& owner = familyOf(path);
    const FamilyLook& settings = look(families, indexOf(owner));
    if (!settings.hasSettings ||
        (excluded != nullptr && samePath(excluded, excludedLength, path)) ||
        context->served.contains(identityOf(path)) ||
        alreadyTookImage(context, owner, path, settings.image)) {
      return;
    }
    if (&owner == family) next.familyWaits = true;
    if (next.step == NextStep::kUpgrade) return;
    next.step = NextStep::kUpgrade;
    std::wcscpy(next.path, path);
  });
  if (next.step == NextStep::kUpgrade) return next;
  // A service with no family to serve (no settings yet) waits as it
  // always has.
  bool anyFamily = false;
  bool allFinished = true;
  for (size_t i = 0; i < kFamilyCount; ++i) {
    const DeviceFamily& each = familyAt(i);
    bool tried = &each == family;
    if (!tried && !look(families, i).hasSettings) continue;
    anyFamily = true;
    allFinished = allFinished && ((tried && ended->finished) ||
                                  familyFinished(each.registryKey));
  }
  next.step = anyFamily && allFinished ? NextStep::kRemove : NextStep::kWait;
  return next;
}

void upgradeNext(ServiceContext* context, const wchar_t* devicePath,
                 HANDLE waitFor) {
  std::unique_ptr<NextArrival> next(
      new (std::nothrow) NextArrival{context, waitFor, {}});
  HANDLE thread = nullptr;
  if (next != nullptr) {
    std::wcscpy(next->path, devicePath);
    thread = CreateThread(nullptr, 0, nextArrivalThread, next.get(), 0,
                          nullptr);
  }
  if (thread == nullptr) {
    // Its arrival, or the service's next start, serves it.
    reportEventFormat(EVENTLOG_ERROR_TYPE, "create next device thread fail: %d",
                      static_cast<int>(GetLastError()));
    if (waitFor != nullptr) CloseHandle(waitFor);
    return;
  }
  next.release();
  HANDLE earlier = context->nextThread.exchange(thread);
  if (earlier != nullptr) CloseHandle(earlier);
}

void actOnNext(ServiceContext* context, const NextDevice& next) {
  switch (next.step) {
    case NextStep::kUpgrade:
      upgradeNext(context, next.path, nullptr);
      return;
    case NextStep::kRemove:
      removeService(context, stopService);
      return;
    case NextStep::kWait:
      return;
  }
}
