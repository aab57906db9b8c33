#pragma once
// The command line of vellora-cli as plain data: parsed once, validated, then handed
// to the planner and the workers. Parsing has no side effects, so every rule here can
// be tested without running the program.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace vellora::cli {

inline constexpr int kDefaultQuality = 75;
inline constexpr int kMaxJobs = 256;
inline const QString kDefaultSuffix = QStringLiteral("-vellora");
inline const QString kProgramName = QStringLiteral("vellora-cli");

// A rectangle in picture pixels. left + width and top + height fit into 32 bits.
struct CropRect {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    friend bool operator==(const CropRect&, const CropRect&) = default;
};

struct Options {
    int quality = kDefaultQuality;
    bool qualityGiven = false;               // -q on the command line
    std::optional<std::int64_t> targetSize;  // -s: bytes the output must fit in
    QString output;                          // -o; empty when not given
    QString outDir;                          // -d; empty when not given
    bool recursive = false;
    QString suffix = kDefaultSuffix;
    bool suffixGiven = false;  // --suffix on the command line (it then applies with -d too)
    bool inPlace = false;
    bool force = false;
    std::optional<CropRect> crop;
    bool strip = false;
    bool stripIcc = false;
    bool keepLarger = false;
    int jobs = 1;
    bool verbose = false;
    bool json = false;
    QStringList inputs;

    // Round two: modes and habits of the usual scripting tools.
    bool lossless = false;             // --lossless: repack JPEG coefficients, no re-encode
    std::optional<double> targetSsim;  // --target-ssim: lowest quality reaching this SSIM
    bool multiScaleSsim = false;       // --ms-ssim: that SSIM is the multi-scale one
    bool preserveTimes = false;        // -p: the input's access and modification times
    std::optional<double> minSaving;   // --min-saving: per cent a result must save
    bool dryRun = false;               // -n: everything but the write
    bool stdio = false;                // "-" as the only input: stdin to stdout (or -o)
    bool toStdout = false;             // the result goes to stdout: "-" without -o, or -o -
};

enum class ParseAction { Run, Help, Version, UsageError };

struct ParseResult {
    ParseAction action = ParseAction::UsageError;
    Options options;
    QString error;  // the usage error, for ParseAction::UsageError
};

// Parses the whole command line (arguments[0] is the program). `defaultJobs` is what
// -j means when not given (the machine's core count).
[[nodiscard]] ParseResult parseArguments(const QStringList& arguments, int defaultJobs);

// The --help text: usage, every option, examples.
[[nodiscard]] QString helpText();

// "vellora-cli 1.5.0.7"
[[nodiscard]] QString versionText();

// A byte count: plain digits ("150000") or a number with a binary unit K, M or G
// (1024, 1024^2, 1024^3), optionally followed by "B" or "iB", e.g. "200K", "1.5M",
// "64KiB". Fractions of a byte are dropped. At least one byte; nullopt when malformed.
[[nodiscard]] std::optional<std::int64_t> parseSize(const QString& text);

// "LEFT,TOP,WIDTH,HEIGHT": whole numbers, left and top >= 0, width and height >= 1,
// left + width and top + height within 32 bits. nullopt when malformed.
[[nodiscard]] std::optional<CropRect> parseCrop(const QString& text);

// A decimal number ("0.985", "5", "2.5", ".99") below `high`, and above `low` (or equal
// to it when `openLow` is false); nullopt when malformed or out of range.
[[nodiscard]] std::optional<double> parseDecimal(const QString& text, double low, double high,
                                                 bool openLow);

// A whole decimal number in [minimum, maximum]; nullopt otherwise.
[[nodiscard]] std::optional<int> parseBoundedInt(const QString& text, int minimum, int maximum);

}  // namespace vellora::cli
