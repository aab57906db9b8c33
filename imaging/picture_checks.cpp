#include "picture_checks.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

namespace vellora::imaging {
namespace {

// Bytes from memory or from a file read in pieces; the walkers read through it one
// byte at a time, so a huge file never has to be in memory at once.
class ByteStream {
public:
    explicit ByteStream(std::span<const std::uint8_t> bytes)
        : m_start(bytes.data()), m_next(bytes.data()), m_end(bytes.data() + bytes.size()) {}
    ByteStream(int fd, std::int64_t offset, std::int64_t bytes)
        : m_fd(fd), m_position(offset), m_left(bytes), m_buffer(kPiece) {}

    // Bytes read so far.
    [[nodiscard]] std::int64_t consumed() const { return m_before + (m_next - m_start); }

    bool get(std::uint8_t& byte) {
        if (m_next == m_end && !refill()) {
            return false;
        }
        byte = *m_next++;
        return true;
    }

    bool get16(std::uint16_t& value) {  // big-endian, as JPEG stores it
        std::uint8_t high = 0, low = 0;
        if (!get(high) || !get(low)) {
            return false;
        }
        value = static_cast<std::uint16_t>(high << 8 | low);
        return true;
    }

    bool skip(std::int64_t count) {
        while (count > 0) {
            if (m_next == m_end && !refill()) {
                return false;
            }
            const std::int64_t step = std::min<std::int64_t>(count, m_end - m_next);
            m_next += step;
            count -= step;
        }
        return true;
    }

    // Moves past whatever comes to the next marker (0xFF then a byte other than 0x00 or
    // 0xFF) and returns its code; with `passRestarts`, as in entropy-coded data, past
    // restart markers (0xD0..0xD7) too. `skipped` is set when anything but fill bytes
    // came before it (in entropy-coded data, the data).
    bool nextMarker(std::uint8_t& marker, bool passRestarts, bool& skipped) {
        for (;;) {
            if (m_next == m_end && !refill()) {
                return false;
            }
            const auto* found =
                static_cast<const std::uint8_t*>(std::memchr(m_next, 0xFF, m_end - m_next));
            if (!found) {
                m_next = m_end;
                skipped = true;
                continue;
            }
            skipped = skipped || found != m_next;
            m_next = found + 1;
            std::uint8_t code = 0xFF;
            while (code == 0xFF) {  // fill bytes before a marker
                if (!get(code)) {
                    return false;
                }
            }
            if (code != 0x00 && (!passRestarts || code < 0xD0 || code > 0xD7)) {
                marker = code;
                return true;
            }
            skipped = true;
        }
    }

private:
    static constexpr std::size_t kPiece = 64 * 1024;

    bool refill() {
        if (m_fd < 0 || m_left <= 0) {
            return false;
        }
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(m_left, kPiece));
        ssize_t got = -1;
        do {
            got = ::pread(m_fd, m_buffer.data(), want, static_cast<off_t>(m_position));
        } while (got < 0 && errno == EINTR);
        if (got <= 0) {
            m_left = 0;
            return false;
        }
        m_position += got;
        m_left -= got;
        m_before += m_end - m_start;
        m_start = m_next = m_buffer.data();
        m_end = m_next + got;
        return true;
    }

    const std::uint8_t* m_start = nullptr;  // of the bytes in hand
    const std::uint8_t* m_next = nullptr;
    const std::uint8_t* m_end = nullptr;
    std::int64_t m_before = 0;  // bytes read before m_start
    int m_fd = -1;
    std::int64_t m_position = 0;
    std::int64_t m_left = 0;
    std::vector<std::uint8_t> m_buffer;
};

std::string rowText(std::int64_t y) {
    return "line " + std::to_string(y + 1);
}

std::string runLengthWalk(ByteStream& data, std::int64_t width, std::int64_t height, int bits) {
    const std::string corrupt = "file is truncated or corrupt: the run-length data ";
    if (bits != 4 && bits != 8) {
        return "file is corrupt: run-length compression " + std::to_string(bits == 4 ? 2 : 1) +
               " does not fit " + std::to_string(bits) + " bits per pixel";
    }
    std::int64_t x = 0;
    std::int64_t y = 0;  // lines from the first stored one
    // The decoder stops at the end-of-bitmap marker or once the last line has ended;
    // the walk must get there within the data, reading exactly what the decoder reads.
    while (y < height) {
        std::uint8_t count = 0, code = 0;
        if (!data.get(count)) {
            return corrupt + "stops before the end of the picture (at " + rowText(y) + " of " +
                   std::to_string(height) + ", with no end-of-bitmap marker)";
        }
        if (!data.get(code)) {
            return corrupt + "ends inside a run";
        }
        if (count > 0) {  // encoded run: `count` pixels of the value(s) in `code`
            if (x + count > width) {
                return corrupt + "runs past the end of " + rowText(y);
            }
            x += count;
            continue;
        }
        switch (code) {
            case 0:  // end of line: the rest of it stays background
                x = 0;
                ++y;
                break;
            case 1:  // end of bitmap: everything not written stays background
                return {};
            case 2: {  // delta: skip right and down
                std::uint8_t right = 0, down = 0;
                if (!data.get(right) || !data.get(down)) {
                    return corrupt + "ends inside a jump";
                }
                if (x + right > width || y + down >= height) {
                    return corrupt + "jumps outside the picture";
                }
                x += right;
                y += down;
                break;
            }
            default: {  // absolute run: `code` pixels stored one by one, padded to 2 bytes
                const std::int64_t pixels = code;
                if (x + pixels > width) {
                    return corrupt + "runs past the end of " + rowText(y);
                }
                const std::int64_t stored = bits == 8 ? pixels : (pixels + 1) / 2;
                if (!data.skip((stored + 1) / 2 * 2)) {
                    return corrupt + "ends inside a run of stored pixels";
                }
                x += pixels;
                break;
            }
        }
    }
    return {};
}

bool isFrameMarker(std::uint8_t code) {
    // SOF0..SOF15 less DHT (C4), JPG (C8) and DAC (CC).
    return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
}

JpegStructure walkJpeg(ByteStream& stream, int maxScans) {
    JpegStructure result;
    std::uint8_t first = 0, second = 0;
    if (!stream.get(first) || !stream.get(second) || first != 0xFF || second != 0xD8) {
        return result;
    }
    std::vector<std::uint8_t> componentIds;
    // Per frame component and coefficient: the lowest bit position a scan has brought
    // it down to (0: in full), kNotSent before any scan carries it.
    constexpr std::uint8_t kNotSent = 0xFF;
    std::vector<std::array<std::uint8_t, 64>> precision;
    bool inScan = false;    // after a scan header: entropy-coded data until the next marker
    bool colourAc = false;  // that scan holds AC coefficients of colour components only
    std::int64_t scanStart = 0;
    for (;;) {
        std::uint8_t code = 0;
        if (inScan) {
            bool data = false;
            if (!stream.nextMarker(code, true, data)) {
                break;
            }
            if (colourAc) {
                result.colourAcBytes += stream.consumed() - 2 - scanStart;
            }
        } else if (!stream.nextMarker(code, false, result.strayBytes)) {
            // Bytes where a marker must be are passed over, as libjpeg does (with a
            // warning): a walk that stopped there would not count what it reads next.
            break;
        }
        inScan = false;
        if (code == 0xD9) {
            result.reachedEnd = true;
            break;
        }
        if ((code >= 0xD0 && code <= 0xD7) || code == 0x01) {
            continue;  // markers without a length
        }
        std::uint16_t length = 0;
        if (!stream.get16(length)) {
            break;
        }
        if (++result.markers > kMaxJpegMarkers) {
            break;  // enough to refuse
        }
        // A length under 2 is libjpeg's to refuse where it matters (a frame or scan
        // header); elsewhere it reads on right after it, and so does the walk.
        std::int64_t rest = std::max(length - 2, 0);
        if (isFrameMarker(code) && result.frameComponents == 0) {
            std::uint8_t header[5] = {};  // precision, height, width
            std::uint8_t count = 0;
            for (std::uint8_t& byte : header) {
                if (!stream.get(byte)) {
                    return result;
                }
            }
            if (!stream.get(count) || rest < 6 + 3 * std::int64_t{count}) {
                break;
            }
            for (int index = 0; index < count; ++index) {
                std::uint8_t id = 0;
                if (!stream.get(id) || !stream.skip(2)) {
                    return result;
                }
                componentIds.push_back(id);
            }
            rest -= 6 + 3 * std::int64_t{count};
            result.frameComponents = count;
            precision.assign(count, {});
            for (auto& coefficients : precision) {
                coefficients.fill(kNotSent);
            }
            result.progressive = code == 0xC2 || code == 0xC6 || code == 0xCA || code == 0xCE;
        } else if (code == 0xDA) {
            ++result.scans;
            if (result.scans > maxScans) {
                break;  // enough to refuse
            }
            std::uint8_t count = 0;
            if (!stream.get(count) || rest < 4 + 2 * std::int64_t{count}) {
                break;
            }
            bool luma = false;
            std::vector<std::size_t> indices;
            for (int index = 0; index < count; ++index) {
                std::uint8_t id = 0;
                if (!stream.get(id) || !stream.skip(1)) {
                    return result;
                }
                const auto found = std::find(componentIds.begin(), componentIds.end(), id);
                if (found != componentIds.end()) {
                    indices.push_back(static_cast<std::size_t>(found - componentIds.begin()));
                }
                luma = luma || (!componentIds.empty() && id == componentIds.front());
            }
            std::uint8_t spectralStart = 0;
            std::uint8_t spectralEnd = 0;
            std::uint8_t approximation = 0;  // Ah (high nibble), Al (low)
            if (!stream.get(spectralStart) || !stream.get(spectralEnd) ||
                !stream.get(approximation)) {
                return result;
            }
            // A sequential scan carries its components whole; a progressive one the band
            // Ss..Se down to bit Al.
            const int first = result.progressive ? spectralStart : 0;
            const int last = result.progressive ? std::min<int>(spectralEnd, 63) : 63;
            const auto bit = static_cast<std::uint8_t>(result.progressive ? approximation & 15 : 0);
            for (const std::size_t index : indices) {
                for (int k = first; k <= last; ++k) {
                    precision[index][static_cast<std::size_t>(k)] =
                        std::min(precision[index][static_cast<std::size_t>(k)], bit);
                }
            }
            rest -= 4 + 2 * std::int64_t{count};
            colourAc = spectralStart > 0 && !luma;
            scanStart = stream.consumed() + rest;
            inScan = true;
        }
        if (!stream.skip(rest)) {
            break;
        }
    }
    for (const auto& coefficients : precision) {
        const bool sent = std::any_of(coefficients.begin(), coefficients.end(),
                                      [](std::uint8_t b) { return b != kNotSent; });
        result.scannedComponents += sent ? 1 : 0;
        result.incompleteComponents += sent && std::any_of(coefficients.begin(), coefficients.end(),
                                                           [](std::uint8_t b) { return b != 0; })
                                           ? 1
                                           : 0;
    }
    return result;
}

}  // namespace

std::string checkJpegSides(std::int64_t width, std::int64_t height) {
    if (width > kMaxJpegSide || height > kMaxJpegSide) {
        return "picture too large: " + std::to_string(width) + " x " + std::to_string(height) +
               " pixels; a JPEG holds at most " + std::to_string(kMaxJpegSide) + " pixels a side";
    }
    return {};
}

std::string checkRunLengthData(std::span<const std::uint8_t> data, std::int64_t width,
                               std::int64_t height, int bitsPerPixel) {
    ByteStream stream(data);
    return runLengthWalk(stream, width, height, bitsPerPixel);
}

std::string checkRunLengthFile(int fd, std::int64_t offset, std::int64_t bytes, std::int64_t width,
                               std::int64_t height, int bitsPerPixel) {
    ByteStream stream(fd, offset, bytes);
    return runLengthWalk(stream, width, height, bitsPerPixel);
}

JpegStructure walkJpegStructure(std::span<const std::uint8_t> bytes, int maxScans) {
    ByteStream stream(bytes);
    return walkJpeg(stream, maxScans);
}

JpegStructure walkJpegFile(int fd, int maxScans) {
    ByteStream stream(fd, 0, std::numeric_limits<std::int64_t>::max());
    return walkJpeg(stream, maxScans);
}

std::string checkJpegStructure(const JpegStructure& structure, int maxScans) {
    std::string refusal = checkJpegFloods(structure, maxScans);
    return refusal.empty() ? checkJpegCompleteness(structure) : refusal;
}

std::string checkJpegFloods(const JpegStructure& structure, int maxScans) {
    if (structure.scans > maxScans) {
        return "refused: the JPEG has more than " + std::to_string(maxScans) +
               " scans, far more than any encoder writes (a scan bomb)";
    }
    if (structure.markers > kMaxJpegMarkers) {
        return "refused: the JPEG has more than " + std::to_string(kMaxJpegMarkers) +
               " markers, far more than any encoder writes (a marker flood)";
    }
    return {};
}

std::string checkJpegCompleteness(const JpegStructure& structure) {
    // Only a file that ended properly is judged here; a cut-off or damaged one is
    // libjpeg's to report as truncated or corrupt. This one is whole as a file (a writer
    // may stop its scans early on purpose), only its picture is not.
    if (structure.strayBytes) {
        return {};
    }
    if (structure.reachedEnd && structure.frameComponents > 0 && structure.scans > 0 &&
        structure.scannedComponents < structure.frameComponents) {
        return "incomplete JPEG: its scans hold only " +
               std::to_string(structure.scannedComponents) + " of its " +
               std::to_string(structure.frameComponents) +
               " colour components, so the missing colours would be invented";
    }
    if (structure.reachedEnd && structure.progressive && structure.incompleteComponents > 0) {
        return "incomplete JPEG: its progressive scans end before every detail of the picture "
               "has arrived, so the missing detail would be invented";
    }
    return {};
}

bool readAt(int fd, std::int64_t offset, std::span<std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::pread(fd, bytes.data() + done, bytes.size() - done,
                                    static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace vellora::imaging
