#pragma once

// The collector's own figures, published as the "Ravlon Collector" object:
// counts that the collector's threads bump and the performance-data backend
// reads. Only atomics: a bump never waits for a reader, a reader never for a
// bump. Each process has its own block, so a collector sees only itself.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/Clock.h"
#include "platform/ThreadId.h"

namespace Telvar {
namespace Platform {

// The kinds of thread whose processor time the object shows apart.
enum class ThreadKind : uint32_t { None = 0, Poller, Writer, Delivery, Listener, Count };

class CollectorStatistics {
public:
    enum Figure {
        SAMPLES_MISSED,     // seconds whose sample was not taken within that second
        RECORDS_WRITTEN,    // records appended whole to a data file
        RECORDS_FAILED,     // records dropped because they could not be written
        FILES_DELIVERED,    // data files renamed to their delivered name
        FILES_PENDING,      // data files open with records not yet delivered
        DELIVERY_FAILURES,  // data files that could not be closed or renamed
        COMMANDS_RECEIVED,  // commands addressed to the collector
        JUNK_DROPPED,       // messages dropped unread (not for us, malformed, too long)
        EXPORT_BACKLOG,     // records in the push's spool not yet taken by the engine
        EXPORT_FAILURES,
        RELOADS,            // configurations reloaded on request
        FAILED_RELOADS,
        FIGURES
    };
    // Threads whose kind is known at once; more are not shown apart.
    static constexpr size_t MAX_THREADS = 64;

    struct ThreadEntry {
        uint32_t tid;
        ThreadKind kind;
    };

    CollectorStatistics()
    {
        for (auto& f : figures_)
            f.store(0, std::memory_order_relaxed);
        for (auto& t : threads_)
            t.store(0, std::memory_order_relaxed);
        lastDelivery_.store(monotonicMilliseconds(), std::memory_order_relaxed);
    }
    CollectorStatistics(const CollectorStatistics&) = delete;
    CollectorStatistics& operator=(const CollectorStatistics&) = delete;

    void add(Figure f, int64_t n = 1) { figures_[f].fetch_add(n, std::memory_order_relaxed); }
    void set(Figure f, int64_t v) { figures_[f].store(v, std::memory_order_relaxed); }
    int64_t get(Figure f) const { return figures_[f].load(std::memory_order_relaxed); }

    // A delivered file: counted, and the age of the last delivery starts anew.
    void delivered()
    {
        add(FILES_DELIVERED);
        lastDelivery_.store(monotonicMilliseconds(), std::memory_order_relaxed);
    }
    // Seconds since the last delivery, or since the block was made when none
    // happened yet.
    double lastDeliveryAgeSeconds() const
    {
        int64_t ms = monotonicMilliseconds() - lastDelivery_.load(std::memory_order_relaxed);
        return ms > 0 ? double(ms) / 1000.0 : 0.0;
    }

    // Marks the calling thread as one of kind until unregisterThread (a
    // thread that was killed stays until its id is registered again). False
    // when every place is taken.
    bool registerThread(ThreadKind kind)
    {
        const uint32_t tid = currentThreadId();
        unregisterThread(tid);
        const uint64_t word = (uint64_t(tid) << 8) | uint64_t(kind);
        for (auto& t : threads_) {
            uint64_t free = 0;
            if (t.compare_exchange_strong(free, word, std::memory_order_relaxed))
                return true;
        }
        return false;
    }
    void unregisterThread(uint32_t tid)
    {
        for (auto& t : threads_) {
            uint64_t word = t.load(std::memory_order_relaxed);
            if (word != 0 && uint32_t(word >> 8) == tid)
                t.compare_exchange_strong(word, 0, std::memory_order_relaxed);
        }
    }
    // Copies the registered threads into out (room for MAX_THREADS); answers their number.
    size_t threads(ThreadEntry* out) const
    {
        size_t n = 0;
        for (const auto& t : threads_) {
            uint64_t word = t.load(std::memory_order_relaxed);
            if (word != 0)
                out[n++] = ThreadEntry{uint32_t(word >> 8), ThreadKind(word & 0xFF)};
        }
        return n;
    }

private:
    std::atomic<int64_t> figures_[FIGURES];
    std::atomic<uint64_t> threads_[MAX_THREADS];  // thread id << 8 | kind; 0 is free
    std::atomic<int64_t> lastDelivery_;
};

// This process's block.
inline CollectorStatistics& collectorStatistics()
{
    static CollectorStatistics block;
    return block;
}

// Registers the calling thread as of a kind for the scope's lifetime.
class ThreadKindMark {
public:
    explicit ThreadKindMark(ThreadKind kind) : tid_(currentThreadId()) { collectorStatistics().registerThread(kind); }
    ~ThreadKindMark() { collectorStatistics().unregisterThread(tid_); }
    ThreadKindMark(const ThreadKindMark&) = delete;
    ThreadKindMark& operator=(const ThreadKindMark&) = delete;

private:
    uint32_t tid_;
};

} // namespace Platform
} // namespace Telvar
