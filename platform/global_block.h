#pragma once

#include <utility>

#include "globalmem.h"

namespace vellora {

// Owns one movable memory block handed out by the image library: every way out of
// the scope that holds it unlocks (as often as it was locked here) and frees it.
class GlobalBlock {
public:
    GlobalBlock() = default;
    explicit GlobalBlock(HGLOBAL handle) : m_handle(handle) {}
    GlobalBlock(const GlobalBlock&) = delete;
    GlobalBlock& operator=(const GlobalBlock&) = delete;
    GlobalBlock(GlobalBlock&& other) noexcept
        : m_handle(std::exchange(other.m_handle, nullptr)),
          m_locks(std::exchange(other.m_locks, 0)) {}
    GlobalBlock& operator=(GlobalBlock&& other) noexcept {
        if (this != &other) {
            reset();
            m_handle = std::exchange(other.m_handle, nullptr);
            m_locks = std::exchange(other.m_locks, 0);
        }
        return *this;
    }
    ~GlobalBlock() { reset(); }

    [[nodiscard]] HGLOBAL handle() const { return m_handle; }
    [[nodiscard]] explicit operator bool() const { return m_handle != nullptr; }

    // The block's address, or null when the lock fails.
    [[nodiscard]] void* lock() {
        void* pointer = GlobalLock(m_handle);
        if (pointer) {
            ++m_locks;
        }
        return pointer;
    }

    void unlock() {
        if (m_locks > 0) {
            GlobalUnlock(m_handle);
            --m_locks;
        }
    }

    // Unlocks and frees the block now.
    void reset() {
        while (m_locks > 0) {
            unlock();
        }
        if (m_handle) {
            GlobalFree(m_handle);
            m_handle = nullptr;
        }
    }

private:
    HGLOBAL m_handle = nullptr;
    int m_locks = 0;
};

}  // namespace vellora
