// The outcome record: one registry key per device family,
// HKLM\<family key>\Outcome, that says what became of the family's device on
// this PC, for the fleet tools that read the registry. The release package
// creates it with the state "waiting"; from then on the upgrade worker keeps
// it true. A record that cannot be written is an error event and never stops
// an upgrade.
#ifndef VELUNOR_SERVICE_OUTCOME_RECORD_H_
#define VELUNOR_SERVICE_OUTCOME_RECORD_H_

#include <windows.h>

#include <cstdint>

constexpr wchar_t kOutcomeKeyName[] = L"Outcome";

// The values of the record.
constexpr wchar_t kOutcomeState[] = L"state";
constexpr wchar_t kOutcomeResult[] = L"result";
constexpr wchar_t kOutcomeAttempts[] = L"attempts";
constexpr wchar_t kOutcomeTime[] = L"time";
constexpr wchar_t kOutcomeDevice[] = L"device";
constexpr char kOutcomeUpdateFile[] = "updatefile";
constexpr char kOutcomeVersion[] = "version";
constexpr wchar_t kOutcomeImage[] = L"image";

// The texts of `state`. "waiting" is the package's, the others the worker's.
constexpr wchar_t kStateWaiting[] = L"waiting";
constexpr wchar_t kStateUpgrading[] = L"upgrading";
constexpr wchar_t kStateUpgraded[] = L"upgraded";
constexpr wchar_t kStateFailed[] = L"failed";
constexpr wchar_t kStateDeviceWentAway[] = L"device went away";

// The SHA-256 digest of an update image in lower-case hexadecimal; empty
// when the image could not be read.
struct ImageDigest {
  char hex[65];
};

// The digest of the file at `path`, read in bounded pieces.
ImageDigest digestOfFile(const char* path);

// One try of an upgrade as the record tells it. The texts belong to the
// worker's parameters and outlive the try.
struct OutcomeTry {
  const wchar_t* familyKey;  // the family's settings key under HKLM
  const wchar_t* devicePath;
  const char* updateFile;
  const char* version;
};

// Before the library is called: "upgrading", one more attempt, this try's
// device and settings, and no result or image yet (they would be the last
// try's).
void recordUpgradeStart(const OutcomeTry& attempt);

// The state that the library's result leads to: "upgraded", "device went
// away" (nothing on the device changed; the image waits for the next
// arrival) or "failed".
const wchar_t* outcomeStateOf(int32_t result);

// After the library returned `result`: the final `state`, the result, and
// `image` unless it is empty.
void recordUpgradeEnd(const OutcomeTry& attempt, const wchar_t* state,
                      int32_t result, const ImageDigest& image);

// A worker killed inside its upgrade has no result: a record it left in
// "upgrading" becomes "device went away" (the service stays for the next
// arrival). A record the worker finished itself stays as it is.
void recordKilledUpgrade(const wchar_t* familyKey);

#endif  // VELUNOR_SERVICE_OUTCOME_RECORD_H_
