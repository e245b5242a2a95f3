// `upgrade_runner status`: the outcome record of every device family on this
// PC, one line each, as the service keeps it in the registry, and under it a
// line for each device that crossed the line (was told to start an update).
#ifndef VELUNOR_TOOLS_RUNNER_OUTCOME_STATUS_H_
#define VELUNOR_TOOLS_RUNNER_OUTCOME_STATUS_H_

#include <cstdio>

struct OutcomeSummary {
  int families = 0;  // families with settings or an outcome record
  int records = 0;   // families with an outcome record
  // Families whose state is neither "upgraded" nor "started" (told to start
  // the update, not confirmed: done, never sent again).
  int notDone = 0;
};

// Prints a line for each family that has settings or a record; a family
// with settings and no record yet counts as not done.
OutcomeSummary printOutcomes(FILE* out);

// The line that ends a status without any record: no release package is
// installed, or the families printed have settings that no package wrote.
void printNoRecord(FILE* out, const OutcomeSummary& summary);

#endif  // VELUNOR_TOOLS_RUNNER_OUTCOME_STATUS_H_
