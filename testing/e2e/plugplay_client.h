// A client of Wine's plug-and-play service (plugplay.exe on
// \pipe\wine_plugplay): it sends device events, which the service broadcasts
// to the prefix, and it listens to every event sent.
#ifndef VELUNOR_TESTING_E2E_PLUGPLAY_CLIENT_H_
#define VELUNOR_TESTING_E2E_PLUGPLAY_CLIENT_H_

#include <windows.h>

#include <vector>

// Binds this process to the service; every call below needs it. The binding
// is the process's one implicit handle of the interface.
bool connectPlugPlay();

// Broadcasts a device event (a DBT_ code and its DEV_BROADCAST_ record).
void sendPlugPlayEvent(DWORD eventCode, const std::vector<BYTE>& data);

// A listener registered with the service: it receives every event sent from
// the moment of its registration, in order.
class PlugPlayListener {
 public:
  PlugPlayListener();
  ~PlugPlayListener();
  PlugPlayListener(const PlugPlayListener&) = delete;
  PlugPlayListener& operator=(const PlugPlayListener&) = delete;

  bool registered() const { return handle_ != nullptr; }
  // Blocks until the next event. False when the service has no more for us.
  bool nextEvent(DWORD* eventCode, std::vector<BYTE>* data);

 private:
  void* handle_ = nullptr;
};

#endif  // VELUNOR_TESTING_E2E_PLUGPLAY_CLIENT_H_
