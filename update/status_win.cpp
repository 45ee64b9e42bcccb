// The shared update status and its critical section.
#include "update/status.h"

#include <windows.h>

UpdateStatus updateStatus;

static CRITICAL_SECTION statusLock;

void InitStatusLock() { InitializeCriticalSection(&statusLock); }
void EnterStatusLock() { EnterCriticalSection(&statusLock); }
void LeaveStatusLock() { LeaveCriticalSection(&statusLock); }

void SetStatusText(const std::wstring& status, const std::wstring& detail) {
    StatusLockHold hold;
    if (&status != &updateStatus.statusText) updateStatus.statusText = status;
    if (&detail != &updateStatus.detailText) updateStatus.detailText = detail;
}

void SetProgress(int32_t permille) {
    StatusLockHold hold;
    updateStatus.progressPermille = permille;
}

void ResetUpdateStatus() {
    StatusLockHold hold;
    updateStatus.statusText.clear();
    updateStatus.detailText.clear();
    updateStatus.progressPermille = 0;
    updateStatus.serverState = ServerState::Connecting;
    updateStatus.manifestSerial = 0;
    updateStatus.errorText.clear();
    updateStatus.succeeded = false;
    updateStatus.finished = false;
    updateStatus.finishedTick = 0;
}
