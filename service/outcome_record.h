// The outcome record: one registry key per device family,
// HKLM\<family key>\Outcome, that says what became of the family's last try
// on this PC, for the fleet tools that read the registry; and under it,
// Devices\<identity>, one key per device that crossed the line (its start
// request was handed to the transport): which image it was sent and how that
// ended. A device whose entry holds an image is never sent that image
// again. The release package creates the record with the state "waiting"
// and removes it only on uninstall; from then on the service keeps it true.
// A record that cannot be written is an error event and never stops an
// upgrade.
//
// Every update of a key is ordered for a power cut at any instant: its
// `state` goes first and comes back last, and a device's entry is finished
// before its family's record, so that a reader sees the old state with its
// values, no state (being written: read again), or the new state with its
// values.
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
constexpr wchar_t kOutcomeDevicesKeyName[] = L"Devices";

// The texts of `state`. "waiting" is the package's, the others the worker's.
constexpr wchar_t kStateWaiting[] = L"waiting";
constexpr wchar_t kStateUpgrading[] = L"upgrading";
constexpr wchar_t kStateUpgraded[] = L"upgraded";
constexpr wchar_t kStateFailed[] = L"failed";
constexpr wchar_t kStateDeviceWentAway[] = L"device went away";
// Told to start the update, not confirmed: done, never sent again.
constexpr wchar_t kStateStarted[] = L"started";
// A device entry's only: written before its start request goes out.
constexpr wchar_t kStateStarting[] = L"starting";

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
  ImageDigest image;  // of the image this try sends; may be empty
};

// Before the library is called: "upgrading", one more attempt, this try's
// device, settings and image, and no result (it would be the last try's).
void recordUpgradeStart(const OutcomeTry& attempt);

// Before the start request goes out to the try's device: its entry says
// "starting" with this try's image, and from then on it is not sent that
// image again, whatever comes. A try without an image digest writes none
// (nothing could tell it from the next).
void recordStartRequest(const OutcomeTry& attempt);

// The state that the library's result leads to: "upgraded", "started" (told
// to start, not confirmed), "device went away" (nothing on the device
// changed; the image waits for the next arrival) or "failed".
const wchar_t* outcomeStateOf(int32_t result);

// After the library returned `result`: the device's entry first when the
// try crossed the line (`crossed`: the start request went out, or the
// result says so), then the family's result and state.
void recordUpgradeEnd(const OutcomeTry& attempt, int32_t result,
                      bool crossed);

// A try that ended without its result (its worker killed, or its process
// ended by a crash or a power cut) is resolved from what the record knows:
// a record left "upgrading" whose device's entry says it was being sent
// this image crossed the line and becomes "started" (result 3), its entry
// too; else nothing on the device changed: "device went away", no result.
// A finished record stays as it is.
void recordKilledUpgrade(const wchar_t* familyKey);

// What a device's entry says of `image`.
struct DeviceTook {
  bool took;  // its entry holds this image: it crossed the line with it
  wchar_t state[16];
  DWORD result;
  bool hasResult;
};
DeviceTook deviceTook(const wchar_t* familyKey, const wchar_t* devicePath,
                      const ImageDigest& image);

// A device found to have taken the family's image already counts as done:
// a family record that is not finished takes its device, image, result and
// state ("started" for one left "starting").
void recordAlreadyTaken(const wchar_t* familyKey, const wchar_t* devicePath,
                        const ImageDigest& image, const DeviceTook& took);

// Whether the family's record says its try finished: "upgraded", "started"
// or "failed".
bool familyFinished(const wchar_t* familyKey);

#endif  // VELUNOR_SERVICE_OUTCOME_RECORD_H_
