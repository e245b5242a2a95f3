// The present interfaces of the update class as the service lists them: the
// first one in the form its arrival is announced with, paths that do not fit
// passed over, and a listing that is refused reported as an error.
#include "service/device_listing.h"

// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/upgrade_contract.h"
#include "service/service_context.h"
#include "testing/event_recorder.h"
#include "testing/service/present_devices_double.h"

namespace {

using Strings = std::vector<std::string>;

class DeviceListingTest : public ::testing::Test {
 protected:
  EventRecorder recorder_;
};

TEST_F(DeviceListingTest, TheFirstPresentDeviceIsFoundInTheAnnouncedForm) {
  const std::wstring tooLong = L"\\\\?\\usb#vid_3f3a&pid_9206#" +
                               std::wstring(kDevicePathUnits, L'x') + L"#{c}";
  struct Case {
    const char* name;
    std::vector<std::wstring> present;
    DWORD listingError;
    PresentDevice found;
    std::wstring path;
    Strings events;
  };
  const Case cases[] = {
      {"none present", {}, 0, PresentDevice::kNone, L"", {}},
      {"one in small letters", {kZr700Listed}, 0, PresentDevice::kFound,
       kZr700Announced, {}},
      {"the first of two", {kRk7x10Listed, kZr700Listed}, 0,
       PresentDevice::kFound, kRk7x10Announced, {}},
      {"a path that does not fit is passed over", {tooLong, kZr700Listed}, 0,
       PresentDevice::kFound, kZr700Announced, {}},
      {"only a path that does not fit", {tooLong}, 0, PresentDevice::kNone,
       L"", {}},
      {"the listing refused", {kZr700Listed}, ERROR_ACCESS_DENIED,
       PresentDevice::kNotListed, L"",
       {"present devices cannot be listed: 5"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recorder_.clear();
    PresentDevicesDouble present;
    present.paths = c.present;
    present.listingError = c.listingError;
    wchar_t path[kDevicePathUnits] = L"untouched";

    EXPECT_EQ(findPresentDevice(kUpdateDeviceClass, path), c.found);

    if (c.found == PresentDevice::kFound) {
      EXPECT_EQ(std::wstring(path), c.path);
    }
    EXPECT_EQ(recorder_.texts(), c.events);
    for (const RecordedEvent& event : recorder_.events()) {
      EXPECT_EQ(event.type, EVENTLOG_ERROR_TYPE);
    }
    EXPECT_TRUE(IsEqualGUID(present.listedClass(), kUpdateDeviceClass));
    EXPECT_EQ(present.listedFlags(),
              DWORD{DIGCF_PRESENT | DIGCF_DEVICEINTERFACE});
    EXPECT_EQ(present.listsDestroyed(), present.listsMade());
  }
}

}  // namespace
