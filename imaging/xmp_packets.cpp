#include "xmp_packets.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>

#include <QByteArray>
#include <QCryptographicHash>

#include "byte_order.h"

namespace vellora::imaging {
namespace {

// After the extended header: the digest of the whole extended packet (32 hex digits),
// its length and this part's offset in it (4 bytes each, big-endian).
constexpr std::size_t kGuidSize = 32;
constexpr std::size_t kExtendedPrefix = kExtendedXmpHeader.size() + kGuidSize + 8;

bool startsWith(const std::vector<std::uint8_t>& bytes, std::string_view header) {
    return bytes.size() >= header.size() &&
           std::memcmp(bytes.data(), header.data(), header.size()) == 0;
}

bool isStandard(const CarriedMarker& marker) {
    return marker.code == kExifMarker && startsWith(marker.payload, kXmpHeader);
}

bool isExtended(const CarriedMarker& marker) {
    return marker.code == kExifMarker && marker.payload.size() > kExtendedPrefix &&
           startsWith(marker.payload, kExtendedXmpHeader);
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
    // Each prefix costs a pass over the text; a writer binds a namespace once or a few
    // times, and a packet binding one thousands of times cost minutes.
    constexpr std::size_t kMostPrefixes = 32;
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
            if (prefixes.size() == kMostPrefixes) {
                break;
            }
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

// Whether a tag named `qualified` (a closing one when `closing`) starts at `at`.
bool tagAt(const std::string& text, std::size_t at, const std::string& qualified, bool closing) {
    const std::size_t name = at + (closing ? 2 : 1);
    const std::size_t after = name + qualified.size();
    return (closing ? text.compare(at, 2, "</") == 0 : text[at] == '<') &&
           text.compare(name, qualified.size(), qualified) == 0 && after < text.size() &&
           (isSpace(text[after]) || text[after] == '>' || (!closing && text[after] == '/'));
}

// Removes every element named `qualified`, with whatever it holds (elements of the same
// name among it); false, and `text` as it was, when one is not closed. One pass over the
// text, the kept pieces copied once: a packet of megabytes takes milliseconds, however
// deep or many the elements.
bool removeElements(std::string& text, const std::string& qualified, bool& changed) {
    std::string kept;
    std::size_t copied = 0;  // where the text not yet copied starts
    std::size_t start = 0;   // where the outermost element being removed starts
    int depth = 0;
    bool removed = false;
    for (std::size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at)) {
        const bool open = tagAt(text, at, qualified, false);
        const bool close = !open && depth > 0 && tagAt(text, at, qualified, true);
        if (!open && !close) {
            ++at;
            continue;
        }
        const std::size_t end = tagEnd(text, at);
        if (end == std::string::npos) {
            return false;
        }
        if (open && depth == 0) {
            start = at;
        }
        if (open && text[end - 2] != '/') {
            ++depth;
        } else if (close) {
            --depth;
        }
        if (depth == 0) {
            kept.append(text, copied, start - copied);
            copied = end;
            removed = true;
        }
        at = end;
    }
    if (depth != 0) {
        return false;
    }
    if (removed) {
        kept.append(text, copied);
        text = std::move(kept);
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
            textOf(markers[i].payload, kExtendedXmpHeader.size()).substr(0, kGuidSize);
        auto packet = std::find_if(packets.begin(), packets.end(),
                                   [&guid](const ExtendedPacket& p) { return p.guid == guid; });
        if (packet == packets.end()) {
            packets.push_back({guid, {}, {}});
            packet = packets.end() - 1;
        }
        packet->parts.push_back(i);
    }
    std::erase_if(packets, [&markers](ExtendedPacket& packet) {
        // Each part gives the whole packet's length, then its own offset in it.
        const auto lengthOf = [&markers](std::size_t index) {
            return bigEndian32(markers[index].payload.data() + kExtendedXmpHeader.size() +
                               kGuidSize);
        };
        const auto offsetOf = [&markers](std::size_t index) {
            return bigEndian32(markers[index].payload.data() + kExtendedXmpHeader.size() +
                               kGuidSize + 4);
        };
        std::stable_sort(packet.parts.begin(), packet.parts.end(),
                         [&](std::size_t a, std::size_t b) { return offsetOf(a) < offsetOf(b); });
        const std::uint32_t length = lengthOf(packet.parts.front());
        for (const std::size_t index : packet.parts) {
            // A part sent again, whole or overlapping, must repeat what is joined already;
            // a gap or a disagreement leaves the packet as it is.
            const std::size_t offset = offsetOf(index);
            if (offset > packet.text.size() || lengthOf(index) != length) {
                return true;
            }
            const std::string part = textOf(markers[index].payload, kExtendedPrefix);
            const std::size_t overlap = std::min(packet.text.size() - offset, part.size());
            if (packet.text.compare(offset, overlap, part, 0, overlap) != 0) {
                return true;
            }
            packet.text.append(part, overlap);
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

struct Span {
    std::size_t begin = std::string::npos;
    std::size_t end = std::string::npos;
    [[nodiscard]] bool found() const { return begin != std::string::npos; }
};

// The value of the property `qualified` where `text` names it at `at`: as an attribute
// (P:Name="300/1") or an element (<P:Name>300/1<), of characters `valueChar` takes and
// at least one; not found otherwise.
Span valueAt(const std::string& text, std::size_t at, std::size_t nameSize,
             bool (*valueChar)(char)) {
    std::size_t v = at + nameSize;
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
            return {};
        }
    } else if (!element || v >= text.size() || text[v] != '>') {
        return {};
    }
    ++v;
    skipSpace();
    std::size_t end = v;
    while (end < text.size() && valueChar(text[end])) {
        ++end;
    }
    if (end == v || end >= text.size() ||
        !(text[end] == '"' || text[end] == '\'' || text[end] == '<' || isSpace(text[end]))) {
        return {};
    }
    return {v, end};
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string_view localName(const std::string& text, std::size_t from, std::size_t to) {
    std::string_view name(text.data() + from, to - from);
    const std::size_t colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

// The stretches of `text` inside the properties of a description: the fields of the
// entries Photoshop keeps in xmpMM:Pantry or xmpMM:History, for instance, which use the
// picture's own property names for other documents. Sorted, apart. Text without any
// description (a bare fragment) has none.
std::vector<Span> nestedStretches(const std::string& text) {
    std::vector<Span> stretches;
    std::ptrdiff_t depth = 0;         // elements open
    std::ptrdiff_t description = -1;  // the depth the open description was opened at
    std::size_t nestedFrom = std::string::npos;
    for (std::size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at)) {
        const auto skipTo = [&](std::string_view close) {
            const std::size_t end = text.find(close, at);
            return end == std::string::npos ? end : end + close.size();
        };
        std::size_t end = text.compare(at, 4, "<!--") == 0        ? skipTo("-->")
                          : text.compare(at, 9, "<![CDATA[") == 0 ? skipTo("]]>")
                          : text.compare(at, 2, "<?") == 0        ? skipTo("?>")
                                                                  : tagEnd(text, at);
        if (end == std::string::npos) {
            break;
        }
        if (text[at + 1] == '/') {
            depth = std::max<std::ptrdiff_t>(depth - 1, 0);
            if (depth == description + 1 && nestedFrom != std::string::npos) {
                stretches.push_back({nestedFrom, at});
                nestedFrom = std::string::npos;
            } else if (depth <= description) {
                description = -1;
            }
        } else if (text[at + 1] != '!' && text[at + 1] != '?') {
            std::size_t nameEnd = at + 1;
            while (nameEnd < end - 1 && !isSpace(text[nameEnd]) && text[nameEnd] != '/' &&
                   text[nameEnd] != '>') {
                ++nameEnd;
            }
            const bool empty = text[end - 2] == '/';
            if (description < 0 && localName(text, at + 1, nameEnd) == "Description") {
                description = depth;
            } else if (description >= 0 && depth == description + 1) {
                // A property's own attributes are a nested resource's fields in short.
                if (empty) {
                    stretches.push_back({nameEnd, end});
                } else {
                    nestedFrom = nameEnd;
                }
            }
            depth += empty ? 0 : 1;
        }
        at = end;
    }
    if (nestedFrom != std::string::npos) {
        stretches.push_back({nestedFrom, text.size()});
    }
    return stretches;
}

bool isNested(const std::vector<Span>& stretches, std::size_t at) {
    const auto after = std::upper_bound(stretches.begin(), stretches.end(), at,
                                        [](std::size_t x, const Span& s) { return x < s.begin; });
    return after != stretches.begin() && at < std::prev(after)->end;
}

// Sets the whole-number property `qualified` to `wanted` wherever `text` gives it for
// the picture itself and `accept` takes the number it has.
bool setNumber(std::string& text, const std::string& qualified, const std::string& wanted,
               bool (*accept)(std::string_view)) {
    std::string set;
    std::size_t copied = 0;  // where the text not yet copied starts
    const std::vector<Span> nested = nestedStretches(text);
    for (std::size_t at = text.find(qualified); at != std::string::npos;
         at = text.find(qualified, at + 1)) {
        const Span value = valueAt(text, at, qualified.size(), isDigit);
        if (!value.found() || isNested(nested, at)) {
            continue;
        }
        const std::string_view number(text.data() + value.begin, value.end - value.begin);
        if (number != wanted && accept(number)) {
            set.append(text, copied, value.begin - copied).append(wanted);
            copied = value.end;
        }
    }
    if (copied == 0) {
        return false;
    }
    set.append(text, copied);
    text = std::move(set);
    return true;
}

// The first value `text` gives the picture's property `qualified`, of characters
// `valueChar` takes.
Span firstValue(const std::string& text, const std::string& qualified, bool (*valueChar)(char)) {
    const std::vector<Span> nested = nestedStretches(text);
    for (std::size_t at = text.find(qualified); at != std::string::npos;
         at = text.find(qualified, at + 1)) {
        if (const Span value = valueAt(text, at, qualified.size(), valueChar);
            value.found() && !isNested(nested, at)) {
            return value;
        }
    }
    return {};
}

constexpr std::string_view kTiffNamespace = "http://ns.adobe.com/tiff/1.0/";

// The prefixes of the TIFF namespace, the usual one among them, declared or not.
std::vector<std::string> tiffPrefixes(const std::string& text) {
    std::vector<std::string> prefixes = prefixesOf(text, kTiffNamespace);
    if (std::find(prefixes.begin(), prefixes.end(), "tiff") == prefixes.end()) {
        prefixes.emplace_back("tiff");
    }
    return prefixes;
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
    bool changed = false;
    for (const std::string& prefix : tiffPrefixes(text)) {
        // Only an orientation that turns: anything else is not one to correct.
        changed |= setNumber(text, prefix + ":Orientation", "1", [](std::string_view number) {
            return number.size() == 1 && number[0] >= '2' && number[0] <= '8';
        });
    }
    return changed;
}

bool swapXmpResolution(std::string& text) {
    bool changed = false;
    for (const std::string& prefix : tiffPrefixes(text)) {
        const auto rational = [](char c) { return isDigit(c) || c == '/' || c == '.'; };
        const Span across = firstValue(text, prefix + ":XResolution", rational);
        const Span down = firstValue(text, prefix + ":YResolution", rational);
        if (!across.found() || !down.found()) {
            continue;
        }
        const std::string acrossText = text.substr(across.begin, across.end - across.begin);
        const std::string downText = text.substr(down.begin, down.end - down.begin);
        if (acrossText == downText) {
            continue;
        }
        // The later one first, so that the earlier one's place still holds.
        const bool acrossFirst = across.begin < down.begin;
        const Span later = acrossFirst ? down : across;
        const Span earlier = acrossFirst ? across : down;
        text.replace(later.begin, later.end - later.begin, acrossFirst ? acrossText : downText);
        text.replace(earlier.begin, earlier.end - earlier.begin,
                     acrossFirst ? downText : acrossText);
        changed = true;
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
            CarriedMarker part{kExifMarker, {kExtendedXmpHeader.begin(), kExtendedXmpHeader.end()}};
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
            // The new digests first, which keep the length: an edit that no longer fits
            // the marker is given up, but the extended packet must still be named.
            std::string text = textOf(marker.payload, kXmpHeader.size());
            bool edited = false;
            for (const auto& [from, to] : renamed) {
                for (std::size_t at = text.find(from); at != std::string::npos;
                     at = text.find(from, at + to.size())) {
                    text.replace(at, from.size(), to);
                    edited = true;
                }
            }
            if (std::string more = text;
                edit(more) && kXmpHeader.size() + more.size() <= kMaxMarkerPayload) {
                text = std::move(more);
                edited = true;
            }
            if (edited) {
                marker.payload.resize(kXmpHeader.size());
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
