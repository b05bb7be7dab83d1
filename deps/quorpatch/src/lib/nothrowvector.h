#ifndef QUORPATCH_NOTHROWVECTOR_H
#define QUORPATCH_NOTHROWVECTOR_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

#include "types.h"

namespace quorpatch {

static_assert(sizeof(std::size_t) == 8, "the engine's sizes are 64 bits wide");

// Every allocation of the engine's own buffers goes through here: null instead of an exception.
void *AllocateNoThrow(std::size_t bytes);
void ReleaseNoThrow(void *memory);

// Lets a test make an allocation fail: after `successes` further allocations succeed, the next
// one fails once. A negative value switches the failure off.
void SetAllocationFailureAfter(long long successes);

class ScopedAllocationFailure
{
public:
    explicit ScopedAllocationFailure(long long successes) { SetAllocationFailureAfter(successes); }
    ~ScopedAllocationFailure() { SetAllocationFailureAfter(-1); }

private:
    ScopedAllocationFailure(const ScopedAllocationFailure &) = delete;
    ScopedAllocationFailure &operator=(const ScopedAllocationFailure &) = delete;
};

// Objects on the non-throwing allocator; the constructor itself must not throw.
template<typename T, typename... Args> T *NewNoThrow(Args &&...args)
{
    void *memory = AllocateNoThrow(sizeof(T));
    return memory ? new (memory) T(std::forward<Args>(args)...) : nullptr;
}

template<typename T> void DeleteNoThrow(T *object)
{
    if (object) {
        object->~T();
        ReleaseNoThrow(object);
    }
}

template<typename T> struct NoThrowVectorTraits;

template<typename T> struct NoThrowVectorTraits<T *>
{
    static constexpr std::size_t kInitial = 32;
    static constexpr std::size_t kLimit = (std::size_t(1) << 61) - 1;
};

template<> struct NoThrowVectorTraits<u32>
{
    static constexpr std::size_t kInitial = 64;
    static constexpr std::size_t kLimit = (std::size_t(1) << 62) - 1;
};

template<> struct NoThrowVectorTraits<u8>
{
    static constexpr std::size_t kInitial = 256;
    static constexpr std::size_t kLimit = ~std::size_t(0);
};

// A growable array that reports allocation failure instead of throwing. After one failed
// allocation it holds nothing and refuses every further Reserve and Append.
template<typename T> class NoThrowVector
{
public:
    typedef NoThrowVectorTraits<T> Traits;
    static constexpr std::size_t kFailedCapacity = 0xFFFFFFFFu;

    NoThrowVector() = default;
    ~NoThrowVector() { ReleaseNoThrow(m_buffer); }

    NoThrowVector(NoThrowVector &&other) noexcept { swap(other); }
    NoThrowVector &operator=(NoThrowVector &&other) noexcept
    {
        if (this != &other) {
            NoThrowVector gone(std::move(other));
            swap(gone);
        }
        return *this;
    }

    bool Reserve(std::size_t n)
    {
        if (failed())
            return false;
        if (m_capacity >= n)
            return true;
        std::size_t capacity = n > Traits::kInitial ? n : Traits::kInitial;
        // That count would read as the failed marker.
        if (capacity == kFailedCapacity)
            ++capacity;
        if (capacity > Traits::kLimit) {
            fail();
            return false;
        }
        T *buffer = static_cast<T *>(AllocateNoThrow(capacity * sizeof(T)));
        if (!buffer) {
            fail();
            return false;
        }
        if (m_size)
            std::memcpy(buffer, m_buffer, m_size * sizeof(T));
        ReleaseNoThrow(m_buffer);
        m_buffer = buffer;
        m_capacity = capacity;
        return true;
    }

    bool Append(const T *items, std::size_t n)
    {
        if (failed() || n > Traits::kLimit - m_size)
            return false;
        if (n == 0)
            return true;
        if (m_capacity - m_size < n) {
            // The items may lie in this vector's own buffer, which growing frees.
            const bool inside = std::less_equal<const T *>()(m_buffer, items)
                && std::less<const T *>()(items, m_buffer + m_size);
            const std::size_t offset = inside ? std::size_t(items - m_buffer) : 0;
            if (!Reserve(grownCapacity(m_size + n)))
                return false;
            if (inside)
                items = m_buffer + offset;
        }
        std::memcpy(m_buffer + m_size, items, n * sizeof(T));
        m_size += n;
        return true;
    }

    bool Append(const T &item) { return Append(&item, 1); }

    // Grows to n with new slots set to fill, or lowers the size keeping the buffer.
    bool Resize(std::size_t n, const T &fill)
    {
        if (n <= m_size) {
            m_size = n;
            return true;
        }
        if (!Reserve(n))
            return false;
        for (std::size_t i = m_size; i < n; ++i)
            m_buffer[i] = fill;
        m_size = n;
        return true;
    }

    // Empties the vector and keeps its room (a failed vector stays failed).
    void clear() { m_size = 0; }

    bool failed() const { return m_capacity == kFailedCapacity; }
    std::size_t size() const { return m_size; }
    std::size_t capacity() const { return m_capacity; }
    bool empty() const { return m_size == 0; }
    T *data() { return m_buffer; }
    const T *data() const { return m_buffer; }
    T &operator[](std::size_t i) { return m_buffer[i]; }
    const T &operator[](std::size_t i) const { return m_buffer[i]; }
    T &back() { return m_buffer[m_size - 1]; }
    const T &back() const { return m_buffer[m_size - 1]; }
    T *begin() { return m_buffer; }
    T *end() { return m_buffer + m_size; }
    const T *begin() const { return m_buffer; }
    const T *end() const { return m_buffer + m_size; }

private:
    NoThrowVector(const NoThrowVector &) = delete;
    NoThrowVector &operator=(const NoThrowVector &) = delete;

    void swap(NoThrowVector &other) noexcept
    {
        std::swap(m_buffer, other.m_buffer);
        std::swap(m_size, other.m_size);
        std::swap(m_capacity, other.m_capacity);
    }

    std::size_t grownCapacity(std::size_t needed) const
    {
        std::size_t capacity = m_capacity ? m_capacity : Traits::kInitial;
        while (capacity < needed)
            capacity = capacity > Traits::kLimit / 2 ? Traits::kLimit : capacity * 2;
        return capacity;
    }

    void fail()
    {
        ReleaseNoThrow(m_buffer);
        m_buffer = nullptr;
        m_size = 0;
        m_capacity = kFailedCapacity;
    }

    T *m_buffer = nullptr;
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
};

} // namespace quorpatch

#endif // QUORPATCH_NOTHROWVECTOR_H
