// Files a Windows test program works with: its own folder, the folder of the
// shipped programs, and whole files read as bytes.
#ifndef VELUNOR_TESTING_PROGRAM_FILES_H_
#define VELUNOR_TESTING_PROGRAM_FILES_H_

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

// The folder of the running program, with its trailing backslash.
inline std::wstring folderOfThisProgram() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

// The folder of the shipped programs and the upgrade library, with its
// trailing backslash: the build's bin, beside the folder of the test programs
// and the virtual device (cmake/VelunorOutputs.cmake).
inline std::wstring shippedFolder() {
  std::wstring relative = folderOfThisProgram() + L"..\\bin\\";
  wchar_t full[MAX_PATH];
  DWORD length = GetFullPathNameW(relative.c_str(), MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH) return relative;
  return std::wstring(full, length);
}

// ASCII text as UTF-16.
inline std::wstring widen(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

// The file's bytes; empty when it cannot be read.
inline std::string readFile(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  std::stringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

#endif  // VELUNOR_TESTING_PROGRAM_FILES_H_
