// Owns a handle of the service control manager, so every path closes it.
#ifndef VELUNOR_SERVICE_SERVICE_HANDLE_H_
#define VELUNOR_SERVICE_SERVICE_HANDLE_H_

#include <windows.h>

class ServiceHandle {
 public:
  explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
  ~ServiceHandle() {
    if (handle_ != nullptr) CloseServiceHandle(handle_);
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;

  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SC_HANDLE handle_;
};

#endif  // VELUNOR_SERVICE_SERVICE_HANDLE_H_
