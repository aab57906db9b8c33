// Leaving XMP properties out by their namespace, whatever the prefix, and leaving a
// packet alone where the property cannot be told whole.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imaging/xmp_packets.h"

namespace vellora::imaging {
namespace {

// A packet, and what an edit makes of it (empty: unchanged, and the edit says so).
struct EditCase {
    std::string packet;
    std::string edited;
    const char* what = "";
};

template <typename Edit>
void expectEdits(const std::vector<EditCase>& cases, Edit edit) {
    for (const EditCase& c : cases) {
        std::string text = c.packet;
        EXPECT_EQ(edit(text), !c.edited.empty()) << c.what << " " << c.packet;
        EXPECT_EQ(text, c.edited.empty() ? c.packet : c.edited) << c.what << " " << c.packet;
    }
}

TEST(XmpPackets, PropertiesGoByNamespaceWholeOrNotAtAll) {
    const std::string xmp = "xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\"";
    expectEdits(
        {
            {xmp + "><xmp:Thumbnails><rdf:Alt><rdf:li>A</rdf:li></rdf:Alt></xmp:Thumbnails>"
                   "<xmp:Rating>3</xmp:Rating>",
             xmp + "><xmp:Rating>3</xmp:Rating>", "nested content"},
            {"xmlns:x2='http://ns.adobe.com/xap/1.0/'><x2:Thumbnails a=\"b>c\">t</x2:Thumbnails >!",
             "xmlns:x2='http://ns.adobe.com/xap/1.0/'>!", "another prefix"},
            {xmp + "><xmp:Thumbnails rdf:parseType='Resource'/>!", xmp + ">!", "self-closing"},
            {xmp + "><xmp:Thumbnails><xmp:Thumbnails>i</xmp:Thumbnails>o</xmp:Thumbnails>!",
             xmp + ">!", "the same name nested"},
            {xmp + "><xmp:Thumbnails>1</xmp:Thumbnails>-<xmp:Thumbnails>2</xmp:Thumbnails>",
             xmp + ">-", "twice"},
            {"xmlns:xmp=\"urn:other\"><xmp:Thumbnails>t</xmp:Thumbnails>", "", "another namespace"},
            {xmp + "><xmp:ThumbnailsX>t</xmp:ThumbnailsX>", "", "a longer name"},
            {xmp + "><xmp:Thumbnails><rdf:Alt>", "", "not closed"},
            {xmp + "><xmp:Thumbnails a=\"", "", "a tag not ended"},
        },
        [](std::string& text) { return removeXmpProperties(text, kXmpThumbnails); });
}

TEST(XmpPackets, ThePixelSizeIsSetWhereverThePictureGivesIt) {
    const std::string tiff = "xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" ";
    const std::string exif = "xmlns:e='http://ns.adobe.com/exif/1.0/' ";
    expectEdits(
        {
            {tiff + "tiff:ImageWidth=\"768\" tiff:ImageLength = '512'",
             tiff + "tiff:ImageWidth=\"32\" tiff:ImageLength = '24'", "attributes"},
            {exif + "><e:PixelXDimension> 768 </e:PixelXDimension><e:PixelYDimension>5<",
             exif + "><e:PixelXDimension> 32 </e:PixelXDimension><e:PixelYDimension>24<",
             "elements, another prefix"},
            {tiff + "tiff:ImageWidth=\"32\"", "", "already right"},
            {tiff + "tiff:ImageWidth=\"wide\"", "", "not a number"},
            {tiff + "tiff:ImageWidthX=\"768\"", "", "a longer name"},
            {"xmlns:tiff='urn:other' tiff:ImageWidth='768'", "", "another namespace"},
        },
        [](std::string& text) { return setXmpPixelSize(text, 32, 24); });
}

TEST(XmpPackets, AnOrientationThatTurnsIsMadeOneUnderAnyPrefix) {
    const std::string t = "xmlns:t=\"http://ns.adobe.com/tiff/1.0/\" ";
    expectEdits(
        {
            {t + "t:Orientation=\"6\"", t + "t:Orientation=\"1\""},
            {t + "><t:Orientation>8</t:Orientation>", t + "><t:Orientation>1</t:Orientation>"},
            {"<tiff:Orientation>3</tiff:Orientation>", "<tiff:Orientation>1</tiff:Orientation>"},
            {t + "t:Orientation=\"1\"", ""},
            {t + "t:Orientation=\"60\"", ""},
            {"xmlns:t='urn:other' t:Orientation='6'", ""},
            // Another document's orientation, in an entry of a description's property.
            {"<rdf:Description " + t +
                 "t:Orientation='6'><xmpMM:Pantry><rdf:Bag><rdf:li>"
                 "<rdf:Description t:Orientation='3'/></rdf:li></rdf:Bag></xmpMM:Pantry>"
                 "</rdf:Description>",
             "<rdf:Description " + t +
                 "t:Orientation='1'><xmpMM:Pantry><rdf:Bag><rdf:li>"
                 "<rdf:Description t:Orientation='3'/></rdf:li></rdf:Bag></xmpMM:Pantry>"
                 "</rdf:Description>"},
            {"<rdf:Description><!-- <x> --><xmpMM:Pantry><rdf:Bag><rdf:li rdf:parseType="
             "'Resource'><tiff:Orientation>3</tiff:Orientation></rdf:li></rdf:Bag></xmpMM:Pantry>"
             "<tiff:Orientation>6</tiff:Orientation></rdf:Description>",
             "<rdf:Description><!-- <x> --><xmpMM:Pantry><rdf:Bag><rdf:li rdf:parseType="
             "'Resource'><tiff:Orientation>3</tiff:Orientation></rdf:li></rdf:Bag></xmpMM:Pantry>"
             "<tiff:Orientation>1</tiff:Orientation></rdf:Description>"},
            {"<rdf:Description><xmpMM:Pantry><rdf:Bag><rdf:li><rdf:Description "
             "tiff:Orientation='3'/></rdf:li></rdf:Bag></xmpMM:Pantry></rdf:Description>",
             ""},
            {"<rdf:Description><xmpMM:DerivedFrom tiff:Orientation='3'/></rdf:Description>", ""},
            {"<rdf:Description><xmpMM:DerivedFrom tiff:Orientation='3'></xmpMM:DerivedFrom>"
             "</rdf:Description>",
             ""},
        },
        setXmpUpright);
}

TEST(XmpPackets, TheResolutionAcrossAndDownSwap) {
    const std::string t = "xmlns:t='http://ns.adobe.com/tiff/1.0/' ";
    expectEdits(
        {
            {t + "t:XResolution=\"300/1\" t:YResolution=\"1500/10\"",
             t + "t:XResolution=\"1500/10\" t:YResolution=\"300/1\""},
            {"<tiff:YResolution>72</tiff:YResolution><tiff:XResolution>300.5</tiff:XResolution>",
             "<tiff:YResolution>300.5</tiff:YResolution><tiff:XResolution>72</tiff:XResolution>"},
            {t + "t:XResolution='300/1' t:YResolution='300/1'", ""},
            {t + "t:XResolution='300/1'", ""},
            {"xmlns:t='urn:other' t:XResolution='300' t:YResolution='150'", ""},
            {"<rdf:Description><xmpMM:Pantry><rdf:li><tiff:XResolution>1</tiff:XResolution>"
             "</rdf:li></xmpMM:Pantry><tiff:XResolution>300</tiff:XResolution><tiff:YResolution>"
             "150</tiff:YResolution></rdf:Description>",
             "<rdf:Description><xmpMM:Pantry><rdf:li><tiff:XResolution>1</tiff:XResolution>"
             "</rdf:li></xmpMM:Pantry><tiff:XResolution>150</tiff:XResolution><tiff:YResolution>"
             "300</tiff:YResolution></rdf:Description>"},
        },
        swapXmpResolution);
}

}  // namespace
}  // namespace vellora::imaging
