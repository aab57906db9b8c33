#include "file_job.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>

#include "cli/native_files.h"
#include "cli/scratch_file.h"
#include "imaging/image_library.h"
#include "imaging/imgdll_api.h"
#include "platform/global_block.h"

namespace vellora::cli {
namespace {

QString libraryError(ImageLibrary& library, const char* fallback) {
    const char* text = library.ImgDLLGetLastError();
    // The library's text may name a file, whose bytes need not be UTF-8.
    return fromNativePath(QByteArray(text && *text ? text : fallback));
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
        if (input.isFile) {
            m_result.bytesBefore = input.size;
        }
        if (!m_task.failure.isEmpty()) {
            return fail(m_task.failure);
        }
        if (m_stop.load()) {
            return fail(QStringLiteral("interrupted"));
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

        m_folder = absoluteFolderOf(m_task.output);
        m_stem = m_task.output.mid(m_task.output.lastIndexOf(QLatin1Char('/')) + 1);
        if (m_task.makeFolder && !makeFolders(m_folder)) {
            return fail(QStringLiteral("cannot create the folder '%1'").arg(m_folder));
        }

        std::optional<ScratchFile> result;
        std::int64_t size = -1;
        if (m_settings.targetSize) {
            if (!searchTargetSize(result, size)) {
                return m_result;
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

        if (!m_settings.keepLarger && m_result.bytesBefore >= 0 && size >= m_result.bytesBefore) {
            m_result.status = FileStatus::Skipped;
            m_result.message = QStringLiteral(
                                   "not smaller than the input (%1 -> %2 bytes); --keep-larger "
                                   "writes it anyway")
                                   .arg(m_result.bytesBefore)
                                   .arg(size);
            return m_result;  // the scratch file goes with `result`
        }
        QString error;
        if (!result->commit(m_task.output, m_task.replaceOutput, error)) {
            return fail(error);
        }
        m_result.status = FileStatus::Ok;
        noteWhatWasNotKept(*result);
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

    // One encode into a new scratch file; its size, or -1 with `error` set.
    std::int64_t encodeAt(int quality, std::optional<ScratchFile>& into, QString& error) {
        into = ScratchFile::create(m_folder, m_stem, error);
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
        const QualitySearch search = findHighestQuality([&](int quality) {
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
        });
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

    const FileTask& m_task;
    const EncodeSettings& m_settings;
    ImageLibrary& m_library;
    const std::atomic<bool>& m_stop;
    FileResult m_result;
    void* m_pixels = nullptr;
    std::int32_t m_width = 0;
    std::int32_t m_height = 0;
    QString m_folder;
    QString m_stem;
    QString m_saveNote;  // the library's note on the last successful save
};

}  // namespace

EncodeSettings encodeSettings(const Options& options) {
    EncodeSettings settings;
    settings.quality = options.quality;
    settings.targetSize = options.targetSize;
    settings.crop = options.crop;
    settings.keepLarger = options.keepLarger;
    settings.saveFlags = IMGDLL_SAVE_BEST | (options.strip ? IMGDLL_SAVE_STRIP_EXIF : 0) |
                         (options.stripIcc ? IMGDLL_SAVE_STRIP_ICC : 0);
    return settings;
}

double savedPercent(std::int64_t before, std::int64_t after) {
    if (before <= 0) {
        return 0.0;
    }
    const double share = static_cast<double>(before - after) * 100.0 / static_cast<double>(before);
    return std::round(share * 10.0) / 10.0;
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
