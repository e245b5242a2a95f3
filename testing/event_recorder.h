// Records the events that code under test reports, as the event log would get
// them: the ReportEventW and ReportEventA calls themselves, with every
// argument. On Windows it patches those imports of the test program (and of
// any module it is told about); on the host it takes the platform layer's
// event hooks. One recorder at a time.
#ifndef VELUNOR_TESTING_EVENT_RECORDER_H_
#define VELUNOR_TESTING_EVENT_RECORDER_H_

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32.h"

struct RecordedEvent {
  HANDLE source = nullptr;
  WORD type = 0;
  WORD category = 0;
  DWORD id = 0;
  PSID sid = nullptr;
  DWORD dataSize = 0;
  LPVOID rawData = nullptr;
  bool wide = false;  // ReportEventW, else ReportEventA
  std::vector<std::string> strings;  // UTF-8; wide strings are converted

  // The strings joined without separator: what the event log shows.
  std::string text() const;
};

class EventRecorder {
 public:
  EventRecorder();
  ~EventRecorder();
  EventRecorder(const EventRecorder&) = delete;
  EventRecorder& operator=(const EventRecorder&) = delete;

#ifdef _WIN32
  // Also records the events of a loaded DLL.
  void watchModule(HMODULE module);
#endif

  std::vector<RecordedEvent> events() const;
  // The text of each event, in order.
  std::vector<std::string> texts() const;
  void clear();

  // Called by the replacements of ReportEventW/ReportEventA.
  void add(RecordedEvent event);

  // Runs `watch` on the reporting thread after each event is recorded, as
  // a caller that reacts to what the code under test reports (null: none).
  void onEvent(std::function<void(const RecordedEvent&)> watch);

 private:
  struct Patches;
  mutable std::mutex lock_;
  std::vector<RecordedEvent> events_;
  std::function<void(const RecordedEvent&)> watch_;
  std::unique_ptr<Patches> patches_;
};

// UTF-16 to UTF-8.
std::string toUtf8(const WCHAR* text);

#endif  // VELUNOR_TESTING_EVENT_RECORDER_H_
