#pragma once
// Checks the readers run on a file before they hand it to a decoder. Each looks only
// at the file's structure (headers, markers, run-length opcodes), never decodes a
// pixel, and answers "" or the reason the file must be refused. They exist because
// the decoders accept things we must not: a JPEG whose scans leave a colour out
// (libjpeg shows it grey), a run-length bitmap that ends in the middle of a run (Qt
// fills the rest from whatever its memory held), and sizes no JPEG can carry.

#include <cstdint>
#include <span>
#include <string>

namespace vellora::imaging {

// The widest and tallest picture libjpeg reads or writes (its JPEG_MAX_DIMENSION;
// the format itself stops at 65535). Every picture we read must be savable as a JPEG.
inline constexpr std::int64_t kMaxJpegSide = 65500;

// The most scans a JPEG may have (see jpeg_reader.cpp): the library's reader and the
// windows' picture loader refuse more.
inline constexpr int kMaxJpegScans = 100;

// The most markers with a length (tables, application blocks, comments, frame and scan
// headers) a JPEG may have. libjpeg keeps the blocks it is asked to save in a list it
// walks to the end for each new one, so a small file of a hundred thousand empty blocks
// held a reader for minutes; no encoder writes more than a few hundred.
inline constexpr int kMaxJpegMarkers = 5000;

// "" when neither side is larger than a JPEG can hold. Cheap: call it before any
// arithmetic on the sides.
[[nodiscard]] std::string checkJpegSides(std::int64_t width, std::int64_t height);

// Walks the run-length opcodes of a BI_RLE8 (bitsPerPixel 8) or BI_RLE4 (4) bitmap
// of width x height pixels, as Qt's decoder will read them. "" when the data ends
// the picture by its own markers (end of bitmap, or the end of its last line) with
// every opcode complete and inside the picture; otherwise why not.
[[nodiscard]] std::string checkRunLengthData(std::span<const std::uint8_t> data, std::int64_t width,
                                             std::int64_t height, int bitsPerPixel);

// Reads `bytes` bytes at `offset` of the open file `fd` and walks them as above.
[[nodiscard]] std::string checkRunLengthFile(int fd, std::int64_t offset, std::int64_t bytes,
                                             std::int64_t width, std::int64_t height,
                                             int bitsPerPixel);

// What a walk over a JPEG's markers found, without decoding any entropy-coded data.
struct JpegStructure {
    int scans = 0;            // start-of-scan markers seen (up to the first past the limit)
    int markers = 0;          // markers with a length seen (up to the first past the limit)
    int frameComponents = 0;  // components the frame header declares (0: no frame seen)
    // Of those, how many appear in at least one scan. A scan names a component by its
    // id, which libjpeg takes for the first component with that id: a second component
    // with the same id is never decoded, and does not count.
    int scannedComponents = 0;
    // Of those, in a progressive file, how many some coefficient of never arrives in full
    // (no scan carries it, or its last bits never come).
    int incompleteComponents = 0;
    bool progressive = false;
    bool reachedEnd = false;  // the end-of-image marker was found
    bool strayBytes = false;  // bytes were passed over where a marker belongs (damage)
    // Entropy-coded bytes of the scans that hold AC coefficients of colour components
    // only (the first component is taken for the luma).
    std::int64_t colourAcBytes = 0;
};

// Walks the markers of the JPEG in `bytes`, stopping early after the first scan past
// `maxScans`. Anything unusual just ends the walk: libjpeg judges the details.
[[nodiscard]] JpegStructure walkJpegStructure(std::span<const std::uint8_t> bytes, int maxScans);
// The same over an open file, read in pieces from the start.
[[nodiscard]] JpegStructure walkJpegFile(int fd, int maxScans);

// "" when the structure may be decoded: at most `maxScans` scans and kMaxJpegMarkers
// markers, and in a file that
// ends properly every colour component in some scan and, if progressive, every
// coefficient in full. The standard lets a progressive file stop early, but no encoder
// writes one: it is a cut file with its end marker put back, and libjpeg would smooth
// the missing detail in from the blocks' averages.
[[nodiscard]] std::string checkJpegStructure(const JpegStructure& structure, int maxScans);
// Its two halves, for a caller that treats them apart: the floods (a hostile file), and
// the scans that stop short (a whole file whose picture is incomplete).
[[nodiscard]] std::string checkJpegFloods(const JpegStructure& structure, int maxScans);
[[nodiscard]] std::string checkJpegCompleteness(const JpegStructure& structure);

// Reads exactly `bytes.size()` bytes at `offset` of the open file `fd`; false on a
// short read or an error.
[[nodiscard]] bool readAt(int fd, std::int64_t offset, std::span<std::uint8_t> bytes);

}  // namespace vellora::imaging
