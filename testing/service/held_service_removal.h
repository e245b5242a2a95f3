// Holds the worker that removes the service at its first step, the opening
// of the service manager, until the test lets it go: what a removal in
// progress looks like to a removal broadcast or to the main thread.
#ifndef VELUNOR_TESTING_SERVICE_HELD_SERVICE_REMOVAL_H_
#define VELUNOR_TESTING_SERVICE_HELD_SERVICE_REMOVAL_H_

#include <windows.h>

#include "testing/import_patch.h"

// One at a time: the test program's OpenSCManagerW is patched while it
// lives. Its end lets a held removal go on.
class HeldServiceRemoval {
 public:
  HeldServiceRemoval();
  ~HeldServiceRemoval();
  HeldServiceRemoval(const HeldServiceRemoval&) = delete;
  HeldServiceRemoval& operator=(const HeldServiceRemoval&) = delete;

  // Whether a removal has begun and is held, within `timeoutMs`.
  bool entered(DWORD timeoutMs);
  // Lets the held removal go on.
  void release();

 private:
  ImportPatch patch_;
};

#endif  // VELUNOR_TESTING_SERVICE_HELD_SERVICE_REMOVAL_H_
