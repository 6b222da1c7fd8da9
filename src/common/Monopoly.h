#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/NamedMutex.h"

namespace Telvar {

// Exclusive section. Unnamed: a re-entrant lock between the threads of this
// process (enforce blocks, and counts nested entries by the holding thread).
// Named: a machine-wide try-lock that never blocks; held exactly while this
// object keeps it and gone with the holding process.
class Monopoly {
public:
    using TraceHook = std::function<void(const std::string&)>;

    // Unnamed, in-process lock.
    Monopoly();
    // Named lock; "/" and "\\" in the name become "_".
    explicit Monopoly(const std::string& name);
    Monopoly(const Monopoly&) = delete;
    Monopoly& operator=(const Monopoly&) = delete;
    virtual ~Monopoly();

    // Unnamed: waits for the lock, true. Named: true when this object holds
    // (or already held) the name; false at once when anybody else holds it
    // or the object has an empty name.
    bool enforce();
    // Unnamed: leaves one level; false when the calling thread does not hold
    // it. Named: gives the name up (true when not held).
    bool relax();
    bool held() const;

    // Switches to named mode with this name, not held. Refused while held.
    bool rename(const std::string& name);

    bool isNamed() const { return named_; }
    // The name as used, after the slash replacement.
    const std::string& name() const { return name_; }
    // Nesting depth of the unnamed lock.
    int depth() const { return depth_.load(); }

    // A non-empty label makes every operation hand a trace text to the hook.
    void setTraceLabel(const std::string& label);
    // Process-wide hook; the default discards the text. Empty: back to default.
    static void setTraceHook(TraceHook hook);

    // "/" and "\\" replaced by "_".
    static std::string mutexName(const std::string& name);

private:
    void trace(const char* text) const;

    std::string label_;
    std::string name_;
    bool named_;
    std::atomic<bool> held_{false};
    Platform::NamedMutexHandle handle_ = Platform::INVALID_NAMED_MUTEX;
    std::atomic<bool> closing_{false};
    std::atomic<int> depth_{0};
    std::thread::id owner_;
    mutable std::mutex stateLock_;
    std::condition_variable freed_;
};

} // namespace Telvar
