/* Our declarations of the AdbWinApi calls the upgrade library makes. The
 * library links against them through an import library, so the real
 * AdbWinApi.dll and our virtual device are interchangeable at load time.
 * Every call that fails leaves its reason in the thread's last error. */
#ifndef VELUNOR_ADBWINAPI_ADB_API_H_
#define VELUNOR_ADBWINAPI_ADB_API_H_

#ifdef __cplusplus
#include <cstdint>
#else
#include <stdbool.h>
#include <stdint.h>
#endif

#ifdef _WIN32
#include <guiddef.h>
#include <wchar.h>
typedef unsigned long AdbULong; /* 32 bits on Windows */
typedef wchar_t AdbWideChar;
#if defined(ADBWINAPI_EXPORTS)
#define ADB_API __declspec(dllexport)
#else
#define ADB_API __declspec(dllimport)
#endif
#else
#include "platform/host/host_win32.h"
typedef uint32_t AdbULong;
typedef char16_t AdbWideChar;
#define ADB_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void* ADBAPIHANDLE;

typedef enum AdbOpenAccessType {
  AdbOpenAccessTypeReadWrite = 0,
  AdbOpenAccessTypeRead = 1,
  AdbOpenAccessTypeWrite = 2,
  AdbOpenAccessTypeQueryInfo = 3
} AdbOpenAccessType;

typedef enum AdbOpenSharingMode {
  AdbOpenSharingModeReadWrite = 0,
  AdbOpenSharingModeRead = 1,
  AdbOpenSharingModeWrite = 2,
  AdbOpenSharingModeExclusive = 3
} AdbOpenSharingMode;

/* An enumeration entry: the class GUID, a flags word, then the interface
 * name as NUL-terminated UTF-16 from byte 20 on. */
typedef struct AdbInterfaceInfo {
  GUID class_id;
  uint32_t flags;
  AdbWideChar device_name[1];
} AdbInterfaceInfo;

#pragma pack(push, 1)
/* Standard USB 2.0 descriptor layouts. */
typedef struct AdbUsbDeviceDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint16_t bcdUSB;
  uint8_t bDeviceClass;
  uint8_t bDeviceSubClass;
  uint8_t bDeviceProtocol;
  uint8_t bMaxPacketSize0;
  uint16_t idVendor;
  uint16_t idProduct;
  uint16_t bcdDevice;
  uint8_t iManufacturer;
  uint8_t iProduct;
  uint8_t iSerialNumber;
  uint8_t bNumConfigurations;
} AdbUsbDeviceDescriptor;

typedef struct AdbUsbInterfaceDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bInterfaceNumber;
  uint8_t bAlternateSetting;
  uint8_t bNumEndpoints;
  uint8_t bInterfaceClass;
  uint8_t bInterfaceSubClass;
  uint8_t bInterfaceProtocol;
  uint8_t iInterface;
} AdbUsbInterfaceDescriptor;
#pragma pack(pop)

typedef struct AdbEndpointInformation {
  AdbULong max_packet_size;
  AdbULong max_transfer_size;
  int endpoint_type;
  unsigned char endpoint_address;
  unsigned char polling_interval;
  unsigned char setting_index;
} AdbEndpointInformation;

ADB_API ADBAPIHANDLE AdbEnumInterfaces(GUID class_id, bool exclude_not_present,
                                       bool exclude_removed, bool active_only);
ADB_API bool AdbNextInterface(ADBAPIHANDLE adb_handle, void* info,
                              AdbULong* size);
ADB_API ADBAPIHANDLE AdbCreateInterfaceByName(const AdbWideChar* interface_name);
ADB_API ADBAPIHANDLE AdbOpenDefaultBulkReadEndpoint(
    ADBAPIHANDLE adb_interface, AdbOpenAccessType access_type,
    AdbOpenSharingMode sharing_mode);
ADB_API ADBAPIHANDLE AdbOpenDefaultBulkWriteEndpoint(
    ADBAPIHANDLE adb_interface, AdbOpenAccessType access_type,
    AdbOpenSharingMode sharing_mode);
ADB_API bool AdbGetInterfaceName(ADBAPIHANDLE adb_interface, void* buffer,
                                 AdbULong* buffer_char_size, bool ansi);
ADB_API bool AdbGetSerialNumber(ADBAPIHANDLE adb_interface, void* buffer,
                                AdbULong* buffer_char_size, bool ansi);
ADB_API bool AdbGetUsbDeviceDescriptor(ADBAPIHANDLE adb_interface,
                                       AdbUsbDeviceDescriptor* desc);
ADB_API bool AdbGetUsbInterfaceDescriptor(ADBAPIHANDLE adb_interface,
                                          AdbUsbInterfaceDescriptor* desc);
ADB_API bool AdbGetEndpointInformation(ADBAPIHANDLE adb_interface,
                                       unsigned char endpoint_index,
                                       AdbEndpointInformation* info);
ADB_API bool AdbReadEndpointSync(ADBAPIHANDLE adb_endpoint, void* buffer,
                                 AdbULong bytes_to_read, AdbULong* bytes_read,
                                 AdbULong time_out);
ADB_API bool AdbWriteEndpointSync(ADBAPIHANDLE adb_endpoint, void* buffer,
                                  AdbULong bytes_to_write,
                                  AdbULong* bytes_written, AdbULong time_out);
ADB_API bool AdbDefaultEndpointReadWriteSync(ADBAPIHANDLE adb_interface,
                                             unsigned char direction,
                                             const void* setup, void* buffer,
                                             AdbULong length,
                                             AdbULong* bytes_transferred);
ADB_API bool AdbCloseHandle(ADBAPIHANDLE adb_handle);

#ifdef __cplusplus
}
#endif

#endif /* VELUNOR_ADBWINAPI_ADB_API_H_ */
