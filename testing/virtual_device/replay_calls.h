// Inside the virtual device: the AdbWinApi calls answered from a recording
// (replay.cc), which adb_calls.cc hands each call to while a replay runs.
#ifndef VELUNOR_TESTING_VIRTUAL_DEVICE_REPLAY_CALLS_H_
#define VELUNOR_TESTING_VIRTUAL_DEVICE_REPLAY_CALLS_H_

#include "adbwinapi/adb_api.h"

namespace vdev {
namespace replayed {

bool active();

ADBAPIHANDLE enumInterfaces(const GUID& class_id, bool exclude_not_present,
                            bool exclude_removed, bool active_only);
bool nextInterface(ADBAPIHANDLE handle, void* info, AdbULong* size);
ADBAPIHANDLE createInterfaceByName(const AdbWideChar* name);
ADBAPIHANDLE openEndpoint(const char* call, ADBAPIHANDLE iface, int access,
                          int sharing);
bool text(const char* call, ADBAPIHANDLE iface, void* buffer, AdbULong* chars,
          bool ansi);
bool descriptor(const char* call, ADBAPIHANDLE iface, void* desc, size_t size);
bool endpointInformation(ADBAPIHANDLE iface, unsigned char index,
                         AdbEndpointInformation* info);
bool read(ADBAPIHANDLE endpoint, void* buffer, AdbULong size,
          AdbULong* count, AdbULong timeout);
bool write(ADBAPIHANDLE endpoint, const void* buffer, AdbULong size,
           AdbULong* count, AdbULong timeout);
bool control(ADBAPIHANDLE iface, unsigned char direction, const void* setup,
             void* buffer, AdbULong length, AdbULong* count);
bool close(ADBAPIHANDLE handle);

}  // namespace replayed
}  // namespace vdev

#endif  // VELUNOR_TESTING_VIRTUAL_DEVICE_REPLAY_CALLS_H_
