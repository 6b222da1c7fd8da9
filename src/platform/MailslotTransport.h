#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/SystemError.h"
#include "platform/Thread.h"

namespace Telvar {
namespace Platform {

// Local one-way datagram slots with mailslot behaviour: message boundaries
// kept, a slot exists exactly while its receiver holds it, and writing to an
// absent slot fails at once. Where the system tells a message's sender
// (Linux), a receiver takes messages only from root, its own account and the
// installation's group (Installation.h), and counts the others; on Windows
// any local process may write, as the mailslot's null DACL allows.
// Names are protected as kernel objects are: where the backend has no
// object security of its own (Linux: a runtime directory, see
// linux/RuntimeDirectory.h), names starting with "Telvar_" can only be
// created by the installation's account and root (ERR_ACCESS_DENIED for
// others), and no account can take over a name another one holds.

using MailslotHandle = uint64_t;  // 0 is never a valid handle

constexpr MailslotHandle INVALID_MAILSLOT_HANDLE = 0;
constexpr int32_t MAILSLOT_NO_MESSAGE = -1;
// Larger messages are dropped by the receiver and counted.
constexpr size_t MAILSLOT_MAX_MESSAGE = 65536;
constexpr size_t MAILSLOT_MAX_NAME = 100;

// 1 to 100 characters of letters, digits, '_', '-' and '.'.
bool isValidMailslotName(const std::string& name);

// The directory behind this process's slots (Linux: the runtime
// directory), not checked and possibly not made yet; empty where slots are
// kernel objects.
std::string mailslotDirectory();

// All functions answer ERR_SUCCESS or an error number (SystemError.h).
// An invalid name gives ERR_INVALID_NAME; a name in use ERR_ALREADY_EXISTS.
uint32_t createMailslot(const std::string& name, MailslotHandle& handle);

// In words, why the calling thread's last createMailslot failed, where the
// backend can say more than the error number (Linux: a runtime directory it
// does not trust, with its path and why); empty otherwise.
std::string mailslotFailureText();

// Opens a slot for writing; an absent slot gives ERR_FILE_NOT_FOUND.
// broadcast has no counterpart here and opens the local slot.
uint32_t openMailslot(const std::string& name, bool broadcast, MailslotHandle& handle);

// Writes one message. Waits a short while when the receiver's queue is
// full, then fails with ERR_SEM_TIMEOUT rather than stall the writer.
uint32_t writeMailslot(MailslotHandle handle, const void* data, size_t length);

// Size of the next queued message, MAILSLOT_NO_MESSAGE when none.
uint32_t mailslotNextSize(MailslotHandle handle, int32_t& nextSize);

// Takes the next queued message (empty text and ERR_SUCCESS when none).
uint32_t readMailslot(MailslotHandle handle, std::string& message);

// Who wrote a message, where the system tells (Linux: the kernel's
// credentials); known is false where it does not (a Windows mailslot).
struct MailslotSender {
    bool known = false;
    uint32_t uid = 0;
    uint32_t pid = 0;
};
uint32_t readMailslot(MailslotHandle handle, std::string& message, MailslotSender& sender);

// Receiver: from now on whatever arrives for the reader (a message, a
// refused or an oversized one) posts MSG_WAKE to the thread's queue, once
// until mailslotNextSize next finds the slot empty; so the thread can wait
// on its queue instead of looking now and then.
uint32_t notifyMailslotArrivals(MailslotHandle handle, ThreadId thread);

// Receiver: messages that do not begin with prefix are dropped, those
// queued already and, from now on, each as it arrives, before it takes room
// in the queue; empty keeps all.
uint32_t setMailslotAcceptPrefix(MailslotHandle handle, const std::string& prefix);

// Messages refused since the last call because of their sender, and the
// last such sender (uid UINT32_MAX and pid 0 when the system did not say).
struct MailslotRefusals {
    uint32_t count = 0;
    uint32_t lastUid = 0;
    uint32_t lastPid = 0;
};
uint32_t takeMailslotRefusals(MailslotHandle handle, MailslotRefusals& refusals);

// The process that holds the slot name (its receiver), 0 when unknown.
uint32_t mailslotHolder(const std::string& name);

// Number of oversized messages dropped since the last call.
uint32_t takeMailslotDropCount(MailslotHandle handle, uint32_t& dropped);

uint32_t closeMailslot(MailslotHandle handle);

// Time a writer waits for room in a full queue; returns the previous value.
uint32_t setMailslotWriteWaitMilliseconds(uint32_t milliseconds);

} // namespace Platform
} // namespace Telvar
