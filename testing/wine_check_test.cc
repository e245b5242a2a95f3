// Proves that the Windows test suite really runs as Windows code under Wine:
// a native fallback would find no ntdll with Wine's version export.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

namespace {

TEST(WineCheckTest, RunsUnderWineAsAWindowsProgram) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  ASSERT_NE(ntdll, nullptr);
  using WineGetVersion = const char*(CDECL*)();
  auto wine_get_version = reinterpret_cast<WineGetVersion>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
  ASSERT_NE(wine_get_version, nullptr) << "not running under Wine";
  EXPECT_GT(std::strlen(wine_get_version()), 0u);
  EXPECT_EQ(sizeof(void*), 8u);
  EXPECT_EQ(sizeof(WCHAR), 2u);
}

}  // namespace
