// Holds the end of the process that the service makes after killing its
// worker, so that a test lives on to look, and logs what the killing thread
// calls from the kill to that end.
#ifndef VELUNOR_TESTING_SERVICE_KILL_END_WATCH_H_
#define VELUNOR_TESTING_SERVICE_KILL_END_WATCH_H_

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

class KillEndWatch {
 public:
  // Patches the test program's imports; one watch at a time.
  KillEndWatch();
  ~KillEndWatch();
  KillEndWatch(const KillEndWatch&) = delete;
  KillEndWatch& operator=(const KillEndWatch&) = delete;

  // The worker killed (TerminateThread is let through).
  int kills() const;
  // The service's own process ended (held here): how often, the last code.
  int ends() const;
  UINT exitCode() const;
  // What the killing thread called from its kill to the end, in order: the
  // watched calls that write the record (RegSetValueExW, RegDeleteValueW),
  // the event (ReportEventW) and those that a service going on
  // would make (CloseHandle, SetServiceStatus, threads, the loader, files,
  // events).
  std::vector<std::string> callsBetween() const;

 private:
  struct Patches;
  std::unique_ptr<Patches> patches_;
};

#endif  // VELUNOR_TESTING_SERVICE_KILL_END_WATCH_H_
