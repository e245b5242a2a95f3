// Reports three events, one of each kind the system writes, so the Wine trace
// reader can be checked against a known trail.
#include "common/event_report.h"

int main() {
  registerEventSource(U16("VelunorUpdateService"));
  reportEvent(EVENTLOG_INFORMATION_TYPE, U16("initial service success"));
  reportEventFormat(EVENTLOG_ERROR_TYPE,
                    "can not load velunorUpdateExport.dll: %d\n", 126);
  const char* summary[] = {"update file : ", "fw.bin", "bForce : ", "1"};
  reportEventStrings(EVENTLOG_INFORMATION_TYPE, summary, 4);
  return 0;
}
