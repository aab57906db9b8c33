#pragma once
// One file's work: read it through the image library, cut out the crop rectangle,
// encode (at one quality, or the highest quality that fits a size), and put the result
// in place atomically, or leave nothing behind. Runs on a worker thread; every failure
// comes back as a result with its reason, never as an exception.

#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

#include "cli/batch_plan.h"
#include "cli/options.h"

namespace vellora {
class ImageLibrary;
}

namespace vellora::cli {

struct EncodeSettings {
    int quality = kDefaultQuality;
    std::optional<std::int64_t> targetSize;
    std::optional<CropRect> crop;
    std::int32_t saveFlags = 1;  // the library's save flag bits
    bool keepLarger = false;
    // --lossless: JPEG inputs are repacked, not re-encoded (BMP inputs use the rest).
    bool lossless = false;
    bool stripMetadata = false;  // for the repack: --strip
    bool stripIcc = false;       // for the repack: --strip-icc
    std::optional<double> targetSsim;
    bool multiScaleSsim = false;      // the target is multi-scale SSIM
    std::optional<double> minSaving;  // per cent
    bool dryRun = false;
    bool preserveTimes = false;
};

[[nodiscard]] EncodeSettings encodeSettings(const Options& options);

enum class FileStatus { Ok, Skipped, Failed };

struct FileResult {
    QString input;
    QString output;
    FileStatus status = FileStatus::Failed;
    std::int64_t bytesBefore = -1;  // -1: unknown
    std::int64_t bytesAfter = -1;   // -1: nothing was encoded
    int quality = 0;                // 0: nothing was encoded
    QString message;                // why it failed or was skipped
    // What the written file did not keep: metadata the library could not carry, the
    // replaced file's owner when it could not be given back.
    QStringList warnings;
    std::optional<double> ssim;  // --target-ssim: the SSIM of the chosen result
    bool multiScale = false;     // that SSIM is the multi-scale one
    int encodes = 0;             // --target-ssim: encodes the search made
    bool lossless = false;       // the result is a lossless repack
    bool dryRun = false;         // the result was made but not written
};

// The share of the input's size saved, in per cent to one decimal (negative when the
// output is larger); 0 for an empty input.
[[nodiscard]] double savedPercent(std::int64_t before, std::int64_t after);

// The same share unrounded: the double nearest its exact value, since the product of
// the byte counts and 100 is exact and the one division rounds correctly.
[[nodiscard]] double exactSavedPercent(std::int64_t before, std::int64_t after);

// Whether `before` -> `after` bytes saves less than `minimum` per cent (--min-saving).
[[nodiscard]] bool savesLessThan(std::int64_t before, std::int64_t after, double minimum);

// The outcome of one trial encode in the size search.
enum class Trial { Fits, TooLarge, Failed };

struct QualitySearch {
    int best = 0;         // the highest quality tried that fit; 0 when none did
    bool failed = false;  // a trial failed: the search stopped there
    int trials = 0;
};

// Bisection for the highest quality in [low, high] whose output fits, assuming the
// size grows with the quality: at most 7 trials over 1..100. When nothing fits, `low`
// itself has been tried.
[[nodiscard]] QualitySearch findHighestQuality(const std::function<Trial(int quality)>& trial,
                                               int low = 1, int high = 100);

// Works on one planned file. `stop` asks an interrupted run to give up between encodes.
[[nodiscard]] FileResult runFileJob(const FileTask& task, const EncodeSettings& settings,
                                    ImageLibrary& library, const std::atomic<bool>& stop);

}  // namespace vellora::cli
