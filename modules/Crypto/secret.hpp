// Buffers that hold secrets (keys, shared secrets, MACs, plaintexts) and are
// overwritten with zeros before their memory is given back, on every path.
// wipe() is the one place that clears memory; everything else goes through
// these types.
#pragma once

#include <cstddef>
#include <cstdlib>

namespace luamods::crypto {

// Overwrites n bytes with zeros; the compiler may not drop it.
void wipe(void* p, std::size_t n) noexcept;

// A value of type T (a library state, a context) wiped when it goes out of scope.
template <class T>
class Secret {
public:
    Secret() noexcept = default;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret() { wipe(&value_, sizeof value_); }

    T* get() noexcept { return &value_; }
    T& operator*() noexcept { return value_; }
    T* operator->() noexcept { return &value_; }

private:
    T value_{};
};

// N bytes on the stack, wiped over all N when they go out of scope.
template <std::size_t N>
class SecretBytes {
public:
    SecretBytes() noexcept = default;
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    ~SecretBytes() { wipe(bytes_, N); }

    unsigned char* data() noexcept { return bytes_; }
    const unsigned char* data() const noexcept { return bytes_; }
    static constexpr std::size_t size() noexcept { return N; }
    unsigned char& operator[](std::size_t i) noexcept { return bytes_[i]; }

private:
    unsigned char bytes_[N] = {};
};

// One exactly sized heap buffer (at least 1 byte, so that an empty result
// still has a valid address), wiped over its length and freed.
class HeapBytes {
public:
    HeapBytes() noexcept = default;
    HeapBytes(const HeapBytes&) = delete;
    HeapBytes& operator=(const HeapBytes&) = delete;
    ~HeapBytes()
    {
        if (bytes_) {
            wipe(bytes_, size_);
            std::free(bytes_);
        }
    }

    // False when the runtime heap refuses the buffer.
    bool allocate(std::size_t n) noexcept
    {
        bytes_ = static_cast<unsigned char*>(std::malloc(n == 0 ? 1 : n));
        size_ = bytes_ ? n : 0;
        return bytes_ != nullptr;
    }
    unsigned char* data() noexcept { return bytes_; }
    std::size_t size() const noexcept { return size_; }

private:
    unsigned char* bytes_ = nullptr;
    std::size_t size_ = 0;
};

// An output buffer of n bytes: on the stack up to N bytes, which spares short
// messages a heap allocation; otherwise one exactly sized HeapBytes.  Wiped
// over the n bytes on the way out either way.
template <std::size_t N>
class OutputBytes {
public:
    OutputBytes() noexcept = default;
    OutputBytes(const OutputBytes&) = delete;
    OutputBytes& operator=(const OutputBytes&) = delete;
    ~OutputBytes()
    {
        if (data_ == stack_)
            wipe(stack_, size_);
    }

    // False when the runtime heap refuses a large buffer.
    bool allocate(std::size_t n) noexcept
    {
        if (n <= N) {
            data_ = stack_;
            size_ = n;
            return true;
        }
        if (!heap_.allocate(n))
            return false;
        data_ = heap_.data();
        size_ = n;
        return true;
    }
    unsigned char* data() noexcept { return data_; }

private:
    unsigned char stack_[N];  // written before it is read; wiped over size_
    HeapBytes heap_;
    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace luamods::crypto
