#pragma once
// Shared by the fuzz targets: the input as a file the image library can open by name,
// without touching the disk, and a check that stops the run with a message.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace vellora::fuzz {

// An anonymous in-memory file holding the input, reachable by a path.
class MemoryFile {
public:
    MemoryFile(const std::uint8_t* data, std::size_t size) {
        m_fd = ::memfd_create("vellora-fuzz", MFD_CLOEXEC);
        if (m_fd < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        std::size_t done = 0;
        while (done < size) {
            const ssize_t wrote = ::write(m_fd, data + done, size - done);
            if (wrote <= 0) {
                std::perror("write");
                std::abort();
            }
            done += static_cast<std::size_t>(wrote);
        }
        m_path = "/proc/self/fd/" + std::to_string(m_fd);
    }
    ~MemoryFile() { ::close(m_fd); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    [[nodiscard]] const char* path() const { return m_path.c_str(); }

private:
    int m_fd = -1;
    std::string m_path;
};

// Stops the run when a property the library promises does not hold.
inline void require(bool condition, const char* what, const std::string& detail = {}) {
    if (!condition) {
        std::fprintf(stderr, "property broken: %s %s\n", what, detail.c_str());
        std::abort();
    }
}

}  // namespace vellora::fuzz
