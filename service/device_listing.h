// The interfaces of a device class that are present now, as the device
// installation calls list them: the first one, or whether a given device is
// among them. The scan at the service's start and an arrival after its
// settle wait both look here.
#ifndef VELUNOR_SERVICE_DEVICE_LISTING_H_
#define VELUNOR_SERVICE_DEVICE_LISTING_H_

#include <windows.h>

#include <functional>

#include "service/service_context.h"

enum class PresentDevice { kFound, kNone, kNotListed };

// The path of the first present interface of `interfaceClass`, in the form
// its arrival would be announced with (toAnnouncedPath). kNone when none is
// present, or none whose path fits `path` whole; kNotListed, after an error
// event, when the present devices cannot be listed at all.
PresentDevice findPresentDevice(const GUID& interfaceClass,
                                wchar_t (&path)[kDevicePathUnits]);

// Whether the device at `devicePath` is among the present interfaces of
// `interfaceClass`, its path compared as the service compares paths: kFound
// or kNone; kNotListed, after an error event, when the present devices
// cannot be listed at all.
PresentDevice lookForDevice(const GUID& interfaceClass,
                            const wchar_t* devicePath);

// Hands every present interface of `interfaceClass` to `visit`, its path
// in the announced form; kNone once all were, or kNotListed, after an error
// event, when the present devices cannot be listed at all.
PresentDevice forEachPresentDevice(
    const GUID& interfaceClass,
    const std::function<void(const wchar_t* path)>& visit);

#endif  // VELUNOR_SERVICE_DEVICE_LISTING_H_
