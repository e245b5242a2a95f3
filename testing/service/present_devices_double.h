// Stands in for the device installation calls with which the service lists
// the devices present at its start: the test says which interface paths are
// present, may hold the listing until it lets it go, and sees every list
// handed out destroyed again.
#ifndef VELUNOR_TESTING_SERVICE_PRESENT_DEVICES_DOUBLE_H_
#define VELUNOR_TESTING_SERVICE_PRESENT_DEVICES_DOUBLE_H_

// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "testing/import_patch.h"

// A ZR700 and an RK7x10 as enumeration names them, and as their arrivals
// are announced.
inline const wchar_t kZr700Listed[] =
    L"\\\\?\\usb#vid_3f3a&pid_9206#vlnr-sn-000123#"
    L"{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}";
inline const wchar_t kZr700Announced[] =
    L"\\\\?\\USB#VID_3F3A&PID_9206#VLNR-SN-000123#"
    L"{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}";
inline const wchar_t kRk7x10Listed[] =
    L"\\\\?\\usb#vid_3f3a&pid_9105#rk-1#"
    L"{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}";
inline const wchar_t kRk7x10Announced[] =
    L"\\\\?\\USB#VID_3F3A&PID_9105#RK-1#"
    L"{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}";

class PresentDevicesDouble {
 public:
  PresentDevicesDouble();
  ~PresentDevicesDouble();
  PresentDevicesDouble(const PresentDevicesDouble&) = delete;
  PresentDevicesDouble& operator=(const PresentDevicesDouble&) = delete;

  // What the test sets before the listing.
  std::vector<std::wstring> paths;  // the present interfaces, in order
  DWORD listingError = 0;           // not 0: the listing fails with it
  // Called as the listing starts, on the listing's thread.
  std::function<void()> onListing;
  // Lists `path` too, unless the same device (in any letter case) already
  // is: a device that has just arrived is there.
  void connect(const std::wstring& path);

  // What the code under test did.
  int listsMade() const { return made_; }
  int listsDestroyed() const { return destroyed_; }
  GUID listedClass() const;
  DWORD listedFlags() const;

  // For the fakes.
  HDEVINFO makeList(const GUID* interfaceClass, DWORD flags);
  bool interfaceAt(HDEVINFO list, const GUID* interfaceClass, DWORD index,
                   SP_DEVICE_INTERFACE_DATA* data);
  bool detailOf(HDEVINFO list, const SP_DEVICE_INTERFACE_DATA* data,
                SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD size,
                DWORD* required);
  bool destroy(HDEVINFO list);

 private:
  mutable std::mutex lock_;
  std::atomic<int> made_{0};
  std::atomic<int> destroyed_{0};
  GUID class_ = {};
  DWORD flags_ = 0;
  std::vector<std::unique_ptr<ImportPatch>> patches_;
};

#endif  // VELUNOR_TESTING_SERVICE_PRESENT_DEVICES_DOUBLE_H_
