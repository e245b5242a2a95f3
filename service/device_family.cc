#include "service/device_family.h"

#include <algorithm>
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

const DeviceFamily& familyAt(size_t index) {
  constexpr size_t kListed = sizeof kFamilies / sizeof kFamilies[0];
  static_assert(kListed + 1 == kFamilyCount, "every family and other");
  return index < kListed ? kFamilies[index] : kOtherFamily;
}

namespace {

// The device ID field of an interface path
// "\\?\USB#VID_xxxx&PID_xxxx[&MI_xx]#serial#{class}": the text between its
// first two '#'. The serial number that follows is the device's own text and
// may hold anything, a product ID among it.
struct Field {
  const wchar_t* begin;
  const wchar_t* end;
};

Field deviceIdField(const wchar_t* devicePath) {
  const wchar_t* begin = std::wcschr(devicePath, L'#');
  if (begin == nullptr) return {devicePath, devicePath};
  ++begin;
  const wchar_t* end = std::wcschr(begin, L'#');
  return {begin, end != nullptr ? end : begin + std::wcslen(begin)};
}

// Whether one of the field's '&'-separated parts is exactly `productId`.
bool fieldHolds(Field field, const wchar_t* productId) {
  const size_t length = std::wcslen(productId);
  for (const wchar_t* part = field.begin; part < field.end;) {
    const wchar_t* next = std::find(part, field.end, L'&');
    if (static_cast<size_t>(next - part) == length &&
        std::wcsncmp(part, productId, length) == 0) {
      return true;
    }
    part = next + 1;
  }
  return false;
}

}  // namespace

const DeviceFamily& familyOf(const wchar_t* devicePath) {
  const Field field = deviceIdField(devicePath);
  for (const DeviceFamily& family : kFamilies) {
    for (const wchar_t* productId : family.productIds) {
      if (productId != nullptr && fieldHolds(field, productId)) return family;
    }
  }
  return kOtherFamily;
}

void toAnnouncedPath(wchar_t* path) {
  const size_t length = std::wcslen(path);
  size_t end = length;
  for (size_t i = length; i >= 2; --i) {
    if (path[i - 2] == L'#' && path[i - 1] == L'{') {
      end = i - 2;
      break;
    }
  }
  for (size_t i = 0; i < end; ++i) {
    if (path[i] >= L'a' && path[i] <= L'z') {
      path[i] = static_cast<wchar_t>(path[i] - L'a' + L'A');
    }
  }
}

bool samePath(const wchar_t* path, size_t length, const wchar_t* other) {
  auto fold = [](wchar_t unit) {
    return unit >= L'A' && unit <= L'Z' ? static_cast<wchar_t>(unit + 32)
                                        : unit;
  };
  for (size_t i = 0; i < length; ++i) {
    if (other[i] == 0 || fold(path[i]) != fold(other[i])) return false;
  }
  return other[length] == 0;
}
