#include "options.h"

#include <QCommandLineParser>
#include <QRegularExpression>
#include <algorithm>
#include <array>
#include <limits>

#include "common/build_config.h"

namespace vellora::cli {
namespace {

// One row per option: the parser and the help text are both made from this table,
// so the help can never miss an option.
struct OptionRow {
    const char* key;  // how the code asks the parser (the long name)
    QStringList names;
    const char* valueName;  // empty: a switch
    const char* help;       // one paragraph; the help text wraps it
};

const std::array<OptionRow, 23>& optionTable() {
    static const std::array<OptionRow, 23> table = {{
        {"quality", {"q", "quality"}, "N", "JPEG quality, 1 (smallest) to 100 (best); default 75."},
        {"target-size",
         {"s", "target-size"},
         "SIZE",
         "Highest quality whose output fits in SIZE bytes: plain bytes or K/M/G (1024-based), e.g. "
         "150000, 200K, 1.5M. A file that does not fit even at quality 1 fails and nothing is "
         "written for it. Cannot be combined with -q."},
        {"target-ssim",
         {"target-ssim"},
         "VALUE",
         "Lowest quality whose result still has at least this SSIM (0 < VALUE < 1) against the "
         "input: luma, 11x11 Gaussian window, full resolution; 1 means identical. On photos 0.99 "
         "looks the same as the original, 0.985 differs only on close inspection, 0.97 and below "
         "show softening. Found by bisection in at most 8 encodes; a file that misses it even at "
         "quality 100 is skipped (a --crop cut-out fails). Most whole, upright JPEGs keep their "
         "own luma, requantised "
         "(the man page says which). Not with -q or -s."},
        {"ms-ssim",
         {"ms-ssim"},
         "",
         "With --target-ssim: measure multi-scale SSIM (five scales, full to 1/16 size) instead, "
         "which weighs coarse structure more and fine grain less. Its values run higher: on "
         "photos 0.998 looks the same as the original, 0.995 differs on close inspection, 0.99 "
         "shows softening."},
        {"lossless",
         {"lossless"},
         "",
         "JPEG inputs: keep every pixel and repack the compressed data with optimised Huffman "
         "tables and progressive scans (no re-encode; EXIF orientation stays a tag). Arithmetic-"
         "coded, 12-bit, lossless-process and incomplete JPEGs are skipped. BMP inputs need -q, -s "
         "or "
         "--target-ssim too, which then applies to them. Not with --crop."},
        {"output",
         {"o", "output"},
         "FILE",
         "Write the single input's result to FILE (- for stdout)."},
        {"out-dir",
         {"d", "out-dir"},
         "DIR",
         "Write results into DIR (created if missing), keeping the input's file name (a BMP gets "
         "\".jpg\"); with -r the folder tree below each DIR argument is kept."},
        {"recursive", {"r", "recursive"}, "", "Look into folders below each DIR argument too."},
        {"suffix",
         {"suffix"},
         "TEXT",
         "Without -o, -d or --in-place the result goes beside its input as NAME + TEXT + \".jpg\"; "
         "default \"-vellora\" (photo.bmp becomes photo-vellora.jpg). Given together with -d, it "
         "is added there too."},
        {"in-place",
         {"in-place"},
         "",
         "Replace each JPEG input with its result. A BMP input is kept and its result written "
         "beside it as NAME.jpg."},
        {"force", {"f", "force"}, "", "Replace outputs that already exist (never an input)."},
        {"crop",
         {"crop"},
         "L,T,W,H",
         "Keep only the rectangle at LEFT,TOP of WIDTH x HEIGHT pixels; the part reaching past the "
         "picture is cut off. The cut-out is written whatever its size; not with --min-saving."},
        {"strip",
         {"strip"},
         "",
         "Leave out the EXIF block, comments (COM), XMP (APP1) and IPTC (APP13), and with "
         "--lossless every other application block too; all are kept by default, in their "
         "order. The colour profile stays (see --strip-icc)."},
        {"strip-icc",
         {"strip-icc"},
         "",
         "Leave out the ICC colour profile (kept by default so colours stay right, but a CMYK "
         "file's, which cannot describe the RGB result of a re-encode, always goes); "
         "independent of --strip."},
        {"keep-larger",
         {"keep-larger"},
         "",
         "Write the result even when it is not smaller than the input (by default such a file is "
         "skipped and reported)."},
        {"min-saving",
         {"min-saving"},
         "PCT",
         "Skip a result that saves less than PCT per cent of the input's size (like a result "
         "that is not smaller)."},
        {"preserve-times",
         {"p", "preserve-times"},
         "",
         "Give each output the access and modification times of its input."},
        {"dry-run",
         {"n", "dry-run"},
         "",
         "Do everything but the write: report each file's output name and sizes (as with -v); "
         "nothing on disk changes."},
        {"jobs", {"j", "jobs"}, "N", "Pictures worked on at once; default: the number of cores."},
        {"verbose",
         {"v", "verbose"},
         "",
         "One line per file on stderr: sizes before and after, share saved, quality."},
        {"json",
         {"json"},
         "",
         "One JSON object per file on stdout, then a summary object with \"summary\": true."},
        {"help", {"h", "help"}, "", "Show this help and exit."},
        {"version", {"version"}, "", "Show the version and exit."},
    }};
    return table;
}

// Breaks `text` into lines of at most `width` characters at blanks.
QStringList wrapWords(const QString& text, int width) {
    QStringList lines;
    QString line;
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && line.size() + 1 + word.size() > width) {
            lines << line;
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    if (!line.isEmpty()) {
        lines << line;
    }
    return lines;
}

QString namesColumn(const OptionRow& row) {
    QStringList parts;
    for (const QString& name : row.names) {
        parts << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    }
    QString column = parts.join(QStringLiteral(", "));
    if (row.names.front().size() != 1) {
        column.prepend(QStringLiteral("    "));  // line long names up under "-x, --"
    }
    if (*row.valueName != '\0') {
        column += QLatin1Char(' ') + QLatin1String(row.valueName);
    }
    return column;
}

ParseResult usageError(const QString& message) {
    ParseResult result;
    result.action = ParseAction::UsageError;
    result.error = message;
    return result;
}

}  // namespace

QString versionText() {
    return kProgramName + QLatin1Char(' ') + QStringLiteral(VELLORA_VERSION);
}

QString helpText() {
    QString text;
    text += QStringLiteral(
        "Usage: vellora-cli [options] FILE|DIR...\n"
        "       vellora-cli [options] - [-o FILE]\n"
        "\n"
        "Re-encodes JPEG and BMP pictures (.jpg, .jpeg, .jpe, .bmp) as smaller JPEG\n"
        "files. Folders are searched for such files; other files in them are left\n"
        "alone. Inputs are never overwritten without --in-place, existing outputs never\n"
        "without --force, and every file is written completely or not at all.\n"
        "\n"
        "A single \"-\" reads one picture (JPEG or BMP, told by its content) from stdin\n"
        "and writes the result to stdout, or to -o FILE; -o - sends a single file's\n"
        "result to stdout too. A skipped result passes the input through unchanged.\n"
        "Reports (and --json) then go to stderr. stdout must not be a terminal.\n"
        "\n"
        "Options:\n");
    constexpr int kColumn = 26;
    constexpr int kWidth = 80;
    for (const OptionRow& row : optionTable()) {
        const QString names = namesColumn(row);
        const QStringList lines = wrapWords(QString::fromLatin1(row.help), kWidth - kColumn);
        QString first = QStringLiteral("  ") + names;
        if (first.size() >= kColumn) {
            text += first + QLatin1Char('\n') + QString(kColumn, QLatin1Char(' '));
        } else {
            text += first.leftJustified(kColumn);
        }
        text += lines.join(QLatin1Char('\n') + QString(kColumn, QLatin1Char(' ')));
        text += QLatin1Char('\n');
    }
    text += QStringLiteral(
        "\n"
        "Output: one line on stderr per failed file, always. On a terminal stderr also\n"
        "shows a progress bar, skipped files and a summary; otherwise nothing but errors\n"
        "(and the lines -v asks for). stdout carries only --json output.\n"
        "\n"
        "Exit status: 0 every file written or skipped on purpose, 1 some file failed (the\n"
        "others are still done), 2 usage error.\n"
        "\n"
        "Examples:\n"
        "  vellora-cli photo.jpg                     writes photo-vellora.jpg, quality 75\n"
        "  vellora-cli -q 80 -r -d small/ photos/    photos/ and below into small/\n"
        "  vellora-cli -s 200K --strip scan.bmp      scan-vellora.jpg of at most 200 KiB\n"
        "  vellora-cli --in-place --json *.jpg       shrink in place, report for scripts\n"
        "  vellora-cli --lossless -p *.jpg           same pixels, smaller, same dates\n"
        "  vellora-cli --target-ssim .985 a.jpg      smallest result with SSIM >= 0.985\n"
        "  vellora-cli --target-ssim .998 --ms-ssim a.jpg   the same by multi-scale SSIM\n"
        "  vellora-cli --min-saving 10 -d out/ dir/  only results saving at least 10 %\n"
        "  vellora-cli -n -r --json photos/          what would be written, with sizes\n"
        "  vellora-cli --lossless - <a.jpg >b.jpg    a filter in a pipe\n");
    return text;
}

std::optional<int> parseBoundedInt(const QString& text, int minimum, int maximum) {
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,10}$"));
    if (!digits.match(text).hasMatch()) {
        return std::nullopt;
    }
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    if (!ok || value < minimum || value > maximum) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

std::optional<double> parseDecimal(const QString& text, double low, double high, bool openLow) {
    // Any plain decimal a script may print (a computed float has up to 17 significant
    // digits, and leading zeros are harmless); the length only bounds the work.
    static const QRegularExpression pattern(QStringLiteral("^(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+)$"));
    constexpr qsizetype kMaxDecimalLength = 400;
    if (text.size() > kMaxDecimalLength || !pattern.match(text).hasMatch()) {
        return std::nullopt;
    }
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || value >= high || value < low || (openLow && value == low)) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int64_t> parseSize(const QString& text) {
    static const QRegularExpression pattern(
        QStringLiteral("^([0-9]{1,15})(?:\\.([0-9]{1,9}))?(?:([KMG])(?:I?B)?|B)?$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(text.trimmed());
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    const QString unitText = match.captured(3).toUpper();
    const QString fraction = match.captured(2);
    std::int64_t unit = 1;
    if (unitText == QLatin1String("K")) {
        unit = 1024;
    } else if (unitText == QLatin1String("M")) {
        unit = 1024 * 1024;
    } else if (unitText == QLatin1String("G")) {
        unit = 1024 * 1024 * 1024;
    } else if (!fraction.isEmpty()) {
        return std::nullopt;  // "1.5" bytes: most likely a forgotten unit
    }
    const std::int64_t whole = match.captured(1).toLongLong();
    if (whole > std::numeric_limits<std::int64_t>::max() / unit) {
        return std::nullopt;
    }
    std::int64_t bytes = whole * unit;
    if (!fraction.isEmpty()) {
        // Exact: at most 9 digits times at most 2^30 stays far inside 64 bits.
        std::int64_t scale = 1;
        for (qsizetype i = 0; i < fraction.size(); ++i) {
            scale *= 10;
        }
        bytes += fraction.toLongLong() * unit / scale;
    }
    if (bytes < 1) {
        return std::nullopt;
    }
    return bytes;
}

std::optional<CropRect> parseCrop(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4) {
        return std::nullopt;
    }
    constexpr int kMax = std::numeric_limits<std::int32_t>::max();
    const auto left = parseBoundedInt(parts[0].trimmed(), 0, kMax);
    const auto top = parseBoundedInt(parts[1].trimmed(), 0, kMax);
    const auto width = parseBoundedInt(parts[2].trimmed(), 1, kMax);
    const auto height = parseBoundedInt(parts[3].trimmed(), 1, kMax);
    if (!left || !top || !width || !height) {
        return std::nullopt;
    }
    // The library takes right = left + width and bottom = top + height as 32-bit numbers.
    if (static_cast<std::int64_t>(*left) + *width > kMax ||
        static_cast<std::int64_t>(*top) + *height > kMax) {
        return std::nullopt;
    }
    return CropRect{*left, *top, *width, *height};
}

ParseResult parseArguments(const QStringList& arguments, int defaultJobs) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    for (const OptionRow& row : optionTable()) {
        QCommandLineOption option(row.names, QString::fromLatin1(row.help));
        if (*row.valueName != '\0') {
            option.setValueName(QString::fromLatin1(row.valueName));
        }
        parser.addOption(option);
    }
    QStringList all = arguments;
    if (all.isEmpty()) {
        all << kProgramName;
    }
    if (!parser.parse(all)) {
        return usageError(parser.errorText());
    }
    ParseResult result;
    if (parser.isSet(QStringLiteral("help"))) {
        result.action = ParseAction::Help;
        return result;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        result.action = ParseAction::Version;
        return result;
    }

    Options& options = result.options;
    options.jobs = std::clamp(defaultJobs, 1, kMaxJobs);
    if (parser.isSet(QStringLiteral("quality"))) {
        const QString value = parser.value(QStringLiteral("quality"));
        const auto quality = parseBoundedInt(value, 1, 100);
        if (!quality) {
            return usageError(
                QStringLiteral("bad quality '%1': a whole number from 1 to 100").arg(value));
        }
        options.quality = *quality;
        options.qualityGiven = true;
    }
    if (parser.isSet(QStringLiteral("target-size"))) {
        if (parser.isSet(QStringLiteral("quality"))) {
            return usageError(QStringLiteral("--quality and --target-size cannot be combined"));
        }
        const QString value = parser.value(QStringLiteral("target-size"));
        options.targetSize = parseSize(value);
        if (!options.targetSize) {
            return usageError(
                QStringLiteral("bad size '%1': bytes, or a number with K, M or G (like 200K)")
                    .arg(value));
        }
    }
    if (parser.isSet(QStringLiteral("target-ssim"))) {
        if (parser.isSet(QStringLiteral("quality")) ||
            parser.isSet(QStringLiteral("target-size"))) {
            return usageError(
                QStringLiteral("--target-ssim cannot be combined with --quality or --target-size"));
        }
        const QString value = parser.value(QStringLiteral("target-ssim"));
        options.targetSsim = parseDecimal(value, 0.0, 1.0, true);
        if (!options.targetSsim) {
            return usageError(
                QStringLiteral("bad SSIM target '%1': a number between 0 and 1, like 0.985")
                    .arg(value));
        }
    }
    options.multiScaleSsim = parser.isSet(QStringLiteral("ms-ssim"));
    if (options.multiScaleSsim && !options.targetSsim) {
        return usageError(QStringLiteral("--ms-ssim goes with --target-ssim"));
    }
    if (parser.isSet(QStringLiteral("min-saving"))) {
        const QString value = parser.value(QStringLiteral("min-saving"));
        options.minSaving = parseDecimal(value, 0.0, 100.0, false);
        if (!options.minSaving) {
            return usageError(
                QStringLiteral("bad saving '%1': a per cent from 0 to below 100, like 5 or 2.5")
                    .arg(value));
        }
    }
    if (parser.isSet(QStringLiteral("jobs"))) {
        const QString value = parser.value(QStringLiteral("jobs"));
        const auto jobs = parseBoundedInt(value, 1, kMaxJobs);
        if (!jobs) {
            return usageError(QStringLiteral("bad job count '%1': a whole number from 1 to %2")
                                  .arg(value, QString::number(kMaxJobs)));
        }
        options.jobs = *jobs;
    }
    if (parser.isSet(QStringLiteral("crop"))) {
        const QString value = parser.value(QStringLiteral("crop"));
        options.crop = parseCrop(value);
        if (!options.crop) {
            return usageError(
                QStringLiteral("bad crop '%1': LEFT,TOP,WIDTH,HEIGHT in pixels, width and "
                               "height at least 1, LEFT+WIDTH and TOP+HEIGHT at most %2")
                    .arg(value, QString::number(std::numeric_limits<std::int32_t>::max())));
        }
    }

    options.output = parser.value(QStringLiteral("output"));
    options.outDir = parser.value(QStringLiteral("out-dir"));
    options.suffixGiven = parser.isSet(QStringLiteral("suffix"));
    if (options.suffixGiven) {
        options.suffix = parser.value(QStringLiteral("suffix"));
    }
    options.recursive = parser.isSet(QStringLiteral("recursive"));
    options.inPlace = parser.isSet(QStringLiteral("in-place"));
    options.force = parser.isSet(QStringLiteral("force"));
    options.strip = parser.isSet(QStringLiteral("strip"));
    options.stripIcc = parser.isSet(QStringLiteral("strip-icc"));
    options.keepLarger = parser.isSet(QStringLiteral("keep-larger"));
    options.verbose = parser.isSet(QStringLiteral("verbose"));
    options.json = parser.isSet(QStringLiteral("json"));
    options.inputs = parser.positionalArguments();
    options.lossless = parser.isSet(QStringLiteral("lossless"));
    options.preserveTimes = parser.isSet(QStringLiteral("preserve-times"));
    options.dryRun = parser.isSet(QStringLiteral("dry-run"));
    options.stdio = options.inputs.contains(QStringLiteral("-"));

    const bool outputGiven = parser.isSet(QStringLiteral("output"));
    const bool outDirGiven = parser.isSet(QStringLiteral("out-dir"));
    if (outputGiven && options.output.isEmpty()) {
        return usageError(QStringLiteral("-o needs a file name"));
    }
    if (outDirGiven && options.outDir.isEmpty()) {
        return usageError(QStringLiteral("-d needs a folder name"));
    }
    if (options.suffix.contains(QLatin1Char('/'))) {
        return usageError(QStringLiteral("the suffix cannot contain '/'"));
    }
    if (outputGiven && outDirGiven) {
        return usageError(QStringLiteral("-o and -d cannot be combined"));
    }
    if (options.inPlace && (outputGiven || outDirGiven || options.suffixGiven)) {
        return usageError(QStringLiteral("--in-place cannot be combined with -o, -d or --suffix"));
    }
    if (outputGiven && options.suffixGiven) {
        return usageError(QStringLiteral("-o and --suffix cannot be combined"));
    }
    if (options.inputs.isEmpty()) {
        return usageError(QStringLiteral("no input files"));
    }
    if (outputGiven && options.inputs.size() != 1) {
        return usageError(QStringLiteral("-o takes a single input; use -d for several"));
    }
    if (options.lossless && options.crop) {
        return usageError(QStringLiteral("--lossless and --crop cannot be combined"));
    }
    if (options.minSaving && options.crop) {
        // A cut-out's size against the whole input's is no measure of a saving.
        return usageError(QStringLiteral("--min-saving and --crop cannot be combined"));
    }
    // "-o -" is stdout, as in the tools people pipe with; "-o ./-" names a file "-".
    options.toStdout = options.output == QLatin1String("-") || (options.stdio && !outputGiven);
    if (options.output == QLatin1String("-")) {
        options.output.clear();
    }
    if (options.stdio) {
        if (options.inputs.size() != 1) {
            return usageError(QStringLiteral("'-' (standard input) must be the only input"));
        }
        if (outDirGiven || options.inPlace || options.suffixGiven || options.recursive) {
            return usageError(
                QStringLiteral("'-' cannot be combined with -d, -r, --in-place or --suffix"));
        }
    }
    result.action = ParseAction::Run;
    return result;
}

}  // namespace vellora::cli
