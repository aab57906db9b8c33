#include "xmp_packets.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>

#include <QByteArray>
#include <QCryptographicHash>

namespace vellora::imaging {
namespace {

constexpr std::string_view kStandardHeader{"http://ns.adobe.com/xap/1.0/\0", 29};
constexpr std::string_view kExtendedHeader{"http://ns.adobe.com/xmp/extension/\0", 35};
// After the extended header: the digest of the whole extended packet (32 hex digits),
// its length and this part's offset in it (4 bytes each, big-endian).
constexpr std::size_t kGuidSize = 32;
constexpr std::size_t kExtendedPrefix = kExtendedHeader.size() + kGuidSize + 8;

bool startsWith(const std::vector<std::uint8_t>& bytes, std::string_view header) {
    return bytes.size() >= header.size() &&
           std::memcmp(bytes.data(), header.data(), header.size()) == 0;
}

bool isStandard(const CarriedMarker& marker) {
    return marker.code == kExifMarker && startsWith(marker.payload, kStandardHeader);
}

bool isExtended(const CarriedMarker& marker) {
    return marker.code == kExifMarker && marker.payload.size() > kExtendedPrefix &&
           startsWith(marker.payload, kExtendedHeader);
}

std::uint32_t bigEndian32(const std::uint8_t* bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

void putBigEndian32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    for (const int shift : {24, 16, 8, 0}) {
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The prefixes `text` binds to `ns` (xmlns:PREFIX="ns").
std::vector<std::string> prefixesOf(const std::string& text, std::string_view ns) {
    std::vector<std::string> prefixes;
    constexpr std::string_view kXmlns = "xmlns:";
    for (std::size_t at = text.find(kXmlns); at != std::string::npos;
         at = text.find(kXmlns, at + 1)) {
        std::size_t end = at + kXmlns.size();
        while (end < text.size() && text[end] != '=' && !isSpace(text[end])) {
            ++end;
        }
        std::string prefix = text.substr(at + kXmlns.size(), end - at - kXmlns.size());
        while (end < text.size() && (isSpace(text[end]) || text[end] == '=')) {
            ++end;
        }
        if (end >= text.size() || (text[end] != '"' && text[end] != '\'')) {
            continue;
        }
        const std::size_t close = text.find(text[end], end + 1);
        if (close != std::string::npos && text.compare(end + 1, close - end - 1, ns) == 0 &&
            std::find(prefixes.begin(), prefixes.end(), prefix) == prefixes.end()) {
            prefixes.push_back(std::move(prefix));
        }
    }
    return prefixes;
}

// Where the tag that starts with `<` at `at` ends (one past its `>`), quoted values
// skipped; npos when it does not.
std::size_t tagEnd(const std::string& text, std::size_t at) {
    char quote = 0;
    for (std::size_t i = at + 1; i < text.size(); ++i) {
        if (quote) {
            quote = text[i] == quote ? 0 : quote;
        } else if (text[i] == '"' || text[i] == '\'') {
            quote = text[i];
        } else if (text[i] == '>') {
            return i + 1;
        }
    }
    return std::string::npos;
}

// The next tag named `qualified` (opening when `closing` is false) at or after `from`.
std::size_t findTag(const std::string& text, const std::string& qualified, bool closing,
                    std::size_t from) {
    const std::string start = (closing ? "</" : "<") + qualified;
    for (std::size_t at = text.find(start, from); at != std::string::npos;
         at = text.find(start, at + 1)) {
        const std::size_t after = at + start.size();
        if (after < text.size() &&
            (isSpace(text[after]) || text[after] == '>' || (!closing && text[after] == '/'))) {
            return at;
        }
    }
    return std::string::npos;
}

// Removes every element named `qualified`; false when one is not closed.
bool removeElements(std::string& text, const std::string& qualified, bool& changed) {
    for (std::size_t start = findTag(text, qualified, false, 0); start != std::string::npos;
         start = findTag(text, qualified, false, start)) {
        std::size_t end = tagEnd(text, start);
        if (end == std::string::npos) {
            return false;
        }
        if (text[end - 2] != '/') {
            // Its content may hold elements of the same name: find the matching close.
            int depth = 1;
            while (depth > 0) {
                const std::size_t open = findTag(text, qualified, false, end);
                const std::size_t close = findTag(text, qualified, true, end);
                if (close == std::string::npos) {
                    return false;
                }
                const std::size_t next = std::min(open, close);
                end = tagEnd(text, next);
                if (end == std::string::npos) {
                    return false;
                }
                if (next == close) {
                    --depth;
                } else if (text[end - 2] != '/') {
                    ++depth;
                }
            }
        }
        text.erase(start, end - start);
        changed = true;
    }
    return true;
}

std::string textOf(const std::vector<std::uint8_t>& payload, std::size_t from) {
    return {payload.begin() + static_cast<std::ptrdiff_t>(from), payload.end()};
}

struct ExtendedPacket {
    std::string guid;
    std::vector<std::size_t> parts;  // indexes into the markers, in offset order
    std::string text;
};

// The extended packets among `markers`, each joined from its parts; those whose parts
// do not add up are left out, and so left alone.
std::vector<ExtendedPacket> extendedPackets(const std::vector<CarriedMarker>& markers) {
    std::vector<ExtendedPacket> packets;
    for (std::size_t i = 0; i < markers.size(); ++i) {
        if (!isExtended(markers[i])) {
            continue;
        }
        const std::string guid =
            textOf(markers[i].payload, kExtendedHeader.size()).substr(0, kGuidSize);
        auto packet = std::find_if(packets.begin(), packets.end(),
                                   [&guid](const ExtendedPacket& p) { return p.guid == guid; });
        if (packet == packets.end()) {
            packets.push_back({guid, {}, {}});
            packet = packets.end() - 1;
        }
        packet->parts.push_back(i);
    }
    std::erase_if(packets, [&markers](ExtendedPacket& packet) {
        const auto offsetOf = [&markers](std::size_t index) {
            return bigEndian32(markers[index].payload.data() + kExtendedHeader.size() + kGuidSize +
                               4);
        };
        std::stable_sort(packet.parts.begin(), packet.parts.end(),
                         [&](std::size_t a, std::size_t b) { return offsetOf(a) < offsetOf(b); });
        const std::uint32_t length = bigEndian32(markers[packet.parts.front()].payload.data() +
                                                 kExtendedHeader.size() + kGuidSize);
        for (const std::size_t index : packet.parts) {
            if (offsetOf(index) != packet.text.size()) {
                return true;
            }
            packet.text += textOf(markers[index].payload, kExtendedPrefix);
        }
        return packet.text.size() != length;
    });
    return packets;
}

}  // namespace

bool removeXmpProperties(std::string& text, std::span<const XmpProperty> properties) {
    std::string edited = text;
    bool changed = false;
    for (const XmpProperty& property : properties) {
        for (const std::string& prefix : prefixesOf(edited, property.ns)) {
            if (!removeElements(edited, prefix + ':' + std::string(property.name), changed)) {
                return false;
            }
        }
    }
    if (changed) {
        text = std::move(edited);
    }
    return changed;
}

namespace {

// Sets the whole-number property `qualified` to `wanted` where `text` gives it as an
// attribute (P:Name="768") or an element (<P:Name>768</P:Name>) and `accept` takes the
// number it has.
bool setNumber(std::string& text, const std::string& qualified, const std::string& wanted,
               bool (*accept)(std::string_view)) {
    bool changed = false;
    for (std::size_t at = text.find(qualified); at != std::string::npos;
         at = text.find(qualified, at + 1)) {
        std::size_t v = at + qualified.size();
        const auto skipSpace = [&] {
            while (v < text.size() && isSpace(text[v])) {
                ++v;
            }
        };
        // An attribute starts a packet's text or follows a space; an element follows `<`.
        const bool attribute = at == 0 || isSpace(text[at - 1]);
        const bool element = at > 0 && text[at - 1] == '<';
        skipSpace();
        if (attribute && v < text.size() && text[v] == '=') {
            ++v;
            skipSpace();
            if (v >= text.size() || (text[v] != '"' && text[v] != '\'')) {
                continue;
            }
        } else if (!element || v >= text.size() || text[v] != '>') {
            continue;
        }
        ++v;
        skipSpace();
        std::size_t end = v;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
            ++end;
        }
        const std::string_view number(text.data() + v, end - v);
        if (end > v && end < text.size() &&
            (text[end] == '"' || text[end] == '\'' || text[end] == '<' || isSpace(text[end])) &&
            number != wanted && accept(number)) {
            text.replace(v, end - v, wanted);
            changed = true;
        }
    }
    return changed;
}

}  // namespace

bool setXmpPixelSize(std::string& text, int width, int height) {
    const struct {
        std::string_view ns;
        std::string_view name;
        int value;
    } sizes[] = {
        {"http://ns.adobe.com/tiff/1.0/", "ImageWidth", width},
        {"http://ns.adobe.com/tiff/1.0/", "ImageLength", height},
        {"http://ns.adobe.com/exif/1.0/", "PixelXDimension", width},
        {"http://ns.adobe.com/exif/1.0/", "PixelYDimension", height},
    };
    bool changed = false;
    for (const auto& size : sizes) {
        for (const std::string& prefix : prefixesOf(text, size.ns)) {
            changed |= setNumber(text, prefix + ':' + std::string(size.name),
                                 std::to_string(size.value), [](std::string_view) { return true; });
        }
    }
    return changed;
}

bool setXmpUpright(std::string& text) {
    constexpr std::string_view kTiff = "http://ns.adobe.com/tiff/1.0/";
    std::vector<std::string> prefixes = prefixesOf(text, kTiff);
    if (std::find(prefixes.begin(), prefixes.end(), "tiff") == prefixes.end()) {
        prefixes.emplace_back("tiff");  // the usual one, declared or not
    }
    bool changed = false;
    for (const std::string& prefix : prefixes) {
        // Only an orientation that turns: anything else is not one to correct.
        changed |= setNumber(text, prefix + ":Orientation", "1", [](std::string_view number) {
            return number.size() == 1 && number[0] >= '2' && number[0] <= '8';
        });
    }
    return changed;
}

void editXmp(std::vector<CarriedMarker>& markers, const std::function<bool(std::string&)>& edit) {
    std::vector<std::pair<std::string, std::string>> renamed;  // old digest, new one
    std::vector<std::optional<std::vector<CarriedMarker>>> replacements(markers.size());
    for (ExtendedPacket& packet : extendedPackets(markers)) {
        if (!edit(packet.text)) {
            continue;
        }
        const QByteArray digest =
            QCryptographicHash::hash(
                QByteArrayView(packet.text.data(), static_cast<qsizetype>(packet.text.size())),
                QCryptographicHash::Md5)
                .toHex()
                .toUpper();
        renamed.emplace_back(packet.guid, digest.toStdString());
        std::vector<CarriedMarker> parts;
        constexpr std::size_t kRoom = kMaxMarkerPayload - kExtendedPrefix;
        for (std::size_t from = 0; from == 0 || from < packet.text.size(); from += kRoom) {
            CarriedMarker part{kExifMarker, {kExtendedHeader.begin(), kExtendedHeader.end()}};
            part.payload.insert(part.payload.end(), digest.begin(), digest.end());
            putBigEndian32(part.payload, static_cast<std::uint32_t>(packet.text.size()));
            putBigEndian32(part.payload, static_cast<std::uint32_t>(from));
            const std::size_t to = std::min(packet.text.size(), from + kRoom);
            part.payload.insert(part.payload.end(),
                                packet.text.begin() + static_cast<std::ptrdiff_t>(from),
                                packet.text.begin() + static_cast<std::ptrdiff_t>(to));
            parts.push_back(std::move(part));
        }
        const std::size_t first = *std::min_element(packet.parts.begin(), packet.parts.end());
        for (const std::size_t index : packet.parts) {
            replacements[index].emplace();
        }
        replacements[first] = std::move(parts);
    }

    std::vector<CarriedMarker> result;
    for (std::size_t i = 0; i < markers.size(); ++i) {
        if (replacements[i]) {
            std::move(replacements[i]->begin(), replacements[i]->end(), std::back_inserter(result));
            continue;
        }
        CarriedMarker& marker = markers[i];
        if (isStandard(marker)) {
            std::string text = textOf(marker.payload, kStandardHeader.size());
            bool edited = edit(text);
            for (const auto& [from, to] : renamed) {
                for (std::size_t at = text.find(from); at != std::string::npos;
                     at = text.find(from, at + to.size())) {
                    text.replace(at, from.size(), to);
                    edited = true;
                }
            }
            // One that no longer fits its marker stays as it was.
            if (edited && kStandardHeader.size() + text.size() <= kMaxMarkerPayload) {
                marker.payload.resize(kStandardHeader.size());
                marker.payload.insert(marker.payload.end(), text.begin(), text.end());
            }
        }
        result.push_back(std::move(marker));
    }
    markers = std::move(result);
}

void dropXmpProperties(std::vector<CarriedMarker>& markers,
                       std::span<const XmpProperty> properties) {
    editXmp(markers,
            [properties](std::string& text) { return removeXmpProperties(text, properties); });
}

}  // namespace vellora::imaging
