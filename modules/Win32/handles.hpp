// Owners for the handles and the attribute list one spawn creates.
#pragma once

#include <windows.h>

#include <memory>

namespace luamods::win32 {

// Every handle a call creates, closed when the call ends unless it was taken
// off to be handed to the script.  Fixed capacity, so adding never throws
// and a created handle can always be recorded.
class CloseList {
public:
    static constexpr int kCapacity = 8;

    CloseList() = default;
    CloseList(const CloseList&) = delete;
    CloseList& operator=(const CloseList&) = delete;
    ~CloseList()
    {
        for (int i = 0; i < count_; ++i)
            CloseHandle(handles_[i]);
    }

    // Callers never create more than kCapacity handles in one call.
    void add(HANDLE h) noexcept
    {
        if (count_ < kCapacity)
            handles_[count_++] = h;
    }

    // Takes h off the list: the caller owns it now.
    HANDLE take(HANDLE h) noexcept
    {
        for (int i = 0; i < count_; ++i) {
            if (handles_[i] == h) {
                handles_[i] = handles_[--count_];
                return h;
            }
        }
        return h;
    }

private:
    HANDLE handles_[kCapacity] = {};
    int count_ = 0;
};

// A one-attribute PROC_THREAD_ATTRIBUTE_LIST: its buffer, and whether it was
// initialised and so must be deleted.
class AttributeList {
public:
    AttributeList() = default;
    AttributeList(const AttributeList&) = delete;
    AttributeList& operator=(const AttributeList&) = delete;
    ~AttributeList()
    {
        if (initialised_)
            DeleteProcThreadAttributeList(get());
    }

    void allocate(std::size_t size) { buffer_.reset(new unsigned char[size]()); }
    LPPROC_THREAD_ATTRIBUTE_LIST get() const noexcept
    {
        return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.get());
    }
    void mark_initialised() noexcept { initialised_ = true; }

private:
    std::unique_ptr<unsigned char[]> buffer_;
    bool initialised_ = false;
};

}  // namespace luamods::win32
