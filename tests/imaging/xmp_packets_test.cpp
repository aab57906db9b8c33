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

}  // namespace
}  // namespace vellora::imaging
