#pragma once
// Leaving properties out of the XMP a picture carries, in its standard packet and in
// the extended one that runs on across markers (whose digest names it in the standard
// packet, so an edit there gives it a new one).

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "jpeg_markers.h"

namespace vellora::imaging {

// A property by its namespace and name: the prefix is whatever the packet binds to it.
struct XmpProperty {
    std::string_view ns;
    std::string_view name;
};

// Small pictures of the whole picture (xmp:Thumbnails).
inline constexpr XmpProperty kXmpThumbnails[] = {{"http://ns.adobe.com/xap/1.0/", "Thumbnails"}};

// Areas of the picture with what is in them (faces, names): the Metadata Working Group's,
// Microsoft's, IPTC's and ACDSee's.
inline constexpr XmpProperty kXmpRegions[] = {
    {"http://www.metadataworkinggroup.com/schemas/regions/", "Regions"},
    {"http://ns.microsoft.com/photo/1.2/", "RegionInfo"},
    {"http://iptc.org/std/Iptc4xmpExt/2008-02-29/", "ImageRegion"},
    {"http://ns.acdsee.com/regions/", "Regions"},
};

// `text` without the elements of `properties`; false, and `text` as it was, when it
// holds none or one of them is not closed.
[[nodiscard]] bool removeXmpProperties(std::string& text, std::span<const XmpProperty> properties);

// `text` with the picture's size given as `width` x `height` where it names one (the TIFF
// and EXIF pixel dimensions); false when nothing changed.
[[nodiscard]] bool setXmpPixelSize(std::string& text, int width, int height);

// `text` with the orientation (tiff:Orientation) made 1 where it turned the picture, for
// pixels turned upright, so that no viewer reading XMP turns them again; false when
// nothing changed.
[[nodiscard]] bool setXmpUpright(std::string& text);

// `text` with the resolution across and down (tiff:XResolution, tiff:YResolution)
// swapped, for pixels turned a quarter; false when nothing changed.
[[nodiscard]] bool swapXmpResolution(std::string& text);

// The XMP among `markers` as `edit` leaves it (true when it changed the packet it was
// given). Markers it does not change stay as they came.
void editXmp(std::vector<CarriedMarker>& markers, const std::function<bool(std::string&)>& edit);

// The XMP among `markers` without `properties`.
void dropXmpProperties(std::vector<CarriedMarker>& markers,
                       std::span<const XmpProperty> properties);

}  // namespace vellora::imaging
