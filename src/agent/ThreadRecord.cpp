#include "agent/ThreadRecord.h"

namespace Telvar {

ThreadRecord::ThreadRecord() = default;

ThreadRecord::ThreadRecord(const std::string& recordName, uint8_t recordFlags)
    : name(recordName), flags(recordFlags)
{
}

ThreadRecord::ThreadRecord(const ThreadRecord& other)
    : name(other.name),
      thread(other.thread),
      flags(other.flags),
      state(other.state.load()),
      checkStatus(other.checkStatus),
      lastOk(other.lastOk)
{
}

ThreadRecord& ThreadRecord::operator=(const ThreadRecord& other)
{
    if (this != &other) {
        name = other.name;
        thread = other.thread;
        flags = other.flags;
        state = other.state.load();
        checkStatus = other.checkStatus;
        lastOk = other.lastOk;
    }
    return *this;
}

ThreadRecord::~ThreadRecord() = default;

} // namespace Telvar
