// UpdateStatus: the one record the update run shares with the window, guarded by statusLock.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

enum class ServerState : int32_t { Connecting = 0, Connected = 1, Unreachable = 2 };

struct UpdateStatus {
    std::wstring statusText;        // statusLock
    std::wstring detailText;        // statusLock
    int32_t progressPermille = 0;   // statusLock; not clamped
    // Written by the worker and read by the painter without the lock; atomic so a reader
    // never sees half of the 64-bit serial on this 32-bit program.
    std::atomic<ServerState> serverState{ServerState::Connecting};
    std::atomic<uint64_t> manifestSerial{0};
    std::string errorText;          // published by finished
    bool succeeded = false;         // published by finished
    bool finished = false;          // statusLock
    uint32_t finishedTick = 0;      // statusLock
};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "manifestSerial must be lock-free");

extern UpdateStatus updateStatus;

// statusLock is a Win32 critical section; it is initialised first thing and never deleted.
void InitStatusLock();
void EnterStatusLock();
void LeaveStatusLock();

// Holds statusLock for one scope; hold it only for a few assignments or copies.
struct StatusLockHold {
    StatusLockHold() { EnterStatusLock(); }
    ~StatusLockHold() { LeaveStatusLock(); }
    StatusLockHold(const StatusLockHold&) = delete;
    StatusLockHold& operator=(const StatusLockHold&) = delete;
};

// Replaces both status lines in one locked section.
void SetStatusText(const std::wstring& status, const std::wstring& detail);

// Stores progressPermille under the lock.
void SetProgress(int32_t permille);

// Brings the record back to its process-start values (tests only; no other thread may run).
void ResetUpdateStatus();
