#include <gtest/gtest.h>

#include <QStringList>
#include <cstdint>
#include <optional>

#include "cli/options.h"
#include "cli_test_support.h"

namespace vellora::cli {
namespace {

struct SizeCase {
    const char* text;
    std::optional<std::int64_t> bytes;
};

class ParseSizeTest : public testing::TestWithParam<SizeCase> {};

TEST_P(ParseSizeTest, ReadsBytesAndBinaryUnits) {
    EXPECT_EQ(parseSize(QString::fromLatin1(GetParam().text)), GetParam().bytes) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ParseSizeTest,
    testing::Values(SizeCase{"150000", 150000}, SizeCase{"1", 1}, SizeCase{"200K", 204800},
                    SizeCase{"200k", 204800}, SizeCase{"200KB", 204800}, SizeCase{"64KiB", 65536},
                    SizeCase{"1.5M", 1572864}, SizeCase{"0.5K", 512},
                    SizeCase{"1.0009K", 1024},  // fraction of a byte dropped
                    SizeCase{"2G", 2147483648LL}, SizeCase{"500B", 500},
                    SizeCase{"999999999999999", 999999999999999LL},
                    // malformed or meaningless
                    SizeCase{"", std::nullopt}, SizeCase{"0", std::nullopt},
                    SizeCase{"0K", std::nullopt}, SizeCase{"0.0001K", std::nullopt},
                    SizeCase{"-5K", std::nullopt}, SizeCase{"1.5", std::nullopt},
                    SizeCase{"12X", std::nullopt}, SizeCase{"K", std::nullopt},
                    SizeCase{"1.M", std::nullopt}, SizeCase{"1e6", std::nullopt},
                    SizeCase{"10 M B", std::nullopt}, SizeCase{"1iB", std::nullopt},
                    SizeCase{"999999999999999G", std::nullopt}));  // beyond 64 bits

struct CropCase {
    const char* text;
    std::optional<CropRect> rect;
};

class ParseCropTest : public testing::TestWithParam<CropCase> {};

TEST_P(ParseCropTest, ReadsFourWholeNumbers) {
    EXPECT_EQ(parseCrop(QString::fromLatin1(GetParam().text)), GetParam().rect) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Crops, ParseCropTest,
    testing::Values(CropCase{"10,20,300,200", CropRect{10, 20, 300, 200}},
                    CropCase{"0,0,1,1", CropRect{0, 0, 1, 1}},
                    CropCase{" 5, 6 ,7,8 ", CropRect{5, 6, 7, 8}},
                    CropCase{"0,0,2147483647,2147483647", CropRect{0, 0, 2147483647, 2147483647}},
                    CropCase{"1,0,2147483647,1", std::nullopt},  // right beyond 32 bits
                    CropCase{"0,1,1,2147483647", std::nullopt},  // bottom beyond 32 bits
                    CropCase{"10,20,0,200", std::nullopt}, CropCase{"10,20,300,0", std::nullopt},
                    CropCase{"-1,0,10,10", std::nullopt}, CropCase{"1,2,3", std::nullopt},
                    CropCase{"1,2,3,4,5", std::nullopt}, CropCase{"a,b,c,d", std::nullopt},
                    CropCase{"1.5,2,3,4", std::nullopt}, CropCase{"", std::nullopt},
                    CropCase{"1,,3,4", std::nullopt}));

TEST(ParseBoundedIntTest, AcceptsOnlyPlainNumbersInRange) {
    EXPECT_EQ(parseBoundedInt(QStringLiteral("1"), 1, 100), 1);
    EXPECT_EQ(parseBoundedInt(QStringLiteral("100"), 1, 100), 100);
    EXPECT_EQ(parseBoundedInt(QStringLiteral("007"), 1, 100), 7);
    for (const char* bad : {"0", "101", "", "+5", "-5", "5x", " 5", "5.0", "99999999999"}) {
        EXPECT_EQ(parseBoundedInt(QString::fromLatin1(bad), 1, 100), std::nullopt) << bad;
    }
}

ParseResult parse(const QStringList& arguments) {
    return parseArguments(QStringList{QStringLiteral("vellora-cli")} + arguments, 6);
}

TEST(ParseArgumentsTest, DefaultsWhenOnlyFilesAreGiven) {
    const ParseResult result = parse({QStringLiteral("a.jpg"), QStringLiteral("dir")});
    ASSERT_EQ(result.action, ParseAction::Run) << result.error.toStdString();
    const Options& options = result.options;
    EXPECT_EQ(options.quality, 75);
    EXPECT_FALSE(options.targetSize);
    EXPECT_EQ(options.jobs, 6);
    EXPECT_EQ(options.suffix, QStringLiteral("-vellora"));
    EXPECT_FALSE(options.suffixGiven);
    EXPECT_FALSE(options.recursive || options.inPlace || options.force || options.strip ||
                 options.stripIcc || options.keepLarger || options.verbose || options.json);
    EXPECT_FALSE(options.crop);
    EXPECT_EQ(options.inputs, (QStringList{QStringLiteral("a.jpg"), QStringLiteral("dir")}));
}

TEST(ParseArgumentsTest, ReadsEveryOption) {
    const ParseResult result =
        parse({QStringLiteral("-q"), QStringLiteral("40"), QStringLiteral("-r"),
               QStringLiteral("--out-dir"), QStringLiteral("out"), QStringLiteral("--suffix=_s"),
               QStringLiteral("-f"), QStringLiteral("--crop"), QStringLiteral("1,2,3,4"),
               QStringLiteral("--strip"), QStringLiteral("--strip-icc"),
               QStringLiteral("--keep-larger"), QStringLiteral("-j3"), QStringLiteral("-v"),
               QStringLiteral("--json"), QStringLiteral("x.bmp")});
    ASSERT_EQ(result.action, ParseAction::Run) << result.error.toStdString();
    const Options& options = result.options;
    EXPECT_EQ(options.quality, 40);
    EXPECT_TRUE(options.recursive);
    EXPECT_EQ(options.outDir, QStringLiteral("out"));
    EXPECT_EQ(options.suffix, QStringLiteral("_s"));
    EXPECT_TRUE(options.suffixGiven);
    EXPECT_TRUE(options.force && options.strip && options.stripIcc && options.keepLarger &&
                options.verbose && options.json);
    EXPECT_EQ(options.crop, (CropRect{1, 2, 3, 4}));
    EXPECT_EQ(options.jobs, 3);
    EXPECT_EQ(options.inputs, QStringList{QStringLiteral("x.bmp")});
}

TEST(ParseArgumentsTest, TargetSizeAndSingleOutput) {
    const ParseResult result =
        parse({QStringLiteral("-s"), QStringLiteral("1.5M"), QStringLiteral("-o"),
               QStringLiteral("small.jpg"), QStringLiteral("big.jpg")});
    ASSERT_EQ(result.action, ParseAction::Run) << result.error.toStdString();
    EXPECT_EQ(result.options.targetSize, 1572864);
    EXPECT_EQ(result.options.output, QStringLiteral("small.jpg"));
}

TEST(ParseArgumentsTest, HelpAndVersionWin) {
    EXPECT_EQ(parse({QStringLiteral("--help")}).action, ParseAction::Help);
    EXPECT_EQ(parse({QStringLiteral("-h"), QStringLiteral("a.jpg")}).action, ParseAction::Help);
    EXPECT_EQ(parse({QStringLiteral("--version")}).action, ParseAction::Version);
    EXPECT_EQ(versionText(), QStringLiteral("vellora-cli 1.5.0.7"));
}

struct UsageCase {
    std::vector<const char*> arguments;
    const char* errorPart;  // a piece of the message the user sees
};

class UsageErrorTest : public testing::TestWithParam<UsageCase> {};

TEST_P(UsageErrorTest, IsRefusedWithAReason) {
    QStringList arguments;
    for (const char* argument : GetParam().arguments) {
        arguments << QString::fromLatin1(argument);
    }
    const ParseResult result = parse(arguments);
    EXPECT_EQ(result.action, ParseAction::UsageError) << arguments.join(' ').toStdString();
    EXPECT_TRUE(result.error.contains(QLatin1String(GetParam().errorPart)))
        << result.error.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Refused, UsageErrorTest,
    testing::Values(UsageCase{{}, "no input"}, UsageCase{{"--frobnicate", "a.jpg"}, "frobnicate"},
                    UsageCase{{"-q"}, "-q"}, UsageCase{{"-q", "0", "a.jpg"}, "quality"},
                    UsageCase{{"-q", "101", "a.jpg"}, "quality"},
                    UsageCase{{"-q", "high", "a.jpg"}, "quality"},
                    UsageCase{{"-s", "12X", "a.jpg"}, "size"},
                    UsageCase{{"-q", "50", "-s", "10K", "a.jpg"}, "cannot be combined"},
                    UsageCase{{"--crop", "1,2,3", "a.jpg"}, "crop"},
                    UsageCase{{"--crop", "0,0,0,5", "a.jpg"}, "crop"},
                    UsageCase{{"--crop", "0,0,5,5", "--min-saving", "5", "a.jpg"}, "--min-saving"},
                    UsageCase{{"-j", "0", "a.jpg"}, "job"}, UsageCase{{"-j", "x", "a.jpg"}, "job"},
                    UsageCase{{"-j", "%2", "a.jpg"}, "bad job count '%2'"},
                    UsageCase{{"-o", "x.jpg", "a.jpg", "b.jpg"}, "single input"},
                    UsageCase{{"-o", "x.jpg", "-d", "out", "a.jpg"}, "cannot be combined"},
                    UsageCase{{"--in-place", "-d", "out", "a.jpg"}, "--in-place"},
                    UsageCase{{"--in-place", "--suffix", "x", "a.jpg"}, "--in-place"},
                    UsageCase{{"--suffix", "a/b", "a.jpg"}, "suffix"},
                    UsageCase{{"-o", "", "a.jpg"}, "-o"}));

TEST(HelpTextTest, NamesEveryOptionAndGivesExamples) {
    const QString help = helpText();
    for (const char* option :
         {"--quality", "--target-size", "--output", "--out-dir", "--recursive", "--suffix",
          "--in-place", "--force", "--crop", "--strip", "--strip-icc", "--keep-larger", "--jobs",
          "--verbose", "--json", "--help", "--version", "default 75", "Examples:"}) {
        EXPECT_TRUE(help.contains(QLatin1String(option))) << option;
    }
    for (const QString& line : help.split(QLatin1Char('\n'))) {
        EXPECT_LE(line.size(), 80) << line.toStdString();
    }
}

}  // namespace
}  // namespace vellora::cli
