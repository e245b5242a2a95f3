// The upgrade's cancel signal, one for the process. A caller sets it from any
// thread (letsCancelUpgrade) when the device being upgraded is gone; from then
// on the library sends the device nothing more, every wait of the library ends
// at once, and the download fails at its next step. The next upgrade clears
// it as it begins.
#ifndef VELUNOR_UPGRADE_UPGRADE_CANCEL_H_
#define VELUNOR_UPGRADE_UPGRADE_CANCEL_H_

#include "platform/win32.h"

// Takes no lock and allocates nothing, so it may be called while the
// upgrading thread holds any lock of the process.
void setUpgradeCancel();
void clearUpgradeCancel();
bool upgradeCancelled();

// Waits `milliseconds` unless the signal is set before or meanwhile; true when
// the signal ended (or spared) the wait.
bool waitUnlessCancelled(DWORD milliseconds);

#endif  // VELUNOR_UPGRADE_UPGRADE_CANCEL_H_
