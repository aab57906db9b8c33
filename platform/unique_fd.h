#pragma once
// Owns a POSIX file descriptor: closed on every way out, moved but never copied. The
// one place where the project's descriptors are closed, so that none leaks on an early
// return and none is closed twice.

#include <unistd.h>

#include <utility>

namespace vellora {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.m_fd, -1));
        }
        return *this;
    }
    ~UniqueFd() { reset(); }

    [[nodiscard]] int get() const { return m_fd; }
    [[nodiscard]] explicit operator bool() const { return m_fd >= 0; }
    // Gives the descriptor up to the caller, who closes it.
    [[nodiscard]] int release() { return std::exchange(m_fd, -1); }
    // Closes the one held (if any) and holds `fd` instead.
    void reset(int fd = -1) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }
    // Closes now and says how that went: false (errno set) when the close reports an
    // error, such as a delayed write that failed. Nothing held counts as success.
    [[nodiscard]] bool close() {
        const int fd = std::exchange(m_fd, -1);
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int m_fd = -1;
};

}  // namespace vellora
