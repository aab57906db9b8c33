// The command line's option parser on any arguments (the input split at NUL bytes):
// a usage error with a message, or options within their documented ranges.

#include <QString>
#include <QStringList>
#include <cstdint>

#include "cli/options.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using vellora::fuzz::require;
    QStringList arguments{vellora::cli::kProgramName};
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    for (const QByteArray& part : bytes.split('\0')) {
        arguments << QString::fromUtf8(part);
    }
    const vellora::cli::ParseResult result = vellora::cli::parseArguments(arguments, 2);
    switch (result.action) {
        case vellora::cli::ParseAction::UsageError:
            require(!result.error.isEmpty(), "a usage error has a message");
            break;
        case vellora::cli::ParseAction::Run: {
            const vellora::cli::Options& options = result.options;
            require(options.quality >= 1 && options.quality <= 100, "quality in 1..100");
            require(options.jobs >= 1 && options.jobs <= vellora::cli::kMaxJobs, "jobs in range");
            require(!options.targetSize || *options.targetSize >= 1,
                    "a target size of a byte or more");
            require(!options.inputs.isEmpty(), "a run has inputs");
            // stdout carries one picture, and nothing else may be asked of the output.
            require(!options.toStdout || (options.inputs.size() == 1 && options.output.isEmpty() &&
                                          options.outDir.isEmpty() && !options.inPlace),
                    "stdout takes exactly one picture");
            if (options.crop) {
                const auto& crop = *options.crop;
                require(crop.left >= 0 && crop.top >= 0 && crop.width >= 1 && crop.height >= 1,
                        "crop rectangle not empty");
                require(std::int64_t{crop.left} + crop.width <= INT32_MAX &&
                            std::int64_t{crop.top} + crop.height <= INT32_MAX,
                        "crop edges within 32 bits");
            }
            break;
        }
        case vellora::cli::ParseAction::Help:
        case vellora::cli::ParseAction::Version:
            break;
    }
    // The smaller parsers on the raw text too.
    const QString text = QString::fromUtf8(bytes);
    if (const auto parsed = vellora::cli::parseSize(text)) {
        require(*parsed >= 1, "a parsed size is at least a byte");
    }
    if (const auto crop = vellora::cli::parseCrop(text)) {
        require(crop->width >= 1 && crop->height >= 1, "a parsed crop is not empty");
    }
    if (const auto number = vellora::cli::parseBoundedInt(text, -5, 5)) {
        require(*number >= -5 && *number <= 5, "a bounded number is within its bounds");
    }
    return 0;
}
