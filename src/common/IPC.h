#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Telvar {

// Transport modes.
enum IPCMode : int32_t {
    IPC_RECEIVER = 0,        // creates and reads the slot
    IPC_SENDER_LOCAL = 1,    // writes to the slot on this machine
    IPC_SENDER_BROADCAST = 2 // writes to the slot on every machine of the domain
};

// One-way message transport.
class IPC {
public:
    explicit IPC(int32_t mode) : mode_(mode) {}
    virtual ~IPC();
    // True on success; failures throw IPCException.
    virtual bool send(const std::string& text) = 0;
    // Appends every waiting message; -1 once the queue is empty.
    virtual int32_t receive(std::vector<std::string>& messages) = 0;

    int32_t mode() const { return mode_; }

protected:
    int32_t mode_;
};

} // namespace Telvar
