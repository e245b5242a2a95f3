// Replay of a recorded USB session (tools/recorder/): the virtual device
// answers every AdbWinApi call as the recording says (results, last errors,
// counts, status answers, enumeration, descriptors, serial number) and checks
// that the code under test makes the same calls, in the same order, with the
// same arguments and bulk data of the same size and SHA-256. The host's clock
// in the two time stamps the host sends (announcement, update start) is not
// compared: no replay can reproduce it.
//
// The first divergence ends the replay: that call and every later one fail
// with error 6, as with a device that is gone, and endReplay() names it.
#ifndef VELUNOR_TESTING_VIRTUAL_DEVICE_REPLAY_H_
#define VELUNOR_TESTING_VIRTUAL_DEVICE_REPLAY_H_

#include <cstddef>

#include "testing/virtual_device/virtual_device.h"

namespace vdev {

// Starts answering from the recording in `text`. False, with why in `error`,
// when it is not a recording; nothing is replayed then.
VDEV_API bool startReplay(const char* text, size_t size, char* error,
                          size_t error_size);
// Ends the replay; the device plays itself again. True when the calls were
// exactly the recorded ones; else `message` names the first divergence, or
// the first recorded call that never came.
VDEV_API bool endReplay(char* message, size_t message_size);
VDEV_API bool replaying();

}  // namespace vdev

#endif  // VELUNOR_TESTING_VIRTUAL_DEVICE_REPLAY_H_
