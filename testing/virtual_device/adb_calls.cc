// The AdbWinApi calls, answered by the virtual device. Every call is recorded
// with its arguments; every failure leaves its reason in the last error.
// While a recording is replayed, the recording answers instead (replay.cc).
#include <algorithm>
#include <cstring>

#include "testing/virtual_device/device_state.h"
#include "testing/virtual_device/replay_calls.h"

using vdev::Call;
using vdev::InterfaceConfig;
using vdev::internal::Device;
using vdev::internal::Handle;
using vdev::internal::HandleKind;
using vdev::internal::Interface;
using vdev::internal::Session;
namespace replayed = vdev::replayed;

namespace {

namespace vi = vdev::internal;

// The device interface class the device belongs to.
constexpr uint8_t kClassGuid[16] = {0xBB, 0xE5, 0x11, 0x6B, 0xCA, 0xF5,
                                    0x02, 0x49, 0x96, 0x15, 0x77, 0x3B,
                                    0x3D, 0x2F, 0x2F, 0xEC};

// Interface flags of an enumeration entry, as the system's device setup
// reports them.
constexpr uint32_t kFlagActive = 0x1;
constexpr uint32_t kFlagRemoved = 0x4;

constexpr size_t kEntryNameOffset = 20;
constexpr uint32_t kMaxTransferSize = 1048576;
constexpr int kBulkEndpoint = 2;

uint64_t token(const void* value) { return reinterpret_cast<uintptr_t>(value); }

bool listed(const InterfaceConfig& c, bool exclude_not_present,
            bool exclude_removed, bool active_only) {
  if (exclude_not_present && !c.present) return false;
  if (exclude_removed && c.removed) return false;
  if (active_only && !c.active) return false;
  return true;
}

const Interface* interfaceOf(Session& s, void* value) {
  s.rec().handle = token(value);
  Handle* handle = vi::findHandle(s.d, value, HandleKind::kInterface);
  if (handle == nullptr) return nullptr;
  return &s.d.interfaces[handle->interface_index];
}

// The open interface a call names, its handle recorded; nullptr once the
// call has failed: a scripted fault, or no such interface.
const Interface* namedInterface(Session& s, void* value) {
  const Interface* named = interfaceOf(s, value);
  if (s.faulted()) return nullptr;
  if (named == nullptr) s.fail(vdev::kErrorGone);
  return named;
}

void* openEndpoint(Session& s, void* iface, int access, int sharing,
                   HandleKind kind) {
  s.rec().access = access;
  s.rec().sharing = sharing;
  if (namedInterface(s, iface) == nullptr) return nullptr;
  if (access < 0 || access > 3 || sharing < 0 || sharing > 3) {
    return s.failHandle(vi::kErrorInvalidParameter);
  }
  Handle endpoint;
  endpoint.kind = kind;
  endpoint.interface_index =
      vi::findHandle(s.d, iface, HandleKind::kInterface)->interface_index;
  return s.succeedHandle(vi::newHandle(s.d, endpoint));
}

// Copies a text in the form asked for (8-bit or UTF-16), with the size
// protocol of the name and serial calls: too small a buffer gets the size
// needed, terminator included.
bool copyText(Session& s, const vi::WideString& text, void* buffer,
              AdbULong* chars, bool ansi) {
  s.rec().ansi = ansi;
  s.rec().buffer = token(buffer);
  if (chars == nullptr) return s.fail(vi::kErrorInvalidParameter);
  s.rec().length = *chars;
  AdbULong needed = static_cast<AdbULong>(text.size() + 1);
  if (buffer == nullptr || *chars < needed) {
    *chars = needed;
    s.rec().moved = needed;
    return s.fail(vi::kErrorInsufficientBuffer);
  }
  if (ansi) {
    std::string bytes = vi::narrow(text);
    std::memcpy(buffer, bytes.c_str(), needed);
  } else {
    std::memcpy(buffer, text.c_str(), needed * sizeof(AdbWideChar));
  }
  *chars = needed;
  s.rec().moved = needed;
  return s.succeed();
}

}  // namespace

extern "C" {

ADB_API ADBAPIHANDLE AdbEnumInterfaces(GUID class_id, bool exclude_not_present,
                                       bool exclude_removed, bool active_only) {
  if (replayed::active()) {
    return replayed::enumInterfaces(class_id, exclude_not_present,
                                      exclude_removed, active_only);
  }
  Session s(Call::kEnumInterfaces);
  s.keep(&class_id, sizeof class_id);
  s.rec().flags[0] = exclude_not_present;
  s.rec().flags[1] = exclude_removed;
  s.rec().flags[2] = active_only;
  if (s.faulted()) return nullptr;
  Handle enumeration;
  enumeration.kind = HandleKind::kEnumeration;
  bool our_class = std::memcmp(&class_id, kClassGuid, sizeof kClassGuid) == 0;
  for (size_t i = 0;
       our_class && !s.d.verdict.unplugged && i < s.d.interfaces.size(); ++i) {
    if (listed(s.d.interfaces[i].config, exclude_not_present, exclude_removed,
               active_only)) {
      enumeration.entries.push_back(i);
    }
  }
  return s.succeedHandle(vi::newHandle(s.d, enumeration));
}

ADB_API bool AdbNextInterface(ADBAPIHANDLE adb_handle, void* info,
                              AdbULong* size) {
  if (replayed::active()) {
    return replayed::nextInterface(adb_handle, info, size);
  }
  Session s(Call::kNextInterface);
  s.rec().handle = token(adb_handle);
  s.rec().buffer = token(info);
  if (size != nullptr) s.rec().length = *size;
  if (s.faulted()) return false;
  Handle* enumeration =
      vi::findHandle(s.d, adb_handle, HandleKind::kEnumeration);
  if (enumeration == nullptr) return s.fail(vdev::kErrorGone);
  if (size == nullptr) return s.fail(vi::kErrorInvalidParameter);
  if (enumeration->next == enumeration->entries.size()) {
    return s.fail(vi::kErrorNoMoreItems);
  }
  const Interface& entry =
      s.d.interfaces[enumeration->entries[enumeration->next]];
  size_t name_bytes = (entry.name.size() + 1) * sizeof(AdbWideChar);
  AdbULong needed = static_cast<AdbULong>(kEntryNameOffset + name_bytes);
  if (info == nullptr || *size < needed) {
    *size = needed;
    return s.fail(vi::kErrorInsufficientBuffer);
  }
  auto* bytes = static_cast<uint8_t*>(info);
  uint32_t flags = (entry.config.active ? kFlagActive : 0) |
                   (entry.config.removed ? kFlagRemoved : 0);
  std::memcpy(bytes, kClassGuid, sizeof kClassGuid);
  std::memcpy(bytes + 16, &flags, sizeof flags);
  std::memcpy(bytes + kEntryNameOffset, entry.name.c_str(), name_bytes);
  *size = needed;
  s.rec().moved = needed;
  ++enumeration->next;
  return s.succeed();
}

ADB_API ADBAPIHANDLE AdbCreateInterfaceByName(const AdbWideChar* name) {
  if (replayed::active()) {
    return replayed::createInterfaceByName(name);
  }
  Session s(Call::kCreateInterfaceByName);
  if (name != nullptr) {
    vi::WideString text(name);
    s.keep(text.c_str(), (text.size() + 1) * sizeof(AdbWideChar));
  }
  if (s.faulted()) return nullptr;
  if (name == nullptr) return s.failHandle(vi::kErrorInvalidParameter);
  for (size_t i = 0; i < s.d.interfaces.size(); ++i) {
    const Interface& candidate = s.d.interfaces[i];
    if (candidate.name == name && candidate.config.present) {
      Handle iface;
      iface.kind = HandleKind::kInterface;
      iface.interface_index = i;
      return s.succeedHandle(vi::newHandle(s.d, iface));
    }
  }
  return s.failHandle(vi::kErrorFileNotFound);
}

ADB_API ADBAPIHANDLE AdbOpenDefaultBulkReadEndpoint(
    ADBAPIHANDLE adb_interface, AdbOpenAccessType access_type,
    AdbOpenSharingMode sharing_mode) {
  if (replayed::active()) {
    return replayed::openEndpoint("AdbOpenDefaultBulkReadEndpoint",
                                    adb_interface, access_type, sharing_mode);
  }
  Session s(Call::kOpenDefaultBulkReadEndpoint);
  return openEndpoint(s, adb_interface, access_type, sharing_mode,
                      HandleKind::kReadEndpoint);
}

ADB_API ADBAPIHANDLE AdbOpenDefaultBulkWriteEndpoint(
    ADBAPIHANDLE adb_interface, AdbOpenAccessType access_type,
    AdbOpenSharingMode sharing_mode) {
  if (replayed::active()) {
    return replayed::openEndpoint("AdbOpenDefaultBulkWriteEndpoint",
                                    adb_interface, access_type, sharing_mode);
  }
  Session s(Call::kOpenDefaultBulkWriteEndpoint);
  return openEndpoint(s, adb_interface, access_type, sharing_mode,
                      HandleKind::kWriteEndpoint);
}

ADB_API bool AdbGetInterfaceName(ADBAPIHANDLE adb_interface, void* buffer,
                                 AdbULong* buffer_char_size, bool ansi) {
  if (replayed::active()) {
    return replayed::text("AdbGetInterfaceName", adb_interface, buffer,
                            buffer_char_size, ansi);
  }
  Session s(Call::kGetInterfaceName);
  const Interface* iface = namedInterface(s, adb_interface);
  if (iface == nullptr) return false;
  return copyText(s, iface->name, buffer, buffer_char_size, ansi);
}

ADB_API bool AdbGetSerialNumber(ADBAPIHANDLE adb_interface, void* buffer,
                                AdbULong* buffer_char_size, bool ansi) {
  if (replayed::active()) {
    return replayed::text("AdbGetSerialNumber", adb_interface, buffer,
                            buffer_char_size, ansi);
  }
  Session s(Call::kGetSerialNumber);
  const Interface* iface = namedInterface(s, adb_interface);
  if (iface == nullptr) return false;
  if (!iface->config.has_serial) return s.fail(vi::kErrorNotFound);
  vi::WideString serial;
  for (const char* c = iface->config.serial; *c != 0; ++c) {
    serial += static_cast<AdbWideChar>(static_cast<unsigned char>(*c));
  }
  return copyText(s, serial, buffer, buffer_char_size, ansi);
}

ADB_API bool AdbGetUsbDeviceDescriptor(ADBAPIHANDLE adb_interface,
                                       AdbUsbDeviceDescriptor* desc) {
  if (replayed::active()) {
    return replayed::descriptor("AdbGetUsbDeviceDescriptor", adb_interface,
                                  desc, sizeof *desc);
  }
  Session s(Call::kGetUsbDeviceDescriptor);
  s.rec().buffer = token(desc);
  const Interface* iface = namedInterface(s, adb_interface);
  if (iface == nullptr) return false;
  if (desc == nullptr) return s.fail(vi::kErrorInvalidParameter);
  const InterfaceConfig& c = iface->config;
  *desc = AdbUsbDeviceDescriptor{18,
                                 1,
                                 0x0200,
                                 c.device_class,
                                 c.device_subclass,
                                 c.device_protocol,
                                 64,
                                 c.vendor_id,
                                 c.product_id,
                                 0x0100,
                                 1,
                                 2,
                                 static_cast<uint8_t>(c.has_serial ? 3 : 0),
                                 1};
  s.keep(desc, sizeof *desc);
  return s.succeed();
}

ADB_API bool AdbGetUsbInterfaceDescriptor(ADBAPIHANDLE adb_interface,
                                          AdbUsbInterfaceDescriptor* desc) {
  if (replayed::active()) {
    return replayed::descriptor("AdbGetUsbInterfaceDescriptor", adb_interface,
                                  desc, sizeof *desc);
  }
  Session s(Call::kGetUsbInterfaceDescriptor);
  s.rec().buffer = token(desc);
  const Interface* iface = namedInterface(s, adb_interface);
  if (iface == nullptr) return false;
  if (desc == nullptr) return s.fail(vi::kErrorInvalidParameter);
  const InterfaceConfig& c = iface->config;
  *desc = AdbUsbInterfaceDescriptor{9,
                                    4,
                                    0,
                                    0,
                                    c.num_endpoints,
                                    c.interface_class,
                                    c.interface_subclass,
                                    c.interface_protocol,
                                    0};
  s.keep(desc, sizeof *desc);
  return s.succeed();
}

ADB_API bool AdbGetEndpointInformation(ADBAPIHANDLE adb_interface,
                                       unsigned char endpoint_index,
                                       AdbEndpointInformation* info) {
  if (replayed::active()) {
    return replayed::endpointInformation(adb_interface, endpoint_index, info);
  }
  Session s(Call::kGetEndpointInformation);
  s.rec().endpoint_index = endpoint_index;
  s.rec().buffer = token(info);
  const Interface* iface = namedInterface(s, adb_interface);
  if (iface == nullptr) return false;
  if (info == nullptr || endpoint_index >= iface->config.num_endpoints) {
    return s.fail(vi::kErrorInvalidParameter);
  }
  *info = AdbEndpointInformation{};
  info->max_packet_size = iface->config.max_packet_size;
  info->max_transfer_size = kMaxTransferSize;
  info->endpoint_type = kBulkEndpoint;
  info->endpoint_address =
      static_cast<unsigned char>(endpoint_index % 2 == 0 ? 0x01 : 0x81);
  return s.succeed();
}

ADB_API bool AdbReadEndpointSync(ADBAPIHANDLE adb_endpoint, void* buffer,
                                 AdbULong bytes_to_read, AdbULong* bytes_read,
                                 AdbULong time_out) {
  if (replayed::active()) {
    return replayed::read(adb_endpoint, buffer, bytes_to_read, bytes_read,
                           time_out);
  }
  Session s(Call::kReadEndpointSync);
  s.rec().handle = token(adb_endpoint);
  s.rec().buffer = token(buffer);
  s.rec().length = bytes_to_read;
  s.rec().timeout = time_out;
  if (s.faulted()) return false;
  if (vi::findHandle(s.d, adb_endpoint, HandleKind::kReadEndpoint) == nullptr) {
    return s.fail(vdev::kErrorGone);
  }
  if (bytes_read == nullptr || (buffer == nullptr && bytes_to_read != 0)) {
    return s.fail(vi::kErrorInvalidParameter);
  }
  *bytes_read = 0;
  if (s.d.read_data.empty()) return s.fail(vi::kErrorSemTimeout);
  size_t size = std::min<size_t>(bytes_to_read, s.d.read_data.size());
  auto* out = static_cast<uint8_t*>(buffer);
  std::copy_n(s.d.read_data.begin(), size, out);
  s.d.read_data.erase(s.d.read_data.begin(),
                      s.d.read_data.begin() + static_cast<ptrdiff_t>(size));
  s.keep(out, size, vdev::kBulkPayloadKept);
  *bytes_read = static_cast<AdbULong>(size);
  s.rec().moved = *bytes_read;
  return s.succeed();
}

ADB_API bool AdbWriteEndpointSync(ADBAPIHANDLE adb_endpoint, void* buffer,
                                  AdbULong bytes_to_write,
                                  AdbULong* bytes_written, AdbULong time_out) {
  if (replayed::active()) {
    return replayed::write(adb_endpoint, buffer, bytes_to_write,
                            bytes_written, time_out);
  }
  Session s(Call::kWriteEndpointSync);
  s.rec().handle = token(adb_endpoint);
  s.rec().buffer = token(buffer);
  s.rec().length = bytes_to_write;
  s.rec().timeout = time_out;
  if (bytes_to_write != 0) {
    s.keep(buffer, bytes_to_write, vdev::kBulkPayloadKept);
  }
  if (s.faulted()) return false;
  if (vi::findHandle(s.d, adb_endpoint, HandleKind::kWriteEndpoint) ==
      nullptr) {
    return s.fail(vdev::kErrorGone);
  }
  if (vi::holdsLoaderLock(s.d)) {
    vi::holdLoaderLock(s.d);
    return s.fail(vdev::kErrorGone);
  }
  return vi::bulkWrite(s, static_cast<const uint8_t*>(buffer), bytes_to_write,
                       bytes_written);
}

ADB_API bool AdbDefaultEndpointReadWriteSync(ADBAPIHANDLE adb_interface,
                                             unsigned char direction,
                                             const void* setup, void* buffer,
                                             AdbULong length,
                                             AdbULong* bytes_transferred) {
  if (replayed::active()) {
    return replayed::control(adb_interface, direction, setup, buffer, length,
                              bytes_transferred);
  }
  Session s(Call::kDefaultEndpointReadWriteSync);
  s.rec().handle = token(adb_interface);
  bool open =
      vi::findHandle(s.d, adb_interface, HandleKind::kInterface) != nullptr;
  return vi::controlTransfer(s, open, direction,
                             static_cast<const uint8_t*>(setup), buffer, length,
                             bytes_transferred);
}

ADB_API bool AdbCloseHandle(ADBAPIHANDLE adb_handle) {
  if (replayed::active()) {
    return replayed::close(adb_handle);
  }
  Session s(Call::kCloseHandle);
  s.rec().handle = token(adb_handle);
  if (s.faulted()) return false;
  // A pulled-out device still lets its handles go.
  if (s.d.handles.erase(token(adb_handle)) == 0) {
    return s.fail(vdev::kErrorGone);
  }
  return s.succeed();
}

}  // extern "C"
