#include "common/Monopoly.h"

#include "platform/Clock.h"

namespace Telvar {

namespace {

std::mutex hookLock;
Monopoly::TraceHook traceHook;

} // namespace

Monopoly::Monopoly() : named_(false) {}

Monopoly::Monopoly(const std::string& name) : name_(mutexName(name)), named_(true) {}

Monopoly::~Monopoly()
{
    if (named_) {
        relax();
        return;
    }
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        closing_ = true;
    }
    freed_.notify_all();
    // Give a thread that is just leaving the section time to get out. Real
    // time on purpose: a test clock must not shorten this wait.
    Platform::sleepMilliseconds(10);
    std::lock_guard<std::mutex> guard(stateLock_);
}

std::string Monopoly::mutexName(const std::string& name)
{
    std::string out = name;
    for (char& c : out) {
        if (c == '/' || c == '\\')
            c = '_';
    }
    return out;
}

bool Monopoly::enforce()
{
    trace("MONOPOLY: enforce      ");
    std::unique_lock<std::mutex> guard(stateLock_);
    bool ok = false;
    if (named_) {
        if (held_) {
            ok = true;
        } else if (!name_.empty()) {
            Platform::NamedMutexHandle handle = Platform::INVALID_NAMED_MUTEX;
            if (Platform::createNamedMutex(name_, handle) == Platform::NamedMutexResult::CREATED) {
                handle_ = handle;
                held_ = true;
                ok = true;
            }
        }
    } else {
        std::thread::id self = std::this_thread::get_id();
        if (held_ && owner_ == self) {
            ++depth_;
            ok = true;
        } else {
            freed_.wait(guard, [this] { return !held_ || closing_; });
            if (!closing_) {
                owner_ = self;
                depth_ = 1;
                held_ = true;
                ok = true;
            }
        }
    }
    guard.unlock();
    trace(ok ? "MONOPOLY: ENFORCED     " : "MONOPOLY: enforce FAIL ");
    return ok;
}

bool Monopoly::relax()
{
    trace("MONOPOLY: relax        ");
    std::unique_lock<std::mutex> guard(stateLock_);
    bool ok = true;
    bool wake = false;
    if (named_) {
        if (held_) {
            ok = Platform::releaseNamedMutex(handle_);
            handle_ = Platform::INVALID_NAMED_MUTEX;
            held_ = false;
        }
    } else if (!held_ || owner_ != std::this_thread::get_id()) {
        ok = false;
    } else if (--depth_ == 0) {
        held_ = false;
        owner_ = std::thread::id();
        wake = true;
    }
    guard.unlock();
    if (wake)
        freed_.notify_one();
    trace(ok ? "MONOPOLY: RELAXED      " : "MONOPOLY: relax FAIL   ");
    return ok;
}

bool Monopoly::held() const { return held_.load(); }

bool Monopoly::rename(const std::string& name)
{
    std::lock_guard<std::mutex> guard(stateLock_);
    if (held_ || handle_ != Platform::INVALID_NAMED_MUTEX)
        return false;
    name_ = mutexName(name);
    named_ = true;
    return true;
}

void Monopoly::setTraceLabel(const std::string& label)
{
    std::lock_guard<std::mutex> guard(stateLock_);
    label_ = label;
}

void Monopoly::setTraceHook(TraceHook hook)
{
    std::lock_guard<std::mutex> guard(hookLock);
    traceHook = std::move(hook);
}

void Monopoly::trace(const char* text) const
{
    std::string label;
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        if (label_.empty())
            return;
        label = label_;
    }
    TraceHook hook;
    {
        std::lock_guard<std::mutex> guard(hookLock);
        hook = traceHook;
    }
    if (hook)
        hook(text + label);
}

} // namespace Telvar
