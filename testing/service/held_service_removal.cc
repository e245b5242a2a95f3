#include "testing/service/held_service_removal.h"

namespace {

// The patched function is a plain function: the events are the process's.
HANDLE removalEntered = nullptr;
HANDLE removalReleased = nullptr;

SC_HANDLE WINAPI heldOpenSCManagerW(LPCWSTR machine, LPCWSTR database,
                                    DWORD access) {
  SetEvent(removalEntered);
  WaitForSingleObject(removalReleased, INFINITE);
  using Open = SC_HANDLE(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
  auto real = reinterpret_cast<Open>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "OpenSCManagerW")));
  return real(machine, database, access);
}

const void* createEventsThenHook() {
  removalEntered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  removalReleased = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return reinterpret_cast<const void*>(&heldOpenSCManagerW);
}

}  // namespace

HeldServiceRemoval::HeldServiceRemoval()
    : patch_(nullptr, "OpenSCManagerW", createEventsThenHook()) {}

HeldServiceRemoval::~HeldServiceRemoval() {
  release();
  // A removal that comes later finds no event and goes on at once.
  HANDLE entered = removalEntered;
  HANDLE released = removalReleased;
  removalEntered = removalReleased = nullptr;
  CloseHandle(entered);
  CloseHandle(released);
}

bool HeldServiceRemoval::entered(DWORD timeoutMs) {
  return WaitForSingleObject(removalEntered, timeoutMs) == WAIT_OBJECT_0;
}

void HeldServiceRemoval::release() { SetEvent(removalReleased); }
