// What names the service to Windows.
#ifndef VELUNOR_SERVICE_SERVICE_IDENTITY_H_
#define VELUNOR_SERVICE_SERVICE_IDENTITY_H_

#include <windows.h>

// Service name, display name and event source of the program alike.
constexpr wchar_t kServiceName[] = L"VelunorUpdateService";

#endif  // VELUNOR_SERVICE_SERVICE_IDENTITY_H_
