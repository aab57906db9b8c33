// The stored-coefficient path of --target-ssim: the quality a requantised luma amounts
// to, and what an encode carrying the input's own luma (and a 4:2:0 input's colour)
// keeps, changes and refuses.

#include <gtest/gtest.h>

#include <QImage>
#include <cmath>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

#include "cli/lossless_repack.h"
#include "cli/requantiser.h"
#include "cli_test_support.h"
#include "imaging/encoder/encoder_settings.h"
#include "imaging/jpeg_encoder.h"
#include "imaging/libjpeg_bridge.h"
#include "round_two_support.h"

namespace vellora::cli {
namespace {

using imaging::encoder::QuantTable;

QuantTable tunedLuma(int quality) {
    const imaging::encoder::Settings settings = imaging::encoder::settingsFor(quality);
    return imaging::encoder::shapedTable(settings.luma, settings.tableQuality);
}

double meanLogStep(const QuantTable& table) {
    double sum = 0;
    for (const auto step : table) {
        sum += std::log(static_cast<double>(step));
    }
    return sum / 64;
}

TEST(EquivalentQualityTest, FindsTheQualityOfATunedTableAndClampsTheEnds) {
    for (const int quality : {2, 30, 41, 60, 75, 90, 99, 100}) {
        const QuantTable table = tunedLuma(quality);
        const int found = equivalentQuality(table);
        // Neighbouring qualities can round to the same steps: the lowest of them.
        EXPECT_LE(found, quality);
        EXPECT_NEAR(meanLogStep(tunedLuma(found)), meanLogStep(table), 1e-12) << quality;
    }
    // The finest table: the lowest quality whose tuned steps are all ones.
    QuantTable finest{};
    finest.fill(1);
    const int top = equivalentQuality(finest);
    EXPECT_EQ(tunedLuma(top), finest);
    EXPECT_NE(tunedLuma(top - 1), finest);
    QuantTable coarsest{};
    coarsest.fill(255);
    EXPECT_EQ(equivalentQuality(coarsest), 1);
}

// A file's quantisation table and blocks for one component, as libjpeg reads them.
struct ComponentData {
    int widthInBlocks = 0;
    int heightInBlocks = 0;
    std::vector<std::uint16_t> table;
    std::vector<JCOEF> blocks;  // row by row, 64 per block
};

// Empty `blocks` when the file cannot be read.
ComponentData readComponent(const QByteArray& jpeg, int component) {
    ComponentData data;
    jpeg::Decompressor decompressor;
    jpeg_decompress_struct* info = decompressor.info();
    const bool read =
        decompressor.valid() && jpeg::runGuarded(decompressor.bridge(), [&] {
            jpeg_mem_src(info, reinterpret_cast<const unsigned char*>(jpeg.constData()),
                         static_cast<unsigned long>(jpeg.size()));
            jpeg_read_header(info, TRUE);
            jvirt_barray_ptr* arrays = jpeg_read_coefficients(info);
            const jpeg_component_info& comp = info->comp_info[component];
            data.widthInBlocks = static_cast<int>(comp.width_in_blocks);
            data.heightInBlocks = static_cast<int>(comp.height_in_blocks);
            data.table.assign(comp.quant_table->quantval, comp.quant_table->quantval + 64);
            for (JDIMENSION row = 0; row < comp.height_in_blocks; ++row) {
                JBLOCKARRAY rows = (*info->mem->access_virt_barray)(
                    reinterpret_cast<j_common_ptr>(info), arrays[component], row, 1, FALSE);
                for (JDIMENSION column = 0; column < comp.width_in_blocks; ++column) {
                    data.blocks.insert(data.blocks.end(), rows[0][column], rows[0][column] + 64);
                }
            }
        });
    if (!read) {
        data.blocks.clear();
    }
    return data;
}

QByteArray ourEncode(const QImage& image, int quality) {
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    const imaging::PixelView view{rgb.constBits(), rgb.width(), rgb.height(), rgb.bytesPerLine(),
                                  3};
    const imaging::EncodedJpeg encoded = imaging::encodeBest(view, quality, {});
    return QByteArray(reinterpret_cast<const char*>(encoded.bytes.data()),
                      static_cast<qsizetype>(encoded.bytes.size()));
}

test::JpegKind fullColour() {
    test::JpegKind kind{"4:4:4"};
    kind.lumaH = kind.lumaV = 1;
    return kind;
}

// Wherever `luma` keeps a stored step, every level is the stored one: the picture there
// is the input's, not rounded a second time. Returns how many were kept.
int expectOnlyStoredLevels(const ComponentData& stored, const ComponentData& luma) {
    EXPECT_EQ(luma.blocks.size(), stored.blocks.size());
    int kept = 0;
    for (std::size_t i = 0; i < std::min(luma.blocks.size(), stored.blocks.size()); ++i) {
        const std::size_t k = i % 64;
        if (luma.table[k] != stored.table[k]) {
            continue;
        }
        ++kept;
        const JCOEF before = stored.blocks[i];
        const JCOEF after = luma.blocks[i];
        if (after != before) {
            ADD_FAILURE() << "block " << i / 64 << " coefficient " << k << ": " << before << " -> "
                          << after;
            break;
        }
    }
    return kept;
}

class StoredLumaTest : public testing::TestWithParam<int> {};

// Whatever the quality: the chroma is the encode's, the luma table the one asked for,
// and wherever a stored step is kept every luma level is the stored one. (The dead zone
// and the tail trimming once dropped stored +-1s there too, so that even quality 100
// could not reach a high SSIM target that plain encodes reach.)
TEST_P(StoredLumaTest, KeepsTheEncodesChromaAndNeverInventsALumaLevel) {
    const int quality = GetParam();
    const QImage picture = test::photo(152, 104, 2);
    const QByteArray input = test::encodeKind(picture, fullColour(), 85);
    ASSERT_FALSE(input.isEmpty());
    StoredPicture read;
    ASSERT_EQ(readStoredPicture(input, read).status, RepackStatus::Ok);
    const QuantTable table = requantisedLumaTable(read, quality);
    const QByteArray encoded = ourEncode(picture, equivalentQuality(table));
    ASSERT_FALSE(encoded.isEmpty());

    const RepackResult result = withStoredPicture(read, encoded, table, quality);
    ASSERT_EQ(result.status, RepackStatus::Ok) << result.message.toStdString();
    const std::optional<test::DecodedPixels> pixels = test::decodeWithLibjpeg(result.bytes);
    ASSERT_TRUE(pixels);
    EXPECT_EQ(pixels->width, 152);
    EXPECT_EQ(pixels->height, 104);
    for (const int chroma : {1, 2}) {
        EXPECT_EQ(readComponent(result.bytes, chroma).blocks,
                  readComponent(encoded, chroma).blocks);
    }
    const ComponentData stored = readComponent(input, 0);
    const ComponentData luma = readComponent(result.bytes, 0);
    EXPECT_EQ(luma.table, std::vector<std::uint16_t>(table.begin(), table.end()));
    const int kept = expectOnlyStoredLevels(stored, luma);
    if (quality == 100) {
        // Finer than the stored steps everywhere: every stored step stays.
        EXPECT_EQ(luma.table, stored.table);
        EXPECT_EQ(kept, static_cast<int>(luma.blocks.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Qualities, StoredLumaTest, testing::Values(20, 50, 75, 100));

TEST(StoredLumaTest, RefusesWhatCannotLineUp) {
    const QImage picture = test::photo(96, 64, 1);
    const QByteArray colour = test::encodeKind(picture, fullColour(), 85);
    const QByteArray encoded = ourEncode(picture, 60);
    test::JpegKind turnedKind = fullColour();
    turnedKind.exif = true;  // orientation 6
    // Luma at half the colour's resolution: 8 pixels across it has as many blocks as a
    // full-resolution luma, and was taken for one (every trial carried it, flat rows).
    test::JpegKind coarseLuma = fullColour();
    coarseLuma.chromaH = 2;
    const QImage strip = test::photo(8, 200, 1);
    const QuantTable table = tunedLuma(60);
    struct Case {
        const char* what;
        QByteArray input;
        QByteArray encoded;
        RepackStatus status;
    };
    const Case cases[] = {
        {"stored turned", test::encodeKind(picture, turnedKind, 85), encoded,
         RepackStatus::Refused},
        {"another size", colour, ourEncode(picture.copy(0, 0, 80, 64), 60), RepackStatus::Refused},
        {"coarser luma", test::encodeKind(strip, coarseLuma, 90), ourEncode(strip, 60),
         RepackStatus::Refused},
        // Its luma's steps are no longer in the file's tables at the end.
        {"a table defined again", test::withTableDefinedAgain(picture), encoded,
         RepackStatus::Refused},
        {"not a JPEG", QByteArray("BM not a jpeg at all"), encoded, RepackStatus::Failed},
        {"cut short", colour.left(colour.size() / 2), encoded, RepackStatus::Failed},
    };
    for (const Case& c : cases) {
        StoredPicture luma;
        RepackResult result = readStoredPicture(c.input, luma);
        if (result.status == RepackStatus::Ok) {
            result = withStoredPicture(luma, c.encoded, table, 60);
        }
        EXPECT_EQ(result.status, c.status) << c.what;
    }
    // A turned input is refused as it is read, before any encode is made for it.
    StoredPicture luma;
    EXPECT_EQ(readStoredPicture(cases[0].input, luma).status, RepackStatus::Refused);
    EXPECT_EQ(readStoredPicture(colour, luma).status, RepackStatus::Ok);
}

// A 4:2:0 input's colour planes replace the encode's when the encode is 4:2:0 too: each
// step is the stored one or the encode's own (the stored one wherever the encode's is
// less than kColourKeepFactor times coarser), and a kept step keeps every stored level
// (colour has neither dead zone nor trimming). Any other layout keeps the encode's, and so
// do Cb and Cr steps that the one colour table of our file cannot both hold.
TEST(StoredColourTest, ReplacesTheEncodesColourOnlyWhereItLinesUp) {
    const QImage picture = test::photo(152, 104, 5);
    test::JpegKind half{"4:2:0"};
    test::JpegKind wide{"4:2:2"};
    wide.lumaV = 1;
    test::JpegKind ownCr{"4:2:0, Cr with a table of its own"};
    ownCr.crTableScale = 200;
    struct Case {
        const char* what;
        test::JpegKind kind;
        int storedQuality;
        int quality;
        bool stored;     // the result's colour is the input's
        int encodeAt{};  // the encode's quality; 0: the one the luma amounts to
    };
    const Case cases[] = {
        {"4:2:0 at 85, asked 20", half, 85, 20, true},
        {"4:2:0 at 85, asked 75", half, 85, 75, true},
        {"4:2:0 at 50, asked 90", half, 50, 90, true},
        {"4:2:0, the encode 4:4:4", half, 85, 90, false, 100},
        {"4:2:2", wide, 85, 75, false},
        // Our file shares one colour table: Cb's and Cr's kept steps would clash.
        {"4:2:0, Cb and Cr tables differ", ownCr, 85, 75, false},
        {"4:4:4", fullColour(), 85, 75, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QByteArray input = test::encodeKind(picture, c.kind, c.storedQuality);
        StoredPicture read;
        ASSERT_EQ(readStoredPicture(input, read).status, RepackStatus::Ok);
        const QuantTable table = requantisedLumaTable(read, c.quality);
        const QByteArray encoded =
            ourEncode(picture, c.encodeAt > 0 ? c.encodeAt : equivalentQuality(table));
        const RepackResult result = withStoredPicture(read, encoded, table, c.quality);
        ASSERT_EQ(result.status, RepackStatus::Ok) << result.message.toStdString();
        ASSERT_TRUE(test::decodeWithLibjpeg(result.bytes).has_value());
        for (const int component : {1, 2}) {
            const ComponentData stored = readComponent(input, component);
            const ComponentData own = readComponent(encoded, component);
            const ComponentData colour = readComponent(result.bytes, component);
            if (!c.stored) {
                EXPECT_EQ(colour.blocks, own.blocks);
                EXPECT_EQ(colour.table, own.table);
                continue;
            }
            int kept = 0;
            for (std::size_t k = 0; k < 64; ++k) {
                const bool keep = own.table[k] < kColourKeepFactor * stored.table[k];
                EXPECT_EQ(colour.table[k], keep ? stored.table[k] : own.table[k]) << k;
                kept += keep ? 1 : 0;
            }
            EXPECT_GT(kept, 0);
            ASSERT_EQ(colour.blocks.size(), stored.blocks.size());
            for (std::size_t i = 0; i < colour.blocks.size(); ++i) {
                if (colour.table[i % 64] == stored.table[i % 64] &&
                    colour.blocks[i] != stored.blocks[i]) {
                    ADD_FAILURE() << "component " << component << " coefficient " << i;
                    break;
                }
            }
        }
    }
}

// Grey pixels are encoded as one component, whatever the input file held; the luma
// crosses either way, and the result has the encode's components.
TEST(StoredLumaTest, MovesTheLumaBetweenGreyAndColourFiles) {
    const QImage grey = test::photo(96, 64, 3).convertToFormat(QImage::Format_Grayscale8);
    test::JpegKind greyKind{"grey"};
    greyKind.grey = true;
    struct Case {
        const char* what;
        QByteArray input;
        QImage encoded;
        int components;
    };
    const Case cases[] = {
        {"grey file, colour encode", test::encodeKind(grey, greyKind, 85), test::photo(96, 64, 3),
         3},
        {"colour file of grey pixels, grey encode", test::encodeKind(grey, fullColour(), 85), grey,
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StoredPicture luma;
        ASSERT_EQ(readStoredPicture(c.input, luma).status, RepackStatus::Ok);
        const QuantTable table = requantisedLumaTable(luma, 75);
        const QByteArray encoded = ourEncode(c.encoded, equivalentQuality(table));
        const RepackResult result = withStoredPicture(luma, encoded, table, 75);
        ASSERT_EQ(result.status, RepackStatus::Ok) << result.message.toStdString();
        const std::optional<test::DecodedPixels> pixels = test::decodeWithLibjpeg(result.bytes);
        ASSERT_TRUE(pixels.has_value());
        EXPECT_EQ(pixels->components, c.components);
        EXPECT_GT(expectOnlyStoredLevels(readComponent(c.input, 0), readComponent(result.bytes, 0)),
                  0);
    }
}

}  // namespace
}  // namespace vellora::cli
