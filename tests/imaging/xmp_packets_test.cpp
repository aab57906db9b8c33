// Leaving XMP properties out by their namespace, whatever the prefix, and leaving a
// packet alone where the property cannot be told whole.

#include <gtest/gtest.h>

#include <string>

#include "imaging/xmp_packets.h"

namespace vellora::imaging {
namespace {

TEST(XmpPackets, PropertiesGoByNamespaceWholeOrNotAtAll) {
    const std::string xmp = "xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\"";
    const struct {
        const char* what;
        std::string packet;
        std::string left;  // empty: unchanged
    } cases[] = {
        {"an element with nested content",
         xmp + "><xmp:Thumbnails><rdf:Alt><rdf:li>A</rdf:li></rdf:Alt></xmp:Thumbnails>"
               "<xmp:Rating>3</xmp:Rating>",
         xmp + "><xmp:Rating>3</xmp:Rating>"},
        {"another prefix for the namespace",
         "xmlns:x2='http://ns.adobe.com/xap/1.0/'><x2:Thumbnails a=\"b>c\">t</x2:Thumbnails >!",
         "xmlns:x2='http://ns.adobe.com/xap/1.0/'>!"},
        {"empty and self-closing", xmp + "><xmp:Thumbnails rdf:parseType='Resource'/>!",
         xmp + ">!"},
        {"the same name nested in it",
         xmp + "><xmp:Thumbnails><xmp:Thumbnails>i</xmp:Thumbnails>o</xmp:Thumbnails>!",
         xmp + ">!"},
        {"twice", xmp + "><xmp:Thumbnails>1</xmp:Thumbnails>-<xmp:Thumbnails>2</xmp:Thumbnails>",
         xmp + ">-"},
        {"the name in another namespace",
         "xmlns:xmp=\"urn:other\"><xmp:Thumbnails>t</xmp:Thumbnails>", ""},
        {"a longer name", xmp + "><xmp:ThumbnailsX>t</xmp:ThumbnailsX>", ""},
        {"not closed", xmp + "><xmp:Thumbnails><rdf:Alt>", ""},
        {"a tag not ended", xmp + "><xmp:Thumbnails a=\"", ""},
    };
    for (const auto& c : cases) {
        std::string text = c.packet;
        EXPECT_EQ(removeXmpProperties(text, kXmpThumbnails), !c.left.empty()) << c.what;
        EXPECT_EQ(text, c.left.empty() ? c.packet : c.left) << c.what;
    }
}

TEST(XmpPackets, ThePixelSizeIsSetWhereverItIsGiven) {
    const std::string tiff = "xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" ";
    const std::string exif = "xmlns:e='http://ns.adobe.com/exif/1.0/' ";
    const struct {
        const char* what;
        std::string packet;
        std::string set;  // empty: unchanged
    } cases[] = {
        {"attributes", tiff + "tiff:ImageWidth=\"768\" tiff:ImageLength = '512'",
         tiff + "tiff:ImageWidth=\"32\" tiff:ImageLength = '24'"},
        {"elements, another prefix",
         exif + "><e:PixelXDimension> 768 </e:PixelXDimension><e:PixelYDimension>5<",
         exif + "><e:PixelXDimension> 32 </e:PixelXDimension><e:PixelYDimension>24<"},
        {"already right", tiff + "tiff:ImageWidth=\"32\"", ""},
        {"not a number", tiff + "tiff:ImageWidth=\"wide\"", ""},
        {"a longer name", tiff + "tiff:ImageWidthX=\"768\"", ""},
        {"another namespace", "xmlns:tiff='urn:other' tiff:ImageWidth='768'", ""},
    };
    for (const auto& c : cases) {
        std::string text = c.packet;
        EXPECT_EQ(setXmpPixelSize(text, 32, 24), !c.set.empty()) << c.what;
        EXPECT_EQ(text, c.set.empty() ? c.packet : c.set) << c.what;
    }
}

TEST(XmpPackets, AnOrientationThatTurnsIsMadeOneUnderAnyPrefix) {
    const std::string t = "xmlns:t=\"http://ns.adobe.com/tiff/1.0/\" ";
    const struct {
        std::string packet;
        std::string upright;  // empty: unchanged
    } cases[] = {
        {t + "t:Orientation=\"6\"", t + "t:Orientation=\"1\""},
        {t + "><t:Orientation>8</t:Orientation>", t + "><t:Orientation>1</t:Orientation>"},
        {"<tiff:Orientation>3</tiff:Orientation>", "<tiff:Orientation>1</tiff:Orientation>"},
        {t + "t:Orientation=\"1\"", ""},
        {t + "t:Orientation=\"60\"", ""},
        {"xmlns:t='urn:other' t:Orientation='6'", ""},
    };
    for (const auto& c : cases) {
        std::string text = c.packet;
        EXPECT_EQ(setXmpUpright(text), !c.upright.empty()) << c.packet;
        EXPECT_EQ(text, c.upright.empty() ? c.packet : c.upright) << c.packet;
    }
}

TEST(XmpPackets, TheResolutionAcrossAndDownSwap) {
    const std::string t = "xmlns:t='http://ns.adobe.com/tiff/1.0/' ";
    const struct {
        std::string packet;
        std::string swapped;  // empty: unchanged
    } cases[] = {
        {t + "t:XResolution=\"300/1\" t:YResolution=\"1500/10\"",
         t + "t:XResolution=\"1500/10\" t:YResolution=\"300/1\""},
        {"<tiff:YResolution>72</tiff:YResolution><tiff:XResolution>300.5</tiff:XResolution>",
         "<tiff:YResolution>300.5</tiff:YResolution><tiff:XResolution>72</tiff:XResolution>"},
        {t + "t:XResolution='300/1' t:YResolution='300/1'", ""},
        {t + "t:XResolution='300/1'", ""},
        {"xmlns:t='urn:other' t:XResolution='300' t:YResolution='150'", ""},
    };
    for (const auto& c : cases) {
        std::string text = c.packet;
        EXPECT_EQ(swapXmpResolution(text), !c.swapped.empty()) << c.packet;
        EXPECT_EQ(text, c.swapped.empty() ? c.packet : c.swapped) << c.packet;
    }
}

}  // namespace
}  // namespace vellora::imaging
