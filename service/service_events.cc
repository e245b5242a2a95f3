// The program's event source exists before main runs, so every role and
// thread reports through it.
#include "common/event_report.h"
#include "service/service_identity.h"

namespace {

const bool eventSourceRegistered = (registerEventSource(kServiceName), true);

}  // namespace
