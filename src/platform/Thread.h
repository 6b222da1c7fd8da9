#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/SystemError.h"
#include "platform/ThreadId.h"

namespace Telvar {
namespace Platform {

// Threads as the Windows thread interface offers them: handles, 32-bit
// thread ids, suspend counts, termination with an exit code, exit-code
// queries that stay valid after the end, and a message queue per thread.
//
// On Linux suspension and termination take effect at the thread-aware
// waits below (threadSleep, getThreadMessage, waitThreadMessage,
// threadCheckpoint). A terminated thread unwinds from there, so RAII guards
// release their locks; a thread that never reaches such a wait is ended by
// force after a grace period (its stack is abandoned, as TerminateThread
// would).

using ThreadId = uint32_t;
using ThreadHandle = uint64_t;  // 0 is never a valid handle
using ThreadRoutine = int32_t (*)(void* parameter);

constexpr ThreadHandle INVALID_THREAD_HANDLE = 0;

// Thread message numbers (the Win32 values).
constexpr uint32_t MSG_DESTROY = 2;
constexpr uint32_t MSG_CLOSE = 16;
constexpr uint32_t MSG_QUIT = 18;
// Rings a sleeping thread's doorbell (a private message number).
constexpr uint32_t MSG_WAKE = 0x0401;

struct ThreadMessage {
    uint32_t message = 0;
    int64_t wParam = 0;
    int64_t lParam = 0;
    uint64_t window = 0;  // 0 for thread messages
};

// All functions below answer ERR_SUCCESS or an error number (SystemError.h).

// Starts routine(parameter) at once on a new thread.
uint32_t createThread(ThreadRoutine routine, void* parameter, ThreadHandle& handle, ThreadId& id);

// active is true while the thread runs; otherwise exitCode holds its result.
// An unknown or closed handle gives ERR_INVALID_HANDLE.
uint32_t threadExitCode(ThreadHandle handle, bool& active, int32_t& exitCode);

// previousCount receives the suspend count before the call.
uint32_t suspendThread(ThreadHandle handle, uint32_t& previousCount);
uint32_t resumeThread(ThreadHandle handle, uint32_t& previousCount);

// Ends the thread with exitCode and returns once it has ended (or could not
// be ended within a few seconds: ERR_GEN_FAILURE). Ending a thread that has
// already ended succeeds and keeps its own exit code.
uint32_t terminateThread(ThreadHandle handle, int32_t exitCode);

// Forgets the handle; the thread itself runs on.
uint32_t closeThreadHandle(ThreadHandle handle);

// Names the thread for process lists and debuggers (top -H, ps -L, a
// profiler). Linux keeps the first 15 bytes. ERR_NOT_SUPPORTED where the
// system has no thread names (Windows before 10 1607).
uint32_t setThreadName(ThreadHandle handle, const char* name);

// The identifier of the calling thread is currentThreadId() of ThreadId.h;
// ids handed out here are the same numbers.

// Posts to the queue of a thread. A thread has a queue once it has looked at
// it (peek, get or ensureThreadMessageQueue); before that, and after the
// thread has ended, posting fails with ERR_INVALID_THREAD_ID.
uint32_t postThreadMessage(ThreadId id, uint32_t message, int64_t wParam, int64_t lParam);

// Posts MSG_QUIT with the code to the calling thread's own queue.
void postQuitMessage(int32_t exitCode);

void ensureThreadMessageQueue();

// Takes (remove) or copies the oldest message of the calling thread's queue;
// false when it is empty. Never blocks.
bool peekThreadMessage(ThreadMessage& message, bool remove = true);

// Waits for the next message: 1 for a message, 0 for MSG_QUIT (also taken),
// -1 when the queue cannot be read.
int32_t getThreadMessage(ThreadMessage& message);

// As getThreadMessage, giving up after timeoutMs: -1 then.
int32_t waitThreadMessage(ThreadMessage& message, uint32_t timeoutMs);

// Sleep that honours suspend and termination requests for the caller.
void threadSleep(uint32_t milliseconds);

// Lets a pending suspend or termination take effect without sleeping.
void threadCheckpoint();

// Diagnostics for tests: handles not yet closed, thread records alive.
size_t openThreadHandleCount();
size_t liveThreadRecordCount();

// How long terminateThread waits for a thread to reach a wait point before
// ending it by force. Tests shorten it; returns the previous value.
uint32_t setTerminateGraceMilliseconds(uint32_t milliseconds);

} // namespace Platform
} // namespace Telvar
