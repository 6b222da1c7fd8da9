#include "platform/MailslotTransport.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/CollectorStatistics.h"
#include "platform/Thread.h"
#include "platform/linux/InstallationGroup.h"
#include "platform/linux/RuntimeDirectory.h"

namespace Telvar {
namespace Platform {

// Each slot is a Unix datagram socket in the runtime directory
// (RuntimeDirectory.h), so that no other account can take a name. The file
// of a slot whose receiver died is found dead (the connection is refused)
// and replaced by the next receiver. The kernel queues only a handful of
// datagrams per socket, so a receiver moves them into its own queue on a
// small thread; a burst of writers is thus not held up between two polls of
// the receiver, and messages without the accepted prefix never take room in
// that queue. Only the installation's people may write to a slot: its file
// is not writable by others, and each message's sender, as the kernel tells
// it, is checked, so a socket opened before a change of rights or handed on
// to another account does not help; other messages are dropped and counted.

namespace {

const char SLOT_SUFFIX[] = ".slot";
// The owner and the installation's group write; root always can.
constexpr mode_t SLOT_MODE = 0660;
// The receiver's own queue; beyond it writers wait, then fail.
constexpr size_t MAX_QUEUED_MESSAGES = 16384;
constexpr size_t MAX_QUEUED_BYTES = 8 * 1024 * 1024;
constexpr int SEND_BUFFER = 256 * 1024;
constexpr int RECEIVE_BUFFER = 1024 * 1024;

std::atomic<uint32_t> writeWaitMs{200};

struct Queued {
    std::string text;
    MailslotSender sender;
};

struct Slot {
    bool receiver = false;
    int socket = -1;
    Runtime::Directory directory;
    std::string file;
    sockaddr_un address{};
    socklen_t addressLength = 0;

    // Receiver only.
    dev_t device = 0;
    ino_t inode = 0;
    std::string acceptPrefix;
    uint64_t refused = 0;
    MailslotRefusals strangers;
    int wake = -1;
    ThreadId reader = 0;       // told of arrivals (MSG_WAKE) when not 0
    bool readerTold = false;   // and told already since its last look
    std::mutex mutex;
    std::deque<Queued> queue;
    size_t queuedBytes = 0;
    uint32_t dropped = 0;
    std::vector<char> buffer;
    std::atomic<bool> closing{false};
    std::thread drainer;
};

using SlotPtr = std::shared_ptr<Slot>;

struct Table {
    std::mutex mutex;
    std::map<MailslotHandle, SlotPtr> slots;
    MailslotHandle next = 1;
};

Table& table()
{
    static Table* instance = new Table;
    return *instance;
}

SlotPtr find(MailslotHandle handle)
{
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.slots.find(handle);
    return it == t.slots.end() ? SlotPtr() : it->second;
}

MailslotHandle enter(const SlotPtr& slot)
{
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    MailslotHandle handle = t.next++;
    t.slots[handle] = slot;
    return handle;
}

uint32_t fromErrno(int error)
{
    switch (error) {
    case ECONNREFUSED:
    case ENOENT:
    case ENOTCONN:
        return ERR_FILE_NOT_FOUND;
    case EADDRINUSE:
        return ERR_ALREADY_EXISTS;
    case EACCES:
    case EPERM:
        return ERR_ACCESS_DENIED;
    case ENOMEM:
    case ENOBUFS:
    case EMFILE:
    case ENFILE:
        return ERR_NOT_ENOUGH_MEMORY;
    case EMSGSIZE:
    case EINVAL:
        return ERR_INVALID_PARAMETER;
    case EAGAIN:
        return ERR_SEM_TIMEOUT;
    case EBADF:
        return ERR_INVALID_HANDLE;
    default:
        return ERR_GEN_FAILURE;
    }
}

void makeAddress(const std::string& name, Slot& slot)
{
    slot.file = Runtime::fileName(name, SLOT_SUFFIX);
    slot.directory.address(slot.file, slot.address, slot.addressLength);
}

// A slot file nobody receives on any more: its receiver died.
bool deadSlot(const Slot& slot)
{
    int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    bool dead = ::connect(probe, reinterpret_cast<const sockaddr*>(&slot.address), slot.addressLength) != 0 &&
                errno == ECONNREFUSED;
    ::close(probe);
    return dead;
}

// Binds the receiver's socket to its file, replacing a dead one.
uint32_t bindSlot(Slot& slot)
{
    Runtime::CreationLock creating(slot.directory);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::bind(slot.socket, reinterpret_cast<const sockaddr*>(&slot.address), slot.addressLength) == 0) {
            ::fchmodat(slot.directory.fd(), slot.file.c_str(), SLOT_MODE, 0);
            gid_t group = 0;
            if (Installation::groupId(group))
                ::fchownat(slot.directory.fd(), slot.file.c_str(), static_cast<uid_t>(-1), group, AT_SYMLINK_NOFOLLOW);
            struct stat st;
            if (::fstatat(slot.directory.fd(), slot.file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                slot.device = st.st_dev;
                slot.inode = st.st_ino;
            }
            return ERR_SUCCESS;
        }
        if (errno != EADDRINUSE || attempt > 0 || !deadSlot(slot))
            return fromErrno(errno);
        ::unlinkat(slot.directory.fd(), slot.file.c_str(), 0);
    }
    return ERR_ALREADY_EXISTS;
}

// Removes the receiver's file, unless another receiver holds the name by now.
void unlinkSlot(Slot& slot)
{
    if (slot.inode == 0)
        return;
    Runtime::CreationLock removing(slot.directory);
    struct stat st;
    if (::fstatat(slot.directory.fd(), slot.file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == slot.device && st.st_ino == slot.inode)
        ::unlinkat(slot.directory.fd(), slot.file.c_str(), 0);
    slot.inode = 0;
}

// The sender of a received message, from the credentials the kernel
// attached (SO_PASSCRED); false when there are none.
bool senderOf(msghdr& header, ucred& sender)
{
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof sender)) {
            std::memcpy(&sender, CMSG_DATA(c), sizeof sender);
            return true;
        }
    }
    return false;
}

void refuse(Slot& slot, const ucred& sender, bool known)
{
    ++slot.strangers.count;
    slot.strangers.lastUid = known ? static_cast<uint32_t>(sender.uid) : UINT32_MAX;
    slot.strangers.lastPid = known ? static_cast<uint32_t>(sender.pid) : 0;
}

// Moves what the socket holds into the slot's queue. Called with the lock.
uint32_t drainSocket(Slot& slot)
{
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    for (;;) {
        if (slot.queue.size() >= MAX_QUEUED_MESSAGES || slot.queuedBytes >= MAX_QUEUED_BYTES)
            return ERR_SUCCESS;
        iovec data = {slot.buffer.data(), slot.buffer.size()};
        msghdr header{};
        header.msg_iov = &data;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        ssize_t n = ::recvmsg(slot.socket, &header, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return ERR_SUCCESS;
            return fromErrno(errno);
        }
        ucred sender{};
        bool known = senderOf(header, sender);
        if (!known || !Installation::trustedSender(sender.uid, sender.gid)) {
            refuse(slot, sender, known);
            continue;
        }
        // MSG_TRUNC makes recvmsg answer the datagram's real length.
        if (static_cast<size_t>(n) > MAILSLOT_MAX_MESSAGE) {
            ++slot.dropped;
            continue;
        }
        const std::string& prefix = slot.acceptPrefix;
        if (static_cast<size_t>(n) < prefix.size() || std::memcmp(slot.buffer.data(), prefix.data(), prefix.size()) != 0) {
            ++slot.refused;
            collectorStatistics().add(CollectorStatistics::JUNK_DROPPED);
            continue;
        }
        Queued entry;
        entry.text.assign(slot.buffer.data(), static_cast<size_t>(n));
        entry.sender.known = true;
        entry.sender.uid = static_cast<uint32_t>(sender.uid);
        entry.sender.pid = static_cast<uint32_t>(sender.pid);
        slot.queue.push_back(std::move(entry));
        slot.queuedBytes += static_cast<size_t>(n);
    }
}

void drainLoop(Slot* slot)
{
    ::pthread_setname_np(::pthread_self(), "mailslot");
    while (!slot->closing.load()) {
        bool full;
        {
            std::lock_guard<std::mutex> lock(slot->mutex);
            full = slot->queue.size() >= MAX_QUEUED_MESSAGES || slot->queuedBytes >= MAX_QUEUED_BYTES;
        }
        pollfd fds[2] = {{slot->wake, POLLIN, 0}, {slot->socket, POLLIN, 0}};
        // With a full queue only look for the end, and now and then for room.
        int rc = ::poll(fds, full ? 1 : 2, full ? 50 : -1);
        if (rc < 0 && errno != EINTR)
            return;
        if (fds[0].revents != 0)
            return;
        if (!full && (fds[1].revents & POLLIN) != 0) {
            std::lock_guard<std::mutex> lock(slot->mutex);
            const size_t before = slot->queue.size() + slot->strangers.count + slot->dropped;
            drainSocket(*slot);
            const bool news = slot->queue.size() + slot->strangers.count + slot->dropped != before;
            if (news && slot->reader != 0 && !slot->readerTold)
                slot->readerTold = postThreadMessage(slot->reader, MSG_WAKE, 0, 0) == ERR_SUCCESS;
        }
    }
}

// The socket inode bound to path, from the kernel's list; 0 when none.
unsigned long socketInode(const std::string& path)
{
    std::ifstream list("/proc/net/unix");
    std::string line;
    std::getline(list, line);  // heading
    while (std::getline(list, line)) {
        std::istringstream fields(line);
        std::string num, refs, protocol, flags, type, state, inode, bound;
        if ((fields >> num >> refs >> protocol >> flags >> type >> state >> inode >> bound) && bound == path)
            return std::strtoul(inode.c_str(), nullptr, 10);
    }
    return 0;
}

// The process with a descriptor of that socket; 0 when none can be seen.
uint32_t processOfSocket(unsigned long inode)
{
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr)
        return 0;
    uint32_t found = 0;
    while (found == 0) {
        dirent* entry = ::readdir(processes);
        if (entry == nullptr)
            break;
        char* end = nullptr;
        unsigned long pid = std::strtoul(entry->d_name, &end, 10);
        if (pid == 0 || *end != '\0')
            continue;
        const std::string fds = std::string("/proc/") + entry->d_name + "/fd";
        DIR* list = ::opendir(fds.c_str());
        if (list == nullptr)
            continue;
        while (dirent* fd = ::readdir(list)) {
            char target[64];
            ssize_t n = ::readlinkat(::dirfd(list), fd->d_name, target, sizeof target - 1);
            if (n > 0 && wanted.compare(0, std::string::npos, target, static_cast<size_t>(n)) == 0) {
                found = static_cast<uint32_t>(pid);
                break;
            }
        }
        ::closedir(list);
    }
    ::closedir(processes);
    return found;
}

void closeSlot(Slot& slot)
{
    if (slot.receiver && slot.drainer.joinable()) {
        slot.closing = true;
        uint64_t one = 1;
        ssize_t ignored = ::write(slot.wake, &one, sizeof one);
        (void)ignored;
        slot.drainer.join();
    }
    if (slot.receiver)
        unlinkSlot(slot);
    if (slot.wake >= 0)
        ::close(slot.wake);
    if (slot.socket >= 0)
        ::close(slot.socket);
    slot.wake = -1;
    slot.socket = -1;
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

std::string mailslotDirectory() { return Runtime::rootPath(); }

std::string mailslotFailureText() { return Runtime::lastRefusal(); }

uint32_t createMailslot(const std::string& name, MailslotHandle& handle)
{
    if (!isValidMailslotName(name))
        return ERR_INVALID_NAME;
    if (!Runtime::mayCreate(name))
        return ERR_ACCESS_DENIED;
    SlotPtr slot = std::make_shared<Slot>();
    slot->receiver = true;
    uint32_t placed = Runtime::openOwnDirectory(slot->directory);
    if (placed != ERR_SUCCESS)
        return placed;
    makeAddress(name, *slot);
    slot->socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (slot->socket < 0)
        return fromErrno(errno);
    // Before the name exists: every message that can arrive carries its sender.
    int on = 1;
    if (::setsockopt(slot->socket, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        uint32_t error = fromErrno(errno);
        closeSlot(*slot);
        return error;
    }
    uint32_t bound = bindSlot(*slot);
    if (bound != ERR_SUCCESS) {
        closeSlot(*slot);
        return bound;
    }
    int size = RECEIVE_BUFFER;
    ::setsockopt(slot->socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    slot->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (slot->wake < 0) {
        uint32_t error = fromErrno(errno);
        closeSlot(*slot);
        return error;
    }
    slot->buffer.resize(MAILSLOT_MAX_MESSAGE + 1);
    try {
        slot->drainer = std::thread(drainLoop, slot.get());
    } catch (...) {
        closeSlot(*slot);
        return ERR_NOT_ENOUGH_MEMORY;
    }
    handle = enter(slot);
    return ERR_SUCCESS;
}

uint32_t openMailslot(const std::string& name, bool /*broadcast*/, MailslotHandle& handle)
{
    if (!isValidMailslotName(name))
        return ERR_INVALID_NAME;
    SlotPtr slot = std::make_shared<Slot>();
    const std::string file = Runtime::fileName(name, SLOT_SUFFIX);
    uint32_t found = Runtime::findHolder(name, file, slot->directory);
    if (found != ERR_SUCCESS)
        return found;
    makeAddress(name, *slot);
    slot->socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (slot->socket < 0)
        return fromErrno(errno);
    int size = SEND_BUFFER;
    ::setsockopt(slot->socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    if (::connect(slot->socket, reinterpret_cast<const sockaddr*>(&slot->address), slot->addressLength) != 0) {
        uint32_t error = fromErrno(errno);
        closeSlot(*slot);
        return error;
    }
    handle = enter(slot);
    return ERR_SUCCESS;
}

uint32_t writeMailslot(MailslotHandle handle, const void* data, size_t length)
{
    SlotPtr slot = find(handle);
    if (!slot || slot->receiver)
        return ERR_INVALID_HANDLE;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(writeWaitMs.load());
    bool reconnected = false;
    for (;;) {
        ssize_t n = ::send(slot->socket, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0)
            return ERR_SUCCESS;
        int error = errno;
        if (error == EINTR)
            continue;
        if ((error == ECONNREFUSED || error == ENOTCONN) && !reconnected) {
            // The receiver went away; a new one may hold the name now.
            reconnected = true;
            if (::connect(slot->socket, reinterpret_cast<const sockaddr*>(&slot->address), slot->addressLength) != 0)
                return fromErrno(errno);
            continue;
        }
        if (error != EAGAIN && error != EWOULDBLOCK)
            return fromErrno(error);
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return ERR_SEM_TIMEOUT;
        int waitMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()) + 1;
        pollfd fd = {slot->socket, POLLOUT, 0};
        ::poll(&fd, 1, waitMs);
    }
}

uint32_t mailslotNextSize(MailslotHandle handle, int32_t& nextSize)
{
    SlotPtr slot = find(handle);
    if (!slot || !slot->receiver)
        return ERR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(slot->mutex);
    // The drainer keeps the queue filled: the socket is looked at here only
    // when it is empty, not once per message.
    uint32_t error = slot->queue.empty() ? drainSocket(*slot) : ERR_SUCCESS;
    if (error != ERR_SUCCESS && slot->queue.empty())
        return error;
    // The reader has caught up: whatever arrives from now on is news to it.
    if (slot->queue.empty())
        slot->readerTold = false;
    nextSize = slot->queue.empty() ? MAILSLOT_NO_MESSAGE : static_cast<int32_t>(slot->queue.front().text.size());
    return ERR_SUCCESS;
}

uint32_t readMailslot(MailslotHandle handle, std::string& message)
{
    MailslotSender sender;
    return readMailslot(handle, message, sender);
}

uint32_t readMailslot(MailslotHandle handle, std::string& message, MailslotSender& sender)
{
    sender = MailslotSender();
    SlotPtr slot = find(handle);
    if (!slot || !slot->receiver)
        return ERR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(slot->mutex);
    uint32_t error = slot->queue.empty() ? drainSocket(*slot) : ERR_SUCCESS;
    if (error != ERR_SUCCESS && slot->queue.empty())
        return error;
    message.clear();
    if (slot->queue.empty())
        return ERR_SUCCESS;
    message.swap(slot->queue.front().text);
    sender = slot->queue.front().sender;
    slot->queue.pop_front();
    slot->queuedBytes -= message.size();
    return ERR_SUCCESS;
}

uint32_t setMailslotAcceptPrefix(MailslotHandle handle, const std::string& prefix)
{
    SlotPtr slot = find(handle);
    if (!slot || !slot->receiver)
        return ERR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(slot->mutex);
    slot->acceptPrefix = prefix;
    // What came in before the prefix was set goes the same way.
    std::deque<Queued> kept;
    for (Queued& message : slot->queue) {
        if (message.text.compare(0, prefix.size(), prefix) == 0)
            kept.push_back(std::move(message));
        else
            slot->queuedBytes -= message.text.size();
    }
    slot->queue.swap(kept);
    return ERR_SUCCESS;
}

uint32_t notifyMailslotArrivals(MailslotHandle handle, ThreadId thread)
{
    SlotPtr slot = find(handle);
    if (!slot || !slot->receiver)
        return ERR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(slot->mutex);
    slot->reader = thread;
    slot->readerTold = false;
    return ERR_SUCCESS;
}

uint32_t takeMailslotDropCount(MailslotHandle handle, uint32_t& dropped)
{
    SlotPtr slot = find(handle);
    if (!slot || !slot->receiver)
        return ERR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(slot->mutex);
    dropped = slot->dropped;
    slot->dropped = 0;
    return ERR_SUCCESS;
}

uint32_t mailslotHolder(const std::string& name)
{
    if (!isValidMailslotName(name))
        return 0;
    Runtime::Directory directory;
    const std::string file = Runtime::fileName(name, SLOT_SUFFIX);
    if (Runtime::findHolder(name, file, directory) != ERR_SUCCESS)
        return 0;
    unsigned long inode = socketInode(directory.path() + "/" + file);
    return inode == 0 ? 0 : processOfSocket(inode);
}

uint32_t takeMailslotRefusals(MailslotHandle handle, MailslotRefusals& refusals)
{
    SlotPtr slot = find(handle);
    if (!slot || !slot->receiver)
        return ERR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(slot->mutex);
    refusals = slot->strangers;
    slot->strangers = MailslotRefusals();
    return ERR_SUCCESS;
}

uint32_t closeMailslot(MailslotHandle handle)
{
    SlotPtr slot;
    {
        Table& t = table();
        std::lock_guard<std::mutex> lock(t.mutex);
        auto it = t.slots.find(handle);
        if (it == t.slots.end())
            return ERR_INVALID_HANDLE;
        slot = std::move(it->second);
        t.slots.erase(it);
    }
    closeSlot(*slot);
    return ERR_SUCCESS;
}

uint32_t setMailslotWriteWaitMilliseconds(uint32_t milliseconds) { return writeWaitMs.exchange(milliseconds); }

} // namespace Platform
} // namespace Telvar
