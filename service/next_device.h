// What the service does once a try has ended, or a device turned out to
// have its image already: every device and every family on the PC is served
// before the service removes itself. The devices present are looked at in
// turn; one of a family with settings that has neither taken the family's
// image nor had its try in this run waits, and is upgraded next, after the
// settle wait and second look of an arrival. With none waiting, the service
// removes itself once every family with settings has a finished try.
#ifndef VELUNOR_SERVICE_NEXT_DEVICE_H_
#define VELUNOR_SERVICE_NEXT_DEVICE_H_

#include <windows.h>

#include "service/device_family.h"
#include "service/outcome_record.h"
#include "service/service_context.h"

enum class NextStep {
  kWait,     // a family still waits for its device's arrival
  kUpgrade,  // `path` waits for its family's image
  kRemove,   // every family is served
};

struct NextDevice {
  NextStep step = NextStep::kWait;
  // Whether a device of the family asked about waits too.
  bool familyWaits = false;
  wchar_t path[kDevicePathUnits] = {};
};

// The try that has just ended: its family had settings, and counts as
// served when the try finished, whatever its record could be told; a device
// that went away before the update started waits for its own arrival.
struct EndedTry {
  const DeviceFamily* family;
  const wchar_t* devicePath;
  bool finished;
};

// Looks at the present devices and the families' records, after `ended`
// (null for the scan at start and an arrival). A device found to have taken
// its family's image gets the event that says so and counts as done.
NextDevice lookForNext(ServiceContext* context, const EndedTry* ended);

// Whether the device at `devicePath` took `image` already (its record's
// entry says it crossed the line with it): then, after the event that says
// so, the family's record counts it as done, and so does this run.
bool alreadyTookImage(ServiceContext* context, const DeviceFamily& family,
                      const wchar_t* devicePath, const ImageDigest& image);

// Upgrades the device at `devicePath` as an arrival would, on a thread of its
// own, once `waitFor` (a thread handle it takes over, or null) has ended.
void upgradeNext(ServiceContext* context, const wchar_t* devicePath,
                 HANDLE waitFor);

// Acts on `next` for a procedure that is not a worker: an arrival of a
// device that had its image, or the scan at start.
void actOnNext(ServiceContext* context, const NextDevice& next);

#endif  // VELUNOR_SERVICE_NEXT_DEVICE_H_
