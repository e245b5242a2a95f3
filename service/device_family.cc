#include "service/device_family.h"

#include <cwchar>

namespace {

const DeviceFamily kFamilies[] = {
    {L"RK7x10",
     {L"PID_9101", L"PID_9105", L"PID_910A"},
     L"RK7x10 Arrival",
     L"Software\\VelunorUpdate\\RK7x10",
     L"Open HLKM\\Software\\VelunorUpdate\\Rk7x10 fail"},
    {L"ZR700",
     {L"PID_9206", nullptr, nullptr},
     L"ZR700 Arrival",
     L"Software\\VelunorUpdate\\ZR700",
     L"Open HLKM\\Software\\VelunorUpdate\\ZR700 fail"},
};

// Any device of the class that no family above claims.
const DeviceFamily kOtherFamily = {
    L"other",
    {nullptr, nullptr, nullptr},
    L"Other deivce Arrival",
    L"Software\\VelunorUpdate\\other",
    L"Open HLKM\\Software\\VelunorUpdate\\other fail"};

}  // namespace

const DeviceFamily& familyOf(const wchar_t* devicePath) {
  for (const DeviceFamily& family : kFamilies) {
    for (const wchar_t* productId : family.productIds) {
      if (productId != nullptr &&
          std::wcsstr(devicePath, productId) != nullptr) {
        return family;
      }
    }
  }
  return kOtherFamily;
}
