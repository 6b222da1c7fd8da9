#include "platform/MailslotTransport.h"

#include "platform/CollectorStatistics.h"

#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <windows.h>
// The system's macro of this name would hide the interface's constant.
#undef MAILSLOT_NO_MESSAGE

namespace Telvar {
namespace Platform {

namespace {

constexpr DWORD NO_MESSAGE = static_cast<DWORD>(-1);

// Messages beyond this are not read into memory at all.
constexpr DWORD MAX_READ_BUFFER = 16u * 1024 * 1024;

struct Slot {
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool receiver = false;
    std::string path;        // local writers open it afresh for every message
    bool hasPending = false; // receivers: the next message, already taken
    std::string pending;
    std::string acceptPrefix; // messages not starting with it are dropped unread by callers
    uint32_t dropped = 0;
    std::mutex mutex;  // one reader at a time keeps size and message together

    // Watched receivers (notifyMailslotArrivals): a thread of their own waits
    // on the system queue and moves what arrives into arrived.
    std::string ownPath;       // the slot's name, for the write that ends the watch
    HANDLE watcher = nullptr;
    std::atomic<bool> closing{false};
    std::deque<std::string> arrived;
    ThreadId reader = 0;       // told of arrivals (MSG_WAKE)
    bool readerTold = false;   // and told already since it last found nothing
};

using SlotPtr = std::shared_ptr<Slot>;

struct Slots {
    std::mutex mutex;
    std::map<MailslotHandle, SlotPtr> open;
    MailslotHandle next = 1;
};

Slots& slots()
{
    static Slots* instance = new Slots;
    return *instance;
}

std::atomic<uint32_t> writeWaitMs{200};

SlotPtr find(MailslotHandle handle)
{
    Slots& all = slots();
    std::lock_guard<std::mutex> lock(all.mutex);
    auto it = all.open.find(handle);
    return it == all.open.end() ? SlotPtr() : it->second;
}

MailslotHandle keep(HANDLE handle, bool receiver, const std::string& path)
{
    SlotPtr slot = std::make_shared<Slot>();
    slot->handle = handle;
    slot->receiver = receiver;
    slot->path = path;
    Slots& all = slots();
    std::lock_guard<std::mutex> lock(all.mutex);
    MailslotHandle id = all.next++;
    all.open[id] = slot;
    return id;
}

// Any local account may write: a security descriptor without a DACL.
class OpenToAll {
public:
    OpenToAll()
    {
        ::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION);
        ::SetSecurityDescriptorDacl(&descriptor_, TRUE, nullptr, FALSE);
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = &descriptor_;
        attributes_.bInheritHandle = FALSE;
    }
    SECURITY_ATTRIBUTES* get() { return &attributes_; }

private:
    SECURITY_DESCRIPTOR descriptor_;
    SECURITY_ATTRIBUTES attributes_;
};

HANDLE openWriter(const std::string& path)
{
    return ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

// A write that does not complete within the wait is cancelled: Windows
// queues every message at once, but wine keeps a small queue and holds the
// writer until the reader makes room.
uint32_t writeWithin(HANDLE file, const void* data, DWORD length)
{
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr)
        return static_cast<uint32_t>(::GetLastError());
    uint32_t result = ERR_SUCCESS;
    DWORD written = 0;
    if (!::WriteFile(file, data, length, &written, &overlapped)) {
        DWORD e = ::GetLastError();
        if (e != ERROR_IO_PENDING) {
            ::CloseHandle(overlapped.hEvent);
            return static_cast<uint32_t>(e);
        }
        if (::WaitForSingleObject(overlapped.hEvent, writeWaitMs.load()) != WAIT_OBJECT_0) {
            ::CancelIoEx(file, &overlapped);
            result = ERR_SEM_TIMEOUT;
        }
        // Wait for the end of the cancelled or finished write either way: the
        // structure is in use until then.
        if (!::GetOverlappedResult(file, &overlapped, &written, TRUE) && result == ERR_SUCCESS)
            result = static_cast<uint32_t>(::GetLastError());
    } else {
        ::GetOverlappedResult(file, &overlapped, &written, FALSE);
    }
    ::CloseHandle(overlapped.hEvent);
    if (result == ERR_SUCCESS && written != length)
        result = ERR_GEN_FAILURE;
    return result;
}

// Beyond this the watcher leaves messages in the system queue.
constexpr size_t MAX_ARRIVED = 16384;
constexpr DWORD WATCHER_END_WAIT_MS = 2000;

// Takes the next message off the system queue into text, waiting as the
// slot's read timeout says; got is false when there was none.
uint32_t readNext(HANDLE handle, std::vector<char>& buffer, std::string& text, bool& got)
{
    got = false;
    DWORD size = static_cast<DWORD>(MAILSLOT_MAX_MESSAGE + 1);
    for (;;) {
        if (buffer.size() < size)
            buffer.resize(size);
        DWORD read = 0;
        if (::ReadFile(handle, buffer.data(), size, &read, nullptr)) {
            text.assign(buffer.data(), read);
            got = true;
            break;
        }
        DWORD e = ::GetLastError();
        if (e == ERROR_SEM_TIMEOUT)
            break;
        if ((e != ERROR_INSUFFICIENT_BUFFER && e != ERROR_MORE_DATA) || size >= MAX_READ_BUFFER)
            return static_cast<uint32_t>(e);
        size = size * 2 > MAX_READ_BUFFER ? MAX_READ_BUFFER : size * 2;
    }
    // An oversized message is only counted: its memory goes at once.
    if (buffer.size() > MAILSLOT_MAX_MESSAGE + 1)
        std::vector<char>().swap(buffer);
    return ERR_SUCCESS;
}

// Files a message the watcher read; true when the reader should hear of it.
bool file(Slot& slot, std::string& text)
{
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (text.size() > MAILSLOT_MAX_MESSAGE) {
        ++slot.dropped;
    } else if (text.compare(0, slot.acceptPrefix.size(), slot.acceptPrefix) != 0) {
        collectorStatistics().add(CollectorStatistics::JUNK_DROPPED);
        return false;
    } else {
        slot.arrived.push_back(std::move(text));
    }
    if (slot.reader == 0 || slot.readerTold)
        return false;
    slot.readerTold = true;
    return true;
}

DWORD WINAPI watch(LPVOID parameter)
{
    Slot& slot = *static_cast<Slot*>(parameter);
    std::vector<char> buffer;
    while (!slot.closing.load()) {
        bool full;
        {
            std::lock_guard<std::mutex> lock(slot.mutex);
            full = slot.arrived.size() >= MAX_ARRIVED;
        }
        std::string text;
        bool got = false;
        // The read waits for the next message; a full queue is looked at
        // again now and then.
        if (full || readNext(slot.handle, buffer, text, got) != ERR_SUCCESS) {
            ::Sleep(50);
            continue;
        }
        if (got && !slot.closing.load() && file(slot, text))
            postThreadMessage(slot.reader, MSG_WAKE, 0, 0);
    }
    return 0;
}

void endWatch(Slot& slot)
{
    if (slot.watcher == nullptr)
        return;
    slot.closing = true;
    // An empty message ends the watcher's wait for the next one.
    HANDLE self = openWriter(slot.ownPath);
    if (self != INVALID_HANDLE_VALUE) {
        writeWithin(self, "", 0);
        ::CloseHandle(self);
    }
    if (::WaitForSingleObject(slot.watcher, WATCHER_END_WAIT_MS) != WAIT_OBJECT_0) {
        ::CancelSynchronousIo(slot.watcher);
        ::WaitForSingleObject(slot.watcher, INFINITE);
    }
    ::CloseHandle(slot.watcher);
    slot.watcher = nullptr;
}

// Takes the next message that is not too large into pending. Answers an
// error number.
uint32_t fetch(Slot& slot)
{
    if (slot.watcher != nullptr) {
        if (!slot.hasPending && !slot.arrived.empty()) {
            slot.pending.swap(slot.arrived.front());
            slot.arrived.pop_front();
            slot.hasPending = true;
        }
        // Caught up: whatever arrives from now on is news to the reader.
        if (!slot.hasPending)
            slot.readerTold = false;
        return ERR_SUCCESS;
    }
    while (!slot.hasPending) {
        DWORD next = NO_MESSAGE;
        if (!::GetMailslotInfo(slot.handle, nullptr, &next, nullptr, nullptr))
            return static_cast<uint32_t>(::GetLastError());
        if (next == NO_MESSAGE)
            return ERR_SUCCESS;
        // The size told may fall short of a large message (wine caps it):
        // one byte more than the limit shows an oversized one.
        DWORD size = next > MAILSLOT_MAX_MESSAGE ? next : static_cast<DWORD>(MAILSLOT_MAX_MESSAGE + 1);
        for (;;) {
            std::vector<char> buffer(size);
            DWORD read = 0;
            if (::ReadFile(slot.handle, buffer.data(), size, &read, nullptr)) {
                if (read > MAILSLOT_MAX_MESSAGE) {
                    ++slot.dropped;
                } else if (read < slot.acceptPrefix.size() ||
                           std::memcmp(buffer.data(), slot.acceptPrefix.data(), slot.acceptPrefix.size()) != 0) {
                    // Not for this receiver: gone without a trace, as on the wire.
                    collectorStatistics().add(CollectorStatistics::JUNK_DROPPED);
                } else {
                    slot.pending.assign(buffer.data(), read);
                    slot.hasPending = true;
                }
                break;
            }
            DWORD e = ::GetLastError();
            if ((e != ERROR_INSUFFICIENT_BUFFER && e != ERROR_MORE_DATA) || size >= MAX_READ_BUFFER)
                return static_cast<uint32_t>(e);
            size = size * 2 > MAX_READ_BUFFER ? MAX_READ_BUFFER : size * 2;
        }
    }
    return ERR_SUCCESS;
}

} // namespace

bool isValidMailslotName(const std::string& name)
{
    if (name.empty() || name.size() > MAILSLOT_MAX_NAME)
        return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                  c == '-' || c == '.';
        if (!ok)
            return false;
    }
    return true;
}

std::string mailslotDirectory() { return std::string(); }

std::string mailslotFailureText() { return std::string(); }

uint32_t createMailslot(const std::string& name, MailslotHandle& handle)
{
    handle = INVALID_MAILSLOT_HANDLE;
    if (!isValidMailslotName(name))
        return ERR_INVALID_NAME;
    OpenToAll security;
    // No size limit here: oversized messages are taken and dropped by the
    // reader, so that they are counted.
    HANDLE slot = ::CreateMailslotA(("\\\\.\\mailslot\\" + name).c_str(), 0, 0, security.get());
    if (slot == INVALID_HANDLE_VALUE)
        return static_cast<uint32_t>(::GetLastError());
    handle = keep(slot, true, std::string());
    find(handle)->ownPath = "\\\\.\\mailslot\\" + name;
    return ERR_SUCCESS;
}

uint32_t openMailslot(const std::string& name, bool broadcast, MailslotHandle& handle)
{
    handle = INVALID_MAILSLOT_HANDLE;
    if (!isValidMailslotName(name))
        return ERR_INVALID_NAME;
    std::string path = std::string(broadcast ? "\\\\*" : "\\\\.") + "\\mailslot\\" + name;
    HANDLE file = openWriter(path);
    if (file == INVALID_HANDLE_VALUE)
        return static_cast<uint32_t>(::GetLastError());
    if (broadcast) {
        handle = keep(file, false, std::string());
        return ERR_SUCCESS;
    }
    // A writer's handle to a local slot keeps accepting messages after the
    // receiver is gone, and would never reach a slot made again under the
    // name: each message opens the name anew instead.
    ::CloseHandle(file);
    handle = keep(INVALID_HANDLE_VALUE, false, path);
    return ERR_SUCCESS;
}

uint32_t writeMailslot(MailslotHandle handle, const void* data, size_t length)
{
    SlotPtr slot = find(handle);
    if (!slot || slot->receiver)
        return ERR_INVALID_HANDLE;
    if (length > 0xFFFFFFFFu || (data == nullptr && length != 0))
        return ERR_INVALID_PARAMETER;
    HANDLE file = slot->path.empty() ? slot->handle : openWriter(slot->path);
    if (file == INVALID_HANDLE_VALUE)
        return static_cast<uint32_t>(::GetLastError());
    uint32_t result = writeWithin(file, data, static_cast<DWORD>(length));
    if (!slot->path.empty())
        ::CloseHandle(file);
    return result;
}

uint32_t mailslotNextSize(MailslotHandle handle, int32_t& nextSize)
{
    nextSize = MAILSLOT_NO_MESSAGE;
    SlotPtr slot = find(handle);
    if (!slot || !slot->receiver)
        return ERR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(slot->mutex);
    uint32_t error = fetch(*slot);
    if (error != ERR_SUCCESS)
        return error;
    if (slot->hasPending)
        nextSize = static_cast<int32_t>(slot->pending.size());
    return ERR_SUCCESS;
}

uint32_t readMailslot(MailslotHandle handle, std::string& message)
{
    message.clear();
    SlotPtr slot = find(handle);
    if (!slot || !slot->receiver)
        return ERR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(slot->mutex);
    uint32_t error = fetch(*slot);
    if (error != ERR_SUCCESS)
        return error;
    if (slot->hasPending) {
        message.swap(slot->pending);
        slot->pending.clear();
        slot->hasPending = false;
    }
    return ERR_SUCCESS;
}

// A mailslot tells its reader nothing about the writer.
uint32_t readMailslot(MailslotHandle handle, std::string& message, MailslotSender& sender)
{
    sender = MailslotSender();
    return readMailslot(handle, message);
}

uint32_t notifyMailslotArrivals(MailslotHandle handle, ThreadId thread)
{
    SlotPtr slot = find(handle);
    if (!slot || !slot->receiver)
        return ERR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(slot->mutex);
    slot->reader = thread;
    slot->readerTold = false;
    if (slot->watcher != nullptr)
        return ERR_SUCCESS;
    // From now on only the watcher reads the system queue, and it waits there.
    if (!::SetMailslotInfo(slot->handle, MAILSLOT_WAIT_FOREVER))
        return static_cast<uint32_t>(::GetLastError());
    slot->watcher = ::CreateThread(nullptr, 0, watch, slot.get(), 0, nullptr);
    if (slot->watcher == nullptr) {
        uint32_t error = static_cast<uint32_t>(::GetLastError());
        ::SetMailslotInfo(slot->handle, 0);
        return error;
    }
    return ERR_SUCCESS;
}

uint32_t setMailslotAcceptPrefix(MailslotHandle handle, const std::string& prefix)
{
    SlotPtr slot = find(handle);
    if (!slot || !slot->receiver)
        return ERR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(slot->mutex);
    slot->acceptPrefix = prefix;
    // The system queue is filtered as it is read; only the message already
    // taken needs checking here.
    if (slot->hasPending && slot->pending.compare(0, prefix.size(), prefix) != 0) {
        slot->pending.clear();
        slot->hasPending = false;
    }
    std::deque<std::string> kept;
    for (std::string& message : slot->arrived)
        if (message.compare(0, prefix.size(), prefix) == 0)
            kept.push_back(std::move(message));
    slot->arrived.swap(kept);
    return ERR_SUCCESS;
}

uint32_t takeMailslotDropCount(MailslotHandle handle, uint32_t& dropped)
{
    dropped = 0;
    SlotPtr slot = find(handle);
    if (!slot || !slot->receiver)
        return ERR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(slot->mutex);
    dropped = slot->dropped;
    slot->dropped = 0;
    return ERR_SUCCESS;
}

// A mailslot tells its reader nothing about the writer: every local
// process may write, as the null DACL says.
uint32_t takeMailslotRefusals(MailslotHandle handle, MailslotRefusals& refusals)
{
    refusals = MailslotRefusals();
    SlotPtr slot = find(handle);
    return slot && slot->receiver ? ERR_SUCCESS : ERR_INVALID_HANDLE;
}

uint32_t mailslotHolder(const std::string&) { return 0; }

uint32_t closeMailslot(MailslotHandle handle)
{
    SlotPtr slot;
    {
        Slots& all = slots();
        std::lock_guard<std::mutex> lock(all.mutex);
        auto it = all.open.find(handle);
        if (it == all.open.end())
            return ERR_INVALID_HANDLE;
        slot = std::move(it->second);
        all.open.erase(it);
    }
    endWatch(*slot);
    std::lock_guard<std::mutex> lock(slot->mutex);
    if (slot->handle == INVALID_HANDLE_VALUE)
        return ERR_SUCCESS;
    return ::CloseHandle(slot->handle) ? ERR_SUCCESS : static_cast<uint32_t>(::GetLastError());
}

uint32_t setMailslotWriteWaitMilliseconds(uint32_t milliseconds) { return writeWaitMs.exchange(milliseconds); }

} // namespace Platform
} // namespace Telvar
