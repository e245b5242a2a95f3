#include <dirent.h>
#include <stdio.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/host_testing.h"

namespace {

thread_local DWORD last_error = ERROR_SUCCESS;
std::atomic<ReportEventWFunction> report_wide{nullptr};
std::atomic<ReportEventAFunction> report_narrow{nullptr};
std::atomic<SleepFunction> sleep_hook{nullptr};
std::atomic<GetLocalTimeFunction> local_time_hook{nullptr};
std::atomic<GetTimeZoneInformationFunction> time_zone_hook{nullptr};
std::atomic<const HostDirectorySearch*> search_hook{nullptr};
std::string drivers_folder;

// Reads of this file fail from this byte on (see hostFailReadsFrom).
std::mutex read_fault_lock;
std::string read_fault_path;
int64_t read_fault_offset = 0;

constexpr char kDriversPrefix[] = "C:\\Windows\\System32\\drivers";

// Event sources are told apart by handle: each name gets one that stays
// valid for the life of the process, as a registered source is never freed.
std::mutex event_sources_lock;
std::list<std::u16string> event_sources;

// An open directory search. Entries come as Windows delivers them on NTFS:
// "." and ".." first, then the names in case-insensitive order.
struct Search {
  std::string folder;
  std::vector<std::string> names;
  size_t next = 0;
};

bool readFolder(const std::string& folder, std::vector<std::string>* names) {
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) return false;
  names->assign({".", ".."});
  std::vector<std::string> rest;
  while (dirent* item = readdir(directory)) {
    if (std::strcmp(item->d_name, ".") != 0 &&
        std::strcmp(item->d_name, "..") != 0) {
      rest.emplace_back(item->d_name);
    }
  }
  closedir(directory);
  std::sort(rest.begin(), rest.end(), [](const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  });
  names->insert(names->end(), rest.begin(), rest.end());
  return true;
}

bool fillEntry(Search* search, _finddata_t* entry) {
  if (search->next == search->names.size()) return false;
  const std::string& name = search->names[search->next++];
  std::string full = search->folder + "/" + name;
  struct stat info {};
  unsigned attributes = _A_NORMAL;
  if (stat(full.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) attributes |= _A_SUBDIR;
    if ((info.st_mode & S_IWUSR) == 0) attributes |= _A_RDONLY;
    if (!S_ISDIR(info.st_mode)) attributes |= _A_ARCH;
  }
  // Dot files play the part of hidden entries, so tests can make one.
  if (name[0] == '.' && name != "." && name != "..") attributes |= _A_HIDDEN;
  *entry = _finddata_t{};
  entry->attrib = attributes;
  entry->size = static_cast<uint32_t>(info.st_size);
  std::snprintf(entry->name, sizeof entry->name, "%s", name.c_str());
  return true;
}

// A file whose reads fail from a given byte on, over the real file.
struct FaultyFile {
  FILE* file;
  int64_t fail_from;
};

ssize_t readFaulty(void* cookie, char* buffer, size_t size) {
  auto* faulty = static_cast<FaultyFile*>(cookie);
  int64_t position = ftello(faulty->file);
  if (position < 0 || position >= faulty->fail_from) {
    errno = EIO;
    return -1;
  }
  auto room = static_cast<uint64_t>(faulty->fail_from - position);
  if (size > room) size = static_cast<size_t>(room);
  size_t got = std::fread(buffer, 1, size, faulty->file);
  if (got == 0 && std::ferror(faulty->file)) return -1;
  return static_cast<ssize_t>(got);
}

int seekFaulty(void* cookie, off64_t* offset, int origin) {
  auto* faulty = static_cast<FaultyFile*>(cookie);
  if (fseeko(faulty->file, *offset, origin) != 0) return -1;
  *offset = ftello(faulty->file);
  return 0;
}

int closeFaulty(void* cookie) {
  auto* faulty = static_cast<FaultyFile*>(cookie);
  int result = std::fclose(faulty->file);
  delete faulty;
  return result;
}

FILE* openFaulty(FILE* file, int64_t fail_from) {
  if (file == nullptr) return nullptr;
  auto* faulty = new FaultyFile{file, fail_from};
  cookie_io_functions_t calls{&readFaulty, nullptr, &seekFaulty, &closeFaulty};
  FILE* stream = fopencookie(faulty, "rb", calls);
  if (stream == nullptr) closeFaulty(faulty);
  return stream;
}

}  // namespace

void hostSetDriversDirectory(const char* folder) {
  drivers_folder = folder == nullptr ? "" : folder;
}

bool hostMapPath(const char* path, char* out, size_t out_size) {
  std::string mapped = path;
  size_t prefix_length = sizeof kDriversPrefix - 1;
  if (!drivers_folder.empty() &&
      strncasecmp(path, kDriversPrefix, prefix_length) == 0 &&
      (path[prefix_length] == '\0' || path[prefix_length] == '\\')) {
    mapped = drivers_folder + (path + prefix_length);
    for (size_t i = drivers_folder.size(); i < mapped.size(); ++i) {
      if (mapped[i] == '\\') mapped[i] = '/';
    }
  }
  if (mapped.size() + 1 > out_size) return false;
  std::memcpy(out, mapped.c_str(), mapped.size() + 1);
  return true;
}

FILE* openBinaryFile(const char* path) {
  char mapped[4096];
  if (!hostMapPath(path, mapped, sizeof mapped)) return nullptr;
  // Windows cannot open a directory as a file; Linux can, and reads fail
  // only later.
  struct stat info {};
  if (stat(mapped, &info) == 0 && S_ISDIR(info.st_mode)) {
    errno = EACCES;
    return nullptr;
  }
  FILE* file = std::fopen(mapped, "rb");
  std::lock_guard<std::mutex> hold(read_fault_lock);
  if (!read_fault_path.empty() && read_fault_path == path) {
    return openFaulty(file, read_fault_offset);
  }
  return file;
}

FILE* openBinaryFileHeld(const char* path) { return openBinaryFile(path); }

void hostFailReadsFrom(const char* path, int64_t offset) {
  std::lock_guard<std::mutex> hold(read_fault_lock);
  read_fault_path = path == nullptr ? "" : path;
  read_fault_offset = offset;
}

void hostSetReportEventHooks(ReportEventWFunction wide,
                             ReportEventAFunction narrow) {
  report_wide = wide;
  report_narrow = narrow;
}

void hostSetSleepHook(SleepFunction sleep) { sleep_hook = sleep; }

void hostSetClockHooks(GetLocalTimeFunction local_time,
                       GetTimeZoneInformationFunction time_zone) {
  local_time_hook = local_time;
  time_zone_hook = time_zone;
}

void hostSetDirectorySearch(const HostDirectorySearch* search) {
  search_hook = search;
}

HANDLE RegisterEventSourceW(LPCWSTR /*server_name*/, LPCWSTR source_name) {
  std::lock_guard<std::mutex> hold(event_sources_lock);
  for (std::u16string& name : event_sources) {
    if (name == source_name) return &name;
  }
  return &event_sources.emplace_back(source_name);
}

BOOL ReportEventW(HANDLE event_log, WORD type, WORD category, DWORD event_id,
                  PSID user_sid, WORD num_strings, DWORD data_size,
                  LPCWSTR* strings, LPVOID raw_data) {
  ReportEventWFunction hook = report_wide;
  if (hook == nullptr) return event_log != nullptr;
  return hook(event_log, type, category, event_id, user_sid, num_strings,
              data_size, strings, raw_data);
}

BOOL ReportEventA(HANDLE event_log, WORD type, WORD category, DWORD event_id,
                  PSID user_sid, WORD num_strings, DWORD data_size,
                  LPCSTR* strings, LPVOID raw_data) {
  ReportEventAFunction hook = report_narrow;
  if (hook == nullptr) return event_log != nullptr;
  return hook(event_log, type, category, event_id, user_sid, num_strings,
              data_size, strings, raw_data);
}

DWORD GetLastError() { return last_error; }

UINT GetSystemWindowsDirectoryW(LPWSTR buffer, UINT size) {
  constexpr char16_t kFolder[] = u"C:\\Windows";
  constexpr UINT kUnits = sizeof kFolder / sizeof kFolder[0];
  if (size < kUnits) return kUnits;
  for (UINT i = 0; i < kUnits; ++i) buffer[i] = kFolder[i];
  return kUnits - 1;
}

void SetLastError(DWORD error) { last_error = error; }

void Sleep(DWORD milliseconds) {
  SleepFunction hook = sleep_hook;
  if (hook != nullptr) {
    hook(milliseconds);
    return;
  }
  timespec wait{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0) {
  }
}

namespace {

// A manual-reset event. Events live as long as the process.
struct HostEvent {
  std::mutex lock;
  std::condition_variable changed;
  bool set = false;
};

bool eventSet(HostEvent* event) {
  std::lock_guard<std::mutex> hold(event->lock);
  return event->set;
}

}  // namespace

HANDLE CreateEventW(void* /*attributes*/, BOOL /*manual_reset*/,
                    BOOL initial_state, LPCWSTR /*name*/) {
  auto* event = new HostEvent();
  event->set = initial_state != FALSE;
  return event;
}

BOOL SetEvent(HANDLE handle) {
  auto* event = static_cast<HostEvent*>(handle);
  {
    std::lock_guard<std::mutex> hold(event->lock);
    event->set = true;
  }
  event->changed.notify_all();
  return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
  auto* event = static_cast<HostEvent*>(handle);
  std::lock_guard<std::mutex> hold(event->lock);
  event->set = false;
  return TRUE;
}

DWORD WaitForSingleObjectEx(HANDLE handle, DWORD milliseconds,
                            BOOL /*alertable*/) {
  auto* event = static_cast<HostEvent*>(handle);
  SleepFunction hook = sleep_hook;
  if (hook != nullptr && milliseconds != 0 && milliseconds != INFINITE) {
    if (eventSet(event)) return WAIT_OBJECT_0;
    hook(milliseconds);
    return eventSet(event) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  }
  std::unique_lock<std::mutex> hold(event->lock);
  auto isSet = [event] { return event->set; };
  if (milliseconds == INFINITE) {
    event->changed.wait(hold, isSet);
    return WAIT_OBJECT_0;
  }
  return event->changed.wait_for(hold, std::chrono::milliseconds(milliseconds),
                                 isSet)
             ? WAIT_OBJECT_0
             : WAIT_TIMEOUT;
}

void GetLocalTime(SYSTEMTIME* time) {
  if (GetLocalTimeFunction hook = local_time_hook) {
    hook(time);
    return;
  }
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  time->wYear = static_cast<WORD>(local.tm_year + 1900);
  time->wMonth = static_cast<WORD>(local.tm_mon + 1);
  time->wDayOfWeek = static_cast<WORD>(local.tm_wday);
  time->wDay = static_cast<WORD>(local.tm_mday);
  time->wHour = static_cast<WORD>(local.tm_hour);
  time->wMinute = static_cast<WORD>(local.tm_min);
  time->wSecond = static_cast<WORD>(local.tm_sec);
  time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* zone) {
  if (GetTimeZoneInformationFunction hook = time_zone_hook) return hook(zone);
  // The standard offset is the smaller of the January and July offsets; the
  // daylight bias is how far the other one lies ahead of it.
  tzset();
  time_t now = time(nullptr);
  tm current{};
  localtime_r(&now, &current);
  tm probe = current;
  probe.tm_mon = 0;
  probe.tm_mday = 15;
  probe.tm_isdst = -1;
  time_t january = mktime(&probe);
  probe = current;
  probe.tm_mon = 6;
  probe.tm_mday = 15;
  probe.tm_isdst = -1;
  time_t july = mktime(&probe);
  tm january_local{}, july_local{};
  localtime_r(&january, &january_local);
  localtime_r(&july, &july_local);
  long standard = january_local.tm_gmtoff < july_local.tm_gmtoff
                      ? january_local.tm_gmtoff
                      : july_local.tm_gmtoff;
  long daylight = january_local.tm_gmtoff < july_local.tm_gmtoff
                      ? july_local.tm_gmtoff
                      : january_local.tm_gmtoff;
  *zone = TIME_ZONE_INFORMATION{};
  zone->Bias = static_cast<LONG>(-standard / 60);
  zone->DaylightBias = static_cast<LONG>(-(daylight - standard) / 60);
  if (daylight == standard) return TIME_ZONE_ID_UNKNOWN;
  return current.tm_isdst > 0 ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

intptr_t _findfirst(const char* pattern, _finddata_t* entry) {
  if (const HostDirectorySearch* hook = search_hook) {
    return hook->first(pattern, entry);
  }
  char mapped[4096];
  if (!hostMapPath(pattern, mapped, sizeof mapped)) return -1;
  std::string folder = mapped;
  // The library always asks for "<folder>\*.*" (mapped: "<folder>/*.*").
  size_t cut = folder.find_last_of("/\\");
  if (cut == std::string::npos) return -1;
  folder.resize(cut);
  auto* search = new Search{folder, {}};
  if (!readFolder(folder, &search->names) || !fillEntry(search, entry)) {
    delete search;
    return -1;
  }
  return reinterpret_cast<intptr_t>(search);
}

int _findnext(intptr_t handle, _finddata_t* entry) {
  if (const HostDirectorySearch* hook = search_hook) {
    return hook->next(handle, entry);
  }
  auto* search = reinterpret_cast<Search*>(handle);
  return fillEntry(search, entry) ? 0 : -1;
}

int _findclose(intptr_t handle) {
  if (const HostDirectorySearch* hook = search_hook) return hook->close(handle);
  delete reinterpret_cast<Search*>(handle);
  return 0;
}

int _fseeki64(FILE* file, int64_t offset, int origin) {
  return fseeko(file, static_cast<off_t>(offset), origin);
}

int64_t _ftelli64(FILE* file) { return static_cast<int64_t>(ftello(file)); }
