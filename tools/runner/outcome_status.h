// `upgrade_runner status`: the outcome record of every device family on this
// PC, one line each, as the service keeps it in the registry.
#ifndef VELUNOR_TOOLS_RUNNER_OUTCOME_STATUS_H_
#define VELUNOR_TOOLS_RUNNER_OUTCOME_STATUS_H_

#include <cstdio>

struct OutcomeSummary {
  int records = 0;         // families with an outcome record
  int notUpgraded = 0;     // families whose state is not "upgraded"
};

// Prints a line for each family that has settings or a record; a family
// with settings and no record yet counts as not upgraded.
OutcomeSummary printOutcomes(FILE* out);

// The line that ends a status without any record: no release package is
// installed, or the families printed have settings that no package wrote.
void printNoRecord(FILE* out, const OutcomeSummary& summary);

#endif  // VELUNOR_TOOLS_RUNNER_OUTCOME_STATUS_H_
