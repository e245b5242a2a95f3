#include "testing/e2e/plugplay_client.h"

#include <rpc.h>

#include <cstdlib>

#include "plugplay.h"

// The marshalling engine allocates the event data that a listener receives.
void* __RPC_USER MIDL_user_allocate(SIZE_T size) { return std::malloc(size); }
void __RPC_USER MIDL_user_free(void* pointer) { std::free(pointer); }

bool connectPlugPlay() {
  RPC_WSTR binding = nullptr;
  wchar_t protocol[] = L"ncacn_np";
  wchar_t endpoint[] = L"\\pipe\\wine_plugplay";
  if (RpcStringBindingComposeW(nullptr, reinterpret_cast<RPC_WSTR>(protocol),
                               nullptr, reinterpret_cast<RPC_WSTR>(endpoint),
                               nullptr, &binding) != RPC_S_OK) {
    return false;
  }
  RPC_STATUS status =
      RpcBindingFromStringBindingW(binding, &plugplay_binding_handle);
  RpcStringFreeW(&binding);
  return status == RPC_S_OK;
}

void sendPlugPlayEvent(DWORD eventCode, const std::vector<BYTE>& data) {
  plugplay_send_event(eventCode, data.data(),
                      static_cast<unsigned int>(data.size()));
}

PlugPlayListener::PlugPlayListener() : handle_(plugplay_register_listener()) {}

PlugPlayListener::~PlugPlayListener() {
  if (handle_ != nullptr) plugplay_unregister_listener(handle_);
}

bool PlugPlayListener::nextEvent(DWORD* eventCode, std::vector<BYTE>* data) {
  byte* received = nullptr;
  unsigned int size = 0;
  *eventCode = plugplay_get_event(handle_, &received, &size);
  if (received == nullptr) return false;
  data->assign(received, received + size);
  MIDL_user_free(received);
  return true;
}
