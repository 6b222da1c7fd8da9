#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace Telvar {

// Shared owning pointer with a separately allocated count. release() deletes
// the object for every holder at once: the count turns negative, the other
// holders then read as null and count back up, the last one frees the count.
template <class T>
class SmartPointer {
public:
    SmartPointer() = default;
    explicit SmartPointer(T* object) : object_(object), count_(object ? new std::atomic<int32_t>(1) : nullptr) {}
    SmartPointer(const SmartPointer& other) { attach(other.object_, other.count_); }
    template <class U>
    SmartPointer(const SmartPointer<U>& other) { attach(other.object_, other.count_); }
    SmartPointer(SmartPointer&& other) noexcept : object_(other.object_), count_(other.count_)
    {
        other.object_ = nullptr;
        other.count_ = nullptr;
    }
    SmartPointer& operator=(const SmartPointer& other)
    {
        if (this != &other) {
            SmartPointer copy(other);
            swap(copy);
        }
        return *this;
    }
    SmartPointer& operator=(SmartPointer&& other) noexcept
    {
        if (this != &other) {
            reset();
            swap(other);
        }
        return *this;
    }
    ~SmartPointer() { reset(); }

    bool isNull() const { return object_ == nullptr || count_ == nullptr || count_->load() <= 0; }

    // Drops this holder; the last holder deletes the object.
    void reset()
    {
        if (count_ != nullptr) {
            int32_t now = count_->load();
            for (;;) {
                int32_t next = now > 0 ? now - 1 : now + 1;
                if (count_->compare_exchange_weak(now, next))
                    break;
            }
            bool wasLive = now > 0;
            int32_t next = wasLive ? now - 1 : now + 1;
            if (next == 0) {
                if (wasLive)
                    delete object_;
                delete count_;
            }
        }
        object_ = nullptr;
        count_ = nullptr;
    }

    // Deletes the object now for all holders; this holder becomes null.
    void release()
    {
        if (count_ == nullptr)
            return;
        int32_t now = count_->load();
        while (now > 0) {
            // The others stay as negative holders that each count back up.
            if (count_->compare_exchange_weak(now, -(now - 1))) {
                delete object_;
                if (now == 1)
                    delete count_;
                object_ = nullptr;
                count_ = nullptr;
                return;
            }
        }
        reset(); // already released by another holder
    }

    bool equals(const SmartPointer& other) const { return get() == other.get(); }

    T* get() const { return isNull() ? nullptr : object_; }
    T* operator->() const { return get(); }
    T& operator*() const { return *get(); }
    explicit operator bool() const { return !isNull(); }

    void swap(SmartPointer& other) noexcept
    {
        std::swap(object_, other.object_);
        std::swap(count_, other.count_);
    }

private:
    template <class U>
    friend class SmartPointer;

    void attach(T* object, std::atomic<int32_t>* count)
    {
        if (count == nullptr)
            return;
        int32_t now = count->load();
        for (;;) {
            // A released object adds a negative holder.
            int32_t next = now > 0 ? now + 1 : now - 1;
            if (count->compare_exchange_weak(now, next))
                break;
        }
        object_ = object;
        count_ = count;
    }

    T* object_ = nullptr;
    std::atomic<int32_t>* count_ = nullptr;
};

} // namespace Telvar
