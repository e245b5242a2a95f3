#include "testing/event_recorder.h"

#include <atomic>

#ifdef _WIN32
#include "testing/import_patch.h"
#else
#include "platform/host/host_testing.h"
#endif

namespace {

std::atomic<EventRecorder*> active{nullptr};

RecordedEvent makeEvent(HANDLE source, WORD type, WORD category, DWORD id,
                        PSID sid, DWORD data_size, LPVOID raw_data, bool wide) {
  RecordedEvent event;
  event.source = source;
  event.type = type;
  event.category = category;
  event.id = id;
  event.sid = sid;
  event.dataSize = data_size;
  event.rawData = raw_data;
  event.wide = wide;
  return event;
}

BOOL WINAPI recordWide(HANDLE source, WORD type, WORD category, DWORD id,
                       PSID sid, WORD count, DWORD data_size, LPCWSTR* strings,
                       LPVOID raw_data) {
  RecordedEvent event =
      makeEvent(source, type, category, id, sid, data_size, raw_data, true);
  for (WORD i = 0; i < count; ++i) event.strings.push_back(toUtf8(strings[i]));
  if (EventRecorder* recorder = active.load()) recorder->add(std::move(event));
  return TRUE;
}

BOOL WINAPI recordNarrow(HANDLE source, WORD type, WORD category, DWORD id,
                         PSID sid, WORD count, DWORD data_size,
                         LPCSTR* strings, LPVOID raw_data) {
  RecordedEvent event =
      makeEvent(source, type, category, id, sid, data_size, raw_data, false);
  for (WORD i = 0; i < count; ++i) event.strings.emplace_back(strings[i]);
  if (EventRecorder* recorder = active.load()) recorder->add(std::move(event));
  return TRUE;
}

}  // namespace

#ifdef _WIN32
struct EventRecorder::Patches {
  std::vector<std::unique_ptr<ImportPatch>> patches;
  void watch(HMODULE module) {
    patches.push_back(std::make_unique<ImportPatch>(
        module, "ReportEventW", reinterpret_cast<const void*>(&recordWide)));
    patches.push_back(std::make_unique<ImportPatch>(
        module, "ReportEventA", reinterpret_cast<const void*>(&recordNarrow)));
  }
};

void EventRecorder::watchModule(HMODULE module) { patches_->watch(module); }
#else
struct EventRecorder::Patches {
  Patches() { hostSetReportEventHooks(&recordWide, &recordNarrow); }
  ~Patches() { hostSetReportEventHooks(nullptr, nullptr); }
};
#endif

EventRecorder::EventRecorder() : patches_(std::make_unique<Patches>()) {
#ifdef _WIN32
  patches_->watch(nullptr);
#endif
  active = this;
}

EventRecorder::~EventRecorder() {
  active = nullptr;
  patches_.reset();
}

void EventRecorder::add(RecordedEvent event) {
  std::function<void(const RecordedEvent&)> watch;
  {
    std::lock_guard<std::mutex> hold(lock_);
    events_.push_back(event);
    watch = watch_;
  }
  if (watch) watch(event);
}

void EventRecorder::onEvent(std::function<void(const RecordedEvent&)> watch) {
  std::lock_guard<std::mutex> hold(lock_);
  watch_ = std::move(watch);
}

std::vector<RecordedEvent> EventRecorder::events() const {
  std::lock_guard<std::mutex> hold(lock_);
  return events_;
}

std::vector<std::string> EventRecorder::texts() const {
  std::vector<std::string> texts;
  for (const RecordedEvent& event : events()) texts.push_back(event.text());
  return texts;
}

void EventRecorder::clear() {
  std::lock_guard<std::mutex> hold(lock_);
  events_.clear();
}

std::string RecordedEvent::text() const {
  std::string joined;
  for (const std::string& part : strings) joined += part;
  return joined;
}

std::string toUtf8(const WCHAR* text) {
  std::string out;
  for (size_t i = 0; text[i] != 0; ++i) {
    uint32_t unit = static_cast<uint16_t>(text[i]);
    if (unit >= 0xD800 && unit < 0xDC00 && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      unit = 0x10000 + ((unit - 0xD800) << 10) +
             (static_cast<uint16_t>(text[++i]) - 0xDC00);
    }
    if (unit < 0x80) {
      out += static_cast<char>(unit);
    } else if (unit < 0x800) {
      out += static_cast<char>(0xC0 | (unit >> 6));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    } else if (unit < 0x10000) {
      out += static_cast<char>(0xE0 | (unit >> 12));
      out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (unit >> 18));
      out += static_cast<char>(0x80 | ((unit >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return out;
}
