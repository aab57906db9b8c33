#include "cli_test_support.h"

#include <libexif/exif-data.h>

#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImageWriter>
#include <QProcess>
#include <algorithm>
#include <cstring>
#include <memory>

#include "imaging/libjpeg_bridge.h"
#include "support/test_support.h"

namespace vellora::test {

QImage photo(int width, int height, int which) {
    const QString name = QStringLiteral("kodak/kodim%1.png").arg(which, 2, 10, QLatin1Char('0'));
    const QImage source(testData(name));
    if (source.isNull()) {
        return {};
    }
    return source.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
        .convertToFormat(QImage::Format_RGB888);
}

bool writeJpeg(const QString& path, const QImage& image, int quality) {
    QImageWriter writer(path, "jpeg");
    writer.setQuality(quality);
    return writer.write(image);
}

bool writeBmp(const QString& path, const QImage& image) {
    return image.save(path, "BMP");
}

QByteArray jpegWithExif(const QImage& image, int quality) {
    QByteArray jpeg;
    {
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "jpeg");
        writer.setQuality(quality);
        if (!writer.write(image)) {
            return {};
        }
    }
    std::unique_ptr<ExifData, decltype(&exif_data_unref)> exif(exif_data_new(), exif_data_unref);
    exif_data_set_byte_order(exif.get(), EXIF_BYTE_ORDER_INTEL);
    ExifEntry* orientation = exif_entry_new();
    exif_content_add_entry(exif->ifd[EXIF_IFD_0], orientation);
    exif_entry_initialize(orientation, EXIF_TAG_ORIENTATION);
    exif_set_short(orientation->data, EXIF_BYTE_ORDER_INTEL, 1);
    exif_entry_unref(orientation);
    ExifEntry* make = exif_entry_new();
    exif_content_add_entry(exif->ifd[EXIF_IFD_0], make);
    static const char kMake[] = "VelloraTestCam";
    make->tag = EXIF_TAG_MAKE;
    make->format = EXIF_FORMAT_ASCII;
    make->components = sizeof kMake;
    make->size = sizeof kMake;
    make->data = static_cast<unsigned char*>(std::malloc(sizeof kMake));
    std::memcpy(make->data, kMake, sizeof kMake);
    exif_entry_unref(make);

    unsigned char* data = nullptr;
    unsigned int size = 0;
    exif_data_save_data(exif.get(), &data, &size);  // starts with "Exif\0\0"
    if (!data || size == 0 || size > 65533) {
        std::free(data);
        return {};
    }
    QByteArray segment;
    segment.append(char(0xFF)).append(char(0xE1));
    segment.append(char((size + 2) >> 8)).append(char((size + 2) & 0xFF));
    segment.append(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    std::free(data);
    jpeg.insert(2, segment);  // after the start-of-image marker
    return jpeg;
}

bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

JpegMarkers readJpegMarkers(const QString& path) {
    JpegMarkers markers;
    const QByteArray bytes = readBytes(path);
    if (bytes.isEmpty()) {
        return markers;
    }
    jpeg::Decompressor decompressor;
    if (!decompressor.valid()) {
        return markers;
    }
    jpeg_decompress_struct* info = decompressor.info();
    const bool read = jpeg::runGuarded(decompressor.bridge(), [&] {
        jpeg_mem_src(info, reinterpret_cast<const unsigned char*>(bytes.constData()),
                     static_cast<unsigned long>(bytes.size()));
        jpeg_save_markers(info, JPEG_APP0 + 1, 0xFFFF);
        jpeg_save_markers(info, JPEG_APP0 + 2, 0xFFFF);
        jpeg_save_markers(info, JPEG_COM, 0xFFFF);
        jpeg_read_header(info, TRUE);
    });
    if (!read) {
        return markers;
    }
    markers.valid = true;
    markers.width = static_cast<int>(info->image_width);
    markers.height = static_cast<int>(info->image_height);
    for (jpeg_saved_marker_ptr marker = info->marker_list; marker; marker = marker->next) {
        const auto* data = reinterpret_cast<const char*>(marker->data);
        if (marker->marker == JPEG_APP0 + 1 && marker->data_length >= 6 &&
            std::memcmp(data, "Exif\0\0", 6) == 0) {
            ++markers.exifBlocks;
        } else if (marker->marker == JPEG_APP0 + 2 && marker->data_length >= 12 &&
                   std::memcmp(data, "ICC_PROFILE\0", 12) == 0) {
            ++markers.iccBlocks;
        } else if (marker->marker == JPEG_COM) {
            ++markers.comments;
        }
    }
    return markers;
}

QStringList CliRun::errLines() const {
    return QString::fromLocal8Bit(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList CliRun::outLines() const {
    return QString::fromLocal8Bit(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool stillRunning(QProcess& process) {
    return process.state() != QProcess::NotRunning && !process.waitForFinished(0);
}

CliRun runCli(const QStringList& arguments, const QString& workingDirectory, const QString& program,
              const QByteArray& input) {
    QProcess process;
    process.setProgram(program.isEmpty() ? QStringLiteral(VELLORA_BIN_DIR "/vellora-cli")
                                         : program);
    process.setArguments(arguments);
    process.setWorkingDirectory(workingDirectory);
    process.start();
    process.write(input);
    process.closeWriteChannel();
    return waitForRun(process);
}

CliRun waitForRun(QProcess& process) {
    CliRun run;
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

QStringList treeOf(const QString& folder) {
    QStringList entries;
    const QDir base(folder);
    QDirIterator iterator(folder,
                          QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                          QDirIterator::Subdirectories);
    while (iterator.hasNext()) {
        entries << base.relativeFilePath(iterator.next());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

}  // namespace vellora::test
