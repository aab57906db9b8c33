#include "file_job.h"

#include <unistd.h>

#include <cerrno>

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>

#include "cli/lossless_repack.h"
#include "cli/native_files.h"
#include "cli/requantiser.h"
#include "cli/scratch_file.h"
#include "cli/scratch_sweep.h"
#include "cli/ssim.h"
#include "cli/ssim_search.h"
#include "cli/stdio_io.h"
#include "imaging/encoder/encoder_settings.h"
#include "imaging/image_library.h"
#include "imaging/imgdll_api.h"
#include "imaging/rgb_buffer.h"
#include "platform/global_block.h"

namespace vellora::cli {
namespace {

QString libraryError(ImageLibrary& library, const char* fallback) {
    const char* text = library.ImgDLLGetLastError();
    // The library's text may name a file, whose bytes need not be UTF-8.
    return fromNativePath(QByteArray(text && *text ? text : fallback));
}

// `value`, which is below `threshold`, for a message that says so: rounded to as few
// decimals from `decimals` on as show it below, so that "saves 52.8 %, less than 52.8 %"
// cannot happen, and where one decimal does, it reads as the JSON report's figure.
QString shownBelow(double value, double threshold, int decimals) {
    for (; decimals <= 12; ++decimals) {
        const double scale = std::pow(10.0, decimals);
        // + 0.0: a rounded -0.04 is "0.0", not "-0.0".
        if (const double shown = std::round(value * scale) / scale + 0.0; shown < threshold) {
            return QString::number(shown, 'f', decimals);
        }
    }
    return QString::number(value, 'f', QLocale::FloatingPointShortest);
}

// A threshold the user gave, as they gave it (the shortest decimal for the same number).
QString asGiven(double threshold) {
    return QString::number(threshold, 'f', QLocale::FloatingPointShortest);
}

class Job {
public:
    Job(const FileTask& task, const EncodeSettings& settings, ImageLibrary& library,
        const std::atomic<bool>& stop)
        : m_task(task), m_settings(settings), m_library(library), m_stop(stop) {
        m_result.input = task.input;
        m_result.output = task.output;
    }

    FileResult run() {
        const FileFacts input = fileFacts(m_task.input);
        m_inputBefore = input;
        if (input.isFile) {
            m_result.bytesBefore = input.size;
        }
        if (!m_task.failure.isEmpty()) {
            return fail(m_task.failure);
        }
        if (!m_task.skip.isEmpty()) {
            m_result.status = FileStatus::Skipped;
            m_result.message = m_task.skip;
            return m_result;
        }
        if (input.exists && m_task.inputInode != 0 &&
            (input.device != m_task.inputDevice || input.inode != m_task.inputInode)) {
            // Run as root over a tree others may change, a folder swapped for a link
            // would have files outside the tree recompressed in place.
            return fail(
                QStringLiteral("now names another file than the run found (replaced, "
                               "or a folder on its path was); left as it is"));
        }
        if (m_stop.load()) {
            return fail(QStringLiteral("interrupted"));
        }
        if (m_settings.preserveTimes) {
            // Read now: an in-place run replaces the input.
            m_inputTimes = fileTimes(m_task.input);
        }
        if (m_settings.lossless && m_task.type == PictureType::Jpeg) {
            return repackLossless();
        }
        try {
            return encode();
        } catch (const std::exception& error) {
            // The library module could not be loaded or lacks an entry.
            return fail(QString::fromLocal8Bit(error.what()));
        }
    }

private:
    FileResult fail(const QString& message) {
        m_result.status = FileStatus::Failed;
        m_result.message = message;
        return m_result;
    }

    FileResult encode() {
        const QByteArray path = nativePath(m_task.input);
        std::int32_t width = 0;
        std::int32_t height = 0;
        GlobalBlock picture(
            m_task.type == PictureType::Bitmap
                ? m_library.ImgDLLReadRGBFromBMP(path.constData(), &width, &height)
                : m_library.ImgDLLReadRGBFromJPG(path.constData(), &width, &height));
        if (!picture) {
            return fail(libraryError(m_library, "cannot read the picture"));
        }
        void* pixels = picture.lock();
        if (!pixels) {
            return fail(QStringLiteral("cannot lock the picture's memory"));
        }

        GlobalBlock cut;
        if (m_settings.crop) {
            const CropRect& crop = *m_settings.crop;
            // A rectangle over the whole picture is a plain re-encode, kept or skipped
            // as one.
            m_cutOut = crop.left > 0 || crop.top > 0 || crop.left + crop.width < width ||
                       crop.top + crop.height < height;
            cut = GlobalBlock(m_library.ImgDLLCropRGB(pixels, width, height, crop.left, crop.top,
                                                      crop.left + crop.width,
                                                      crop.top + crop.height));
            if (!cut) {
                return fail(libraryError(m_library, "cannot cut out the rectangle"));
            }
            picture.reset();  // one picture in memory per worker, not two
            pixels = cut.lock();
            if (!pixels) {
                return fail(QStringLiteral("cannot lock the picture's memory"));
            }
            // The save takes a cut-out's size as asked for; it knows the clipped one.
            width = crop.width;
            height = crop.height;
        }
        m_pixels = pixels;
        m_width = width;
        m_height = height;

        if (!prepareFolder()) {
            return m_result;
        }

        std::optional<ScratchFile> result;
        std::int64_t size = -1;
        if (m_settings.targetSize) {
            if (!searchTargetSize(result, size)) {
                return m_result;
            }
        } else if (m_settings.targetSsim) {
            if (!searchTargetSsim(pixels, result, size)) {
                return m_result;
            }
            if (!result) {
                return writeBytes(m_chosenBytes);
            }
        } else {
            m_result.quality = m_settings.quality;
            QString error;
            size = encodeAt(m_settings.quality, result, error);
            if (size < 0) {
                return fail(error);
            }
        }
        m_result.bytesAfter = size;
        return finish(*result);
    }

    // Where scratch files go: beside the output, so the last step is a rename; for a
    // dry run a private folder, so nothing beside the output changes even for a moment.
    bool prepareFolder() {
        m_stem = fileNameOf(m_task.output);
        if (m_settings.dryRun) {
            // What the write would meet, told now: a dry run that said "would write"
            // where the run fails would be no rehearsal.
            if (const QString problem = writeProblem(m_task.output, m_task.makeFolder);
                !problem.isEmpty()) {
                fail(problem);
                return false;
            }
            m_privateFolder.emplace(privateFolderTemplate());
            if (!m_privateFolder->isValid() || !keepToOwner(m_privateFolder->path())) {
                fail(QStringLiteral("cannot create a temporary folder: ") +
                     m_privateFolder->errorString());
                return false;
            }
            m_folder = m_privateFolder->path();
            return true;
        }
        m_folder = absoluteFolderOf(m_task.output);
        if (const QString problem = nameLengthProblem(m_task.output); !problem.isEmpty()) {
            fail(problem);
            return false;
        }
        if (QString error; m_task.makeFolder && !makeFolders(m_folder, error)) {
            fail(QStringLiteral("cannot create the folder '%1': %2").arg(m_folder, error));
            return false;
        }
        return true;
    }

    // The reason a finished result (m_result.bytesAfter bytes) is not kept; empty
    // when it is.
    QString skipReason() const {
        const std::int64_t before = m_result.bytesBefore;
        const std::int64_t after = m_result.bytesAfter;
        if (before < 0) {
            return {};
        }
        // A cut-out is not the input made smaller: its size says nothing about what a
        // re-encode saved, and skipping it would hand back the whole picture.
        if (!m_settings.keepLarger && !m_cutOut && after >= before) {
            return QStringLiteral(
                       "not smaller than the input (%1 -> %2 bytes); --keep-larger "
                       "writes it anyway")
                .arg(before)
                .arg(after);
        }
        if (m_settings.minSaving && savesLessThan(before, after, *m_settings.minSaving)) {
            return QStringLiteral("saves %1 %, less than --min-saving %2 % (%3 -> %4 bytes)")
                .arg(shownBelow(exactSavedPercent(before, after), *m_settings.minSaving, 1))
                .arg(asGiven(*m_settings.minSaving))
                .arg(before)
                .arg(after);
        }
        return {};
    }

    // Keeps or drops the finished result in `result`.
    FileResult finish(ScratchFile& result) {
        if (const QString reason = skipReason(); !reason.isEmpty()) {
            m_result.status = FileStatus::Skipped;
            m_result.message = reason;
            return m_result;  // the scratch file goes with its owner
        }
        if (m_settings.dryRun) {
            m_result.dryRun = true;
            m_result.status = FileStatus::Ok;
            if (!m_saveNote.isEmpty()) {  // what the run would lose
                m_result.warnings.append(m_saveNote.startsWith(QLatin1String("saved "))
                                             ? QStringLiteral("would be ") + m_saveNote
                                             : m_saveNote);
            }
            return m_result;
        }
        if (m_inputTimes) {
            // Before the rename: the output never shows a time it does not keep.
            QString error;
            if (!setFileTimes(result.path(), *m_inputTimes, error)) {
                return fail(error);
            }
        }
        QString error;
        if (!result.commit(m_task.output, m_task.replaceOutput, error,
                           m_task.replacesInput ? &m_inputBefore : nullptr)) {
            return fail(error);
        }
        m_result.status = FileStatus::Ok;
        noteWhatWasNotKept(result);
        return m_result;
    }

    // What the written file lost on the way, for the report: metadata the library left
    // out, the replaced file's owner when the process could not give it back.
    void noteWhatWasNotKept(const ScratchFile& written) {
        if (!m_saveNote.isEmpty()) {
            m_result.warnings.append(m_saveNote);
        }
        if (!written.ownershipNote().isEmpty()) {
            m_result.warnings.append(written.ownershipNote());
        }
    }

    // --lossless for a JPEG: the coefficients repacked in memory, then put in place
    // like any result.
    FileResult repackLossless() {
        QString error;
        const std::optional<QByteArray> input = readWholeFile(m_task.input, error);
        if (!input) {
            return fail(QStringLiteral("cannot read the file: ") + error);
        }
        const RepackResult repacked =
            repackJpeg(*input, {m_settings.stripMetadata, m_settings.stripIcc});
        if (repacked.status == RepackStatus::Refused) {
            m_result.status = FileStatus::Skipped;
            m_result.message = repacked.message;
            return m_result;
        }
        if (repacked.status != RepackStatus::Ok) {
            return fail(repacked.message);
        }
        m_result.lossless = true;
        if (!prepareFolder()) {
            return m_result;
        }
        return writeBytes(repacked.bytes);
    }

    // A result made in memory, put in place like an encode's file.
    FileResult writeBytes(const QByteArray& bytes) {
        m_result.bytesAfter = bytes.size();
        QString error;
        std::optional<ScratchFile> result =
            ScratchFile::create(m_folder, m_stem, error, m_task.output, m_task.input);
        if (!result) {
            return fail(error);
        }
        if (!writeFileDurably(result->path(), bytes, error)) {
            return fail(error);
        }
        return finish(*result);
    }

    // One encode into a new scratch file; its size, or -1 with `error` set.
    std::int64_t encodeAt(int quality, std::optional<ScratchFile>& into, QString& error) {
        into = ScratchFile::create(m_folder, m_stem, error, m_task.output, m_task.input);
        if (!into) {
            return -1;
        }
        const QByteArray path = nativePath(into->path());
        const std::int32_t status = m_library.ImgDLLSaveRGBToJPG(
            path.constData(), m_pixels, m_width, m_height, quality, m_settings.saveFlags);
        if (status != 1) {
            error = libraryError(m_library, "cannot write the JPEG file");
            into.reset();
            return -1;
        }
        // A save that succeeds may still leave a note: metadata it could not carry.
        m_saveNote = libraryError(m_library, "");
        const std::int64_t size = into->size();
        if (size < 0) {
            error = QStringLiteral("cannot read back the size of '%1'").arg(into->path());
            into.reset();
        }
        return size;
    }

    // Keeps the best fitting encode in `best`; false (with the result filled in) when
    // there is none.
    bool searchTargetSize(std::optional<ScratchFile>& best, std::int64_t& bestSize) {
        const std::int64_t limit = *m_settings.targetSize;
        std::int64_t smallest = std::numeric_limits<std::int64_t>::max();
        QString error;
        const auto trial = [&](int quality) {
            if (m_stop.load()) {
                error = QStringLiteral("interrupted");
                return Trial::Failed;
            }
            std::optional<ScratchFile> attempt;
            const std::int64_t size = encodeAt(quality, attempt, error);
            if (size < 0) {
                return Trial::Failed;
            }
            smallest = std::min(smallest, size);
            if (size > limit) {
                return Trial::TooLarge;  // `attempt` removes its file
            }
            best = std::move(attempt);  // the previous best (a lower quality) goes
            bestSize = size;
            return Trial::Fits;
        };
        // Size falls with quality within one colour layout, not across the step from
        // full-resolution colour to halved: on flat-colour graphics quality 100 (full
        // colour) can be smaller than 99. The full-colour qualities are searched first.
        int fullColourFrom = 100;
        while (fullColourFrom > 1 &&
               !imaging::encoder::settingsFor(fullColourFrom - 1).subsampleChroma) {
            --fullColourFrom;
        }
        QualitySearch search = findHighestQuality(trial, fullColourFrom, 100);
        if (search.best == 0 && !search.failed && fullColourFrom > 1) {
            search = findHighestQuality(trial, 1, fullColourFrom - 1);
        }
        if (search.failed) {
            best.reset();
            fail(error);
            return false;
        }
        if (search.best == 0) {
            m_result.bytesAfter = smallest;
            m_result.quality = 1;
            fail(QStringLiteral("cannot fit in %1 bytes: even quality 1 needs %2 bytes")
                     .arg(limit)
                     .arg(smallest));
            return false;
        }
        m_result.quality = search.best;
        return true;
    }

    // --target-ssim: the lowest quality whose result still reaches the target, in `best`
    // (an encode's file) or in m_chosenBytes (an encode carrying the input's own luma,
    // with `best` empty); false (with the result filled in) when none does.
    bool searchTargetSsim(const void* buffer, std::optional<ScratchFile>& best,
                          std::int64_t& bestSize) {
        imaging::RgbBufferHeader header;
        std::memcpy(&header, buffer, sizeof header);
        // Compared with each result a row at a time: no copy of the picture's luma.
        const RgbPicture reference{static_cast<const std::uint8_t*>(buffer) + header.headerBytes,
                                   header.width, header.height,
                                   static_cast<std::ptrdiff_t>(header.stride)};
        const double target = *m_settings.targetSsim;
        m_result.multiScale = m_settings.multiScaleSsim;
        double bestSsim = 0;
        int bestQuality = 0;
        int encodes = 0;         // a trial whose input turns out to keep no luma encodes twice
        double highestSsim = 0;  // the closest miss, for the report
        QString error;
        // A JPEG kept whole keeps its own luma coefficients, requantised: fewer bytes
        // for the same SSIM than re-encoding the decoded luma (see requantiser.h); a
        // 4:2:0 one keeps its colour coefficients the same way.
        // Read once: every trial requantises the same stored levels.
        std::optional<StoredPicture> stored;
        if (m_task.type == PictureType::Jpeg && !m_settings.crop) {
            const std::optional<QByteArray> input = readWholeFile(m_task.input, error);
            if (!input) {
                fail(QStringLiteral("cannot read the file: ") + error);
                return false;
            }
            // A kind that keeps no luma of its own (or that this reader refuses although
            // the picture reader took it) takes plain encodes.
            stored.emplace();
            if (readStoredPicture(*input, *stored).status != RepackStatus::Ok) {
                stored.reset();
            }
        }
        const SsimSearch search = findLowestQuality([&](int quality) {
            if (m_stop.load()) {
                error = QStringLiteral("interrupted");
                return SsimTrial::Failed;
            }
            // With the input's luma kept, the rest is encoded at the quality that luma
            // amounts to.
            int encodeQuality = quality;
            std::optional<imaging::encoder::QuantTable> lumaTable;
            if (stored) {
                lumaTable = requantisedLumaTable(*stored, quality);
                encodeQuality = equivalentQuality(*lumaTable);
            }
            std::optional<ScratchFile> attempt;
            std::int64_t size = -1;
            // One encode at `at` into `attempt`, read back; nullopt with `error` set.
            const auto encodeOnce = [&](int at) -> std::optional<QByteArray> {
                ++encodes;
                size = encodeAt(at, attempt, error);
                if (size < 0) {
                    return std::nullopt;
                }
                QString readError;
                std::optional<QByteArray> bytes = readWholeFile(attempt->path(), readError);
                if (!bytes) {
                    error =
                        QStringLiteral("cannot read back '%1': %2").arg(attempt->path(), readError);
                }
                return bytes;
            };
            std::optional<QByteArray> encoded = encodeOnce(encodeQuality);
            if (encoded && stored) {
                RepackResult moved = withStoredPicture(*stored, *encoded, *lumaTable, quality);
                if (moved.status == RepackStatus::Ok) {
                    encoded = std::move(moved.bytes);
                    attempt.reset();
                } else {
                    // Our encode does not line up with the input (a grey input comes
                    // out in colour): plain encodes from here on, this one too.
                    stored.reset();
                    encodeQuality = quality;
                    encoded = encodeOnce(encodeQuality);
                }
            }
            if (!encoded) {
                return SsimTrial::Failed;
            }
            const std::optional<double> ssim =
                jpegSsim(reference, *encoded, m_settings.multiScaleSsim, error);
            if (!ssim) {
                return SsimTrial::Failed;
            }
            highestSsim = std::max(highestSsim, *ssim);
            if (*ssim < target) {
                return SsimTrial::Misses;  // `attempt` removes its file
            }
            if (attempt) {
                best = std::move(attempt);  // the previous best (a higher quality) goes
                bestSize = size;
                m_chosenBytes.clear();
            } else {
                best.reset();
                bestSize = encoded->size();
                m_chosenBytes = std::move(*encoded);
            }
            bestSsim = *ssim;
            bestQuality = encodeQuality;
            return SsimTrial::Reaches;
        });
        m_result.encodes = encodes;
        if (search.failed) {
            best.reset();
            fail(error);
            return false;
        }
        if (search.best == 0) {
            const QString reason = QStringLiteral("%1 %2 not reached: quality 100 gives %3")
                                       .arg(m_settings.multiScaleSsim ? QStringLiteral("MS-SSIM")
                                                                      : QStringLiteral("SSIM"))
                                       .arg(asGiven(target))
                                       .arg(shownBelow(highestSsim, target, 5));
            if (m_cutOut) {
                // A skip passes the input on whole, which is not the cut-out asked for.
                fail(reason + QStringLiteral(" on the cut-out"));
                return false;
            }
            m_result.status = FileStatus::Skipped;
            m_result.message = reason;
            return false;
        }
        m_result.quality = bestQuality;
        m_result.ssim = bestSsim;
        return true;
    }

    const FileTask& m_task;
    const EncodeSettings& m_settings;
    ImageLibrary& m_library;
    const std::atomic<bool>& m_stop;
    bool m_cutOut = false;  // a --crop rectangle leaving part of the picture out
    FileResult m_result;
    void* m_pixels = nullptr;
    std::int32_t m_width = 0;
    std::int32_t m_height = 0;
    QString m_folder;
    QString m_stem;
    QByteArray m_chosenBytes;                      // a result made in memory (a requantised JPEG)
    QString m_saveNote;                            // the library's note on the last successful save
    std::optional<QTemporaryDir> m_privateFolder;  // a dry run's scratch folder
    std::optional<FileTimes> m_inputTimes;         // -p
    FileFacts m_inputBefore;                       // the input as it was before reading
};

}  // namespace

EncodeSettings encodeSettings(const Options& options) {
    EncodeSettings settings;
    settings.quality = options.quality;
    settings.targetSize = options.targetSize;
    settings.crop = options.crop;
    settings.keepLarger = options.keepLarger;
    settings.lossless = options.lossless;
    settings.stripMetadata = options.strip;
    settings.stripIcc = options.stripIcc;
    settings.targetSsim = options.targetSsim;
    settings.multiScaleSsim = options.multiScaleSsim;
    settings.minSaving = options.minSaving;
    settings.dryRun = options.dryRun;
    settings.preserveTimes = options.preserveTimes;
    settings.saveFlags = IMGDLL_SAVE_BEST | (options.strip ? IMGDLL_SAVE_STRIP_EXIF : 0) |
                         (options.stripIcc ? IMGDLL_SAVE_STRIP_ICC : 0);
    return settings;
}

double exactSavedPercent(std::int64_t before, std::int64_t after) {
    if (before <= 0) {
        return 0.0;
    }
    return static_cast<double>(before - after) * 100.0 / static_cast<double>(before);
}

double savedPercent(std::int64_t before, std::int64_t after) {
    return std::round(exactSavedPercent(before, after) * 10.0) / 10.0;
}

// Both sides as the double nearest their exact value (see exactSavedPercent), as the
// parsed minimum is: a saving equal to the minimum compares equal (multiplying the
// minimum out instead made 65.4 % "less than 65.4"), and every digit the minimum has
// counts.
bool savesLessThan(std::int64_t before, std::int64_t after, double minimum) {
    return exactSavedPercent(before, after) < minimum;
}

QualitySearch findHighestQuality(const std::function<Trial(int)>& trial, int low, int high) {
    QualitySearch search;
    while (low <= high) {
        const int middle = low + (high - low) / 2;
        ++search.trials;
        switch (trial(middle)) {
            case Trial::Fits:
                search.best = middle;
                low = middle + 1;
                break;
            case Trial::TooLarge:
                high = middle - 1;
                break;
            case Trial::Failed:
                search.failed = true;
                return search;
        }
    }
    return search;
}

FileResult runFileJob(const FileTask& task, const EncodeSettings& settings, ImageLibrary& library,
                      const std::atomic<bool>& stop) {
    return Job(task, settings, library, stop).run();
}

}  // namespace vellora::cli
