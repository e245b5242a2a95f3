#include "common/file_holding.h"

#include <aclapi.h>
#include <sddl.h>

#include <initializer_list>
#include <memory>
#include <vector>

namespace {

constexpr wchar_t kSystem[] = L"S-1-5-18";
constexpr wchar_t kAdministrators[] = L"S-1-5-32-544";
constexpr wchar_t kTrustedInstaller[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
// Stand for the owner in an access list.
constexpr wchar_t kCreatorOwner[] = L"S-1-3-0";
constexpr wchar_t kOwnerRights[] = L"S-1-3-4";

// Rights that let their holder change what is loaded.
constexpr ACCESS_MASK kChangesContents =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE |
    WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// Rights on a folder above that let their holder swap what it holds.
constexpr ACCESS_MASK kChangesEntries =
    FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

std::wstring sidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return L"an unreadable SID";
  std::unique_ptr<wchar_t, LocalFreer> owned(text);
  return text;
}

bool isOneOf(const std::wstring& sid,
             std::initializer_list<const wchar_t*> accounts) {
  for (const wchar_t* account : accounts) {
    if (sid == account) return true;
  }
  return false;
}

bool isTrustedOwner(const std::wstring& sid) {
  return isOneOf(sid, {kSystem, kAdministrators, kTrustedInstaller});
}

// The account an allowing entry grants its rights to; null for an entry of
// a type that grants nothing.
PSID granteeOf(const ACE_HEADER* header, ACCESS_MASK* mask) {
  switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
      auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
      *mask = ace->Mask;
      return const_cast<DWORD*>(&ace->SidStart);
    }
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: {
      auto* ace = reinterpret_cast<const ACCESS_ALLOWED_OBJECT_ACE*>(header);
      *mask = ace->Mask;
      // The two GUIDs are there only when their flags say so.
      const BYTE* sid = reinterpret_cast<const BYTE*>(&ace->ObjectType);
      if (ace->Flags & ACE_OBJECT_TYPE_PRESENT) sid += sizeof(GUID);
      if (ace->Flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) sid += sizeof(GUID);
      return const_cast<BYTE*>(sid);
    }
    default:
      // A denying entry takes rights away: overlooking it refuses more,
      // never less.
      return nullptr;
  }
}

}  // namespace

std::wstring folderAbove(const std::wstring& path) {
  size_t rootEnd = 3;  // "C:\"
  if (path.compare(0, 2, L"\\\\") == 0) {
    // "\\server\share\": the share is the top.
    size_t share = path.find(L'\\', 2);
    rootEnd = share == std::wstring::npos ? path.size()
                                          : path.find(L'\\', share + 1);
    if (rootEnd == std::wstring::npos) return std::wstring();
    ++rootEnd;
  }
  if (path.size() <= rootEnd) return std::wstring();
  size_t cut = path.find_last_of(L'\\', path.size() - 2);
  if (cut == std::wstring::npos || cut + 1 < rootEnd) return std::wstring();
  return path.substr(0, cut + 1 == rootEnd ? rootEnd : cut);
}

std::wstring finalPathOfHandle(HANDLE file) {
  std::vector<wchar_t> text(MAX_PATH * 4);
  DWORD length = GetFinalPathNameByHandleW(
      file, text.data(), static_cast<DWORD>(text.size()),
      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= text.size()) {
    if (length != 0) SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return std::wstring();
  }
  std::wstring final(text.data(), length);
  if (final.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    return L"\\\\" + final.substr(8);
  }
  if (final.compare(0, 4, L"\\\\?\\") == 0) return final.substr(4);
  return final;
}

HoldingVerdict judgeDescriptor(PSECURITY_DESCRIPTOR descriptor, Place place) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
      owner == nullptr) {
    return {Holding::kUnreadable, std::wstring(), ERROR_INVALID_OWNER};
  }
  std::wstring ownerText = sidText(owner);
  if (!isTrustedOwner(ownerText)) return {Holding::kForeignOwner, ownerText};
  BOOL present = FALSE;
  PACL list = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted)) {
    return {Holding::kUnreadable, std::wstring(), GetLastError()};
  }
  if (!present || list == nullptr) return {Holding::kNoAccessList, L"S-1-1-0"};
  const ACCESS_MASK changing =
      place == Place::kLoadedFrom ? kChangesContents : kChangesEntries;
  for (DWORD i = 0; i < list->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(list, i, &entry)) {
      return {Holding::kUnreadable, std::wstring(), GetLastError()};
    }
    auto* header = static_cast<const ACE_HEADER*>(entry);
    // Only for what is created in it later.
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;
    ACCESS_MASK mask = 0;
    PSID grantee = granteeOf(header, &mask);
    if (grantee == nullptr || (mask & changing) == 0) continue;
    std::wstring granteeText = sidText(grantee);
    if (!isTrustedOwner(granteeText) &&
        !isOneOf(granteeText, {kCreatorOwner, kOwnerRights})) {
      return {Holding::kOthersMayChange, granteeText};
    }
  }
  return {Holding::kTrusted, std::wstring()};
}

HoldingVerdict judgePath(const std::wstring& path, Place place) {
  OwnedHandle file(CreateFileW(
      path.c_str(), READ_CONTROL,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    file.release();
    return {Holding::kUnreadable, std::wstring(), GetLastError()};
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD error = GetSecurityInfo(
      file.get(), SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
      nullptr, nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return {Holding::kUnreadable, std::wstring(), error};
  std::unique_ptr<void, LocalFreer> owned(descriptor);
  return judgeDescriptor(descriptor, place);
}

std::wstring describeHolding(const HoldingVerdict& verdict, Place place) {
  switch (verdict.holding) {
    case Holding::kTrusted:
      return L"trusted";
    case Holding::kForeignOwner:
      return L"is owned by " + verdict.who +
             L", not by SYSTEM, Administrators or TrustedInstaller";
    case Holding::kOthersMayChange:
      return place == Place::kLoadedFrom
                 ? L"lets " + verdict.who +
                       L" write, append, delete, change its permissions or "
                       L"take ownership"
                 : L"lets " + verdict.who +
                       L" delete or rename what it holds, change its "
                       L"permissions or take ownership";
    case Holding::kNoAccessList:
      return L"has no access list: everybody may change it";
    case Holding::kUnreadable:
      break;
  }
  return L"cannot be checked (error " + std::to_wstring(verdict.error) + L")";
}

std::wstring namedAccount(const std::wstring& sid) {
  PSID binary = nullptr;
  if (!ConvertStringSidToSidW(sid.c_str(), &binary)) return sid;
  std::unique_ptr<void, LocalFreer> owned(binary);
  wchar_t name[128];
  wchar_t domain[128];
  DWORD nameLength = 128;
  DWORD domainLength = 128;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, binary, name, &nameLength, domain,
                         &domainLength, &use)) {
    return sid;
  }
  return std::wstring(domain) + (domain[0] != 0 ? L"\\" : L"") + name + L" (" +
         sid + L")";
}

