// Who a device is, as the outcome record keys it: its vendor and product IDs
// and its serial number (or instance) from its interface path, lower case,
// so that a device is the same one in every letter case its path comes in,
// through every port and every restart.
#ifndef VELUNOR_SERVICE_DEVICE_IDENTITY_H_
#define VELUNOR_SERVICE_DEVICE_IDENTITY_H_

#include <cstddef>
#include <mutex>

// Room for the identity of a path of MAX_PATH units, NUL included.
constexpr size_t kIdentityUnits = 260;

// "vid_1234&pid_9206#abc123" for \\?\usb#vid_1234&pid_9206#ABC123#{guid}:
// the path's part between its bus and its class GUID. Empty when the path
// has no such part, or that part could not name a registry key.
struct DeviceIdentity {
  wchar_t text[kIdentityUnits];
};

DeviceIdentity identityOf(const wchar_t* devicePath);

// The devices whose try has ended in this run of the service: one try each,
// whatever it came to, unless it went away before the update started. A
// slim record of fixed size; a device beyond it is tried once more at most.
class ServedDevices {
 public:
  void add(const DeviceIdentity& identity);
  bool contains(const DeviceIdentity& identity) const;

 private:
  static constexpr size_t kCapacity = 32;
  mutable std::mutex lock_;
  DeviceIdentity served_[kCapacity] = {};
  size_t count_ = 0;
};

#endif  // VELUNOR_SERVICE_DEVICE_IDENTITY_H_
