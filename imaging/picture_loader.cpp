#include "picture_loader.h"

#include <sys/stat.h>

#include <QColorSpace>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "imaging/bmp_decode.h"
#include "imaging/display_decoder.h"
#include "imaging/jpeg_markers.h"
#include "imaging/orientation.h"
#include "imaging/picture_checks.h"
#include "imaging/rgb_buffer.h"

namespace vellora {
namespace {

// Formats turned as they are: the display decoder's 32-bit colour and grey, and packed
// RGB. Others are turned as packed RGB.
bool turnsAsItIs(QImage::Format format) {
    return format == QImage::Format_RGB32 || format == QImage::Format_ARGB32 ||
           format == QImage::Format_RGB888 || format == QImage::Format_Grayscale8;
}

// The stored picture turned as its EXIF orientation says, by the image library's code;
// in its own pixel format where it can be, so that no converted copy sits beside the
// stored and the turned picture.
QImage upright(const QImage& stored, int orientation) {
    if (orientation < 2 || orientation > 8 || stored.isNull()) {
        return stored;
    }
    const QImage source =
        turnsAsItIs(stored.format()) ? stored : stored.convertToFormat(QImage::Format_RGB888);
    const bool turned = imaging::swapsAxes(orientation);
    QImage result(turned ? source.height() : source.width(),
                  turned ? source.width() : source.height(), source.format());
    if (result.isNull()) {
        return stored;
    }
    imaging::copyUpright(source.constBits(), source.width(), source.height(), source.bytesPerLine(),
                         orientation, result.bits(), result.bytesPerLine(), source.depth() / 8);
    result.setColorSpace(stored.colorSpace());
    result.setDevicePixelRatio(stored.devicePixelRatio());
    result.setDotsPerMeterX(turned ? stored.dotsPerMeterY() : stored.dotsPerMeterX());
    result.setDotsPerMeterY(turned ? stored.dotsPerMeterX() : stored.dotsPerMeterY());
    for (const QString& key : stored.textKeys()) {
        result.setText(key, stored.text(key));
    }
    return result;
}

// Qt's reader marks a file named "name@2x.jpg" (2 to 9) as a high-density picture;
// pictures decoded here keep that meaning.
bool namedForHighDensity(const QFileInfo& info) {
    const QString base = info.baseName();
    return base.size() >= 3 && base.at(base.size() - 3) == QLatin1Char('@') &&
           base.at(base.size() - 2) >= QLatin1Char('2') &&
           base.at(base.size() - 2) <= QLatin1Char('9') && base.back() == QLatin1Char('x');
}

// One of the image library's reasons as the windows show it.
QString capitalised(const std::string& reason) {
    QString text = QString::fromStdString(reason);
    text[0] = text[0].toUpper();
    return text;
}

// A JPEG read whole, with the walk over its markers.
struct JpegFile {
    QByteArray bytes;
    imaging::JpegStructure structure;
};

// A JPEG's bytes and the image library's refusals of its structure, before any decoder
// reads its header: so that the windows spend minutes neither on a scan bomb (a small
// file of thousands of scans, each of which makes a decoder walk the whole picture) nor
// on a marker flood (which Qt's reader takes that long over, asked only for the size),
// and never show a picture whose scans leave a colour out (grey where the file has no
// colour). Empty bytes when the file cannot be opened (Qt's reader says why) or is
// refused (`error`).
JpegFile readJpeg(const QString& path, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    // Read whole beside the picture it holds; a file of gigabytes (a picture with a
    // long tail) would fail for want of memory.
    if (file.size() > std::int64_t{kPictureAllocationLimitMB} * 1024 * 1024) {
        error = QStringLiteral("The file is too large to show (%1 bytes).").arg(file.size());
        return {};
    }
    JpegFile jpeg{file.readAll(), {}};
    jpeg.structure =
        imaging::walkJpegStructure({reinterpret_cast<const std::uint8_t*>(jpeg.bytes.constData()),
                                    static_cast<std::size_t>(jpeg.bytes.size())},
                                   imaging::kMaxJpegScans);
    const std::string refusal = imaging::checkJpegStructure(jpeg.structure, imaging::kMaxJpegScans);
    if (!refusal.empty()) {
        error = capitalised(refusal);
        return {};
    }
    return jpeg;
}

// A JPEG through libjpeg-turbo directly (display_decoder.h), a name for high density
// marked as Qt's reader marks it. The image stays null when it is left to Qt's reader;
// but damaged data is refused with its reason, as the image library refuses it: Qt's
// reader would show the picture with grey where the data is missing, which could then
// never be compressed. (Only a file the decoder did not give is decoded again for that:
// a damaged one, or a kind left to Qt, which is rare.)
void decodeJpeg(const JpegFile& jpeg, const QFileInfo& info, LoadedPicture& result) {
    // The decoder uses the same walk to decide how to share the work.
    result.image = imaging::decodeJpegForDisplay(jpeg.bytes, 0, &jpeg.structure);
    if (result.image.isNull()) {
        if (const std::string damage = imaging::jpegDamage(jpeg.bytes); !damage.empty()) {
            result.error = capitalised(damage);
        }
    } else if (namedForHighDensity(info) &&
               qEnvironmentVariableIsEmpty("QT_HIGHDPI_DISABLE_2X_IMAGE_LOADING")) {
        const QString base = info.baseName();
        result.image.setDevicePixelRatio(base.at(base.size() - 2).digitValue());
    }
}

// Why a picture of these sides is not shown, or "".
QString tooLargeToShow(std::int64_t width, std::int64_t height) {
    if (width * height * 4 > static_cast<std::int64_t>(kPictureAllocationLimitMB) * 1024 * 1024) {
        return QStringLiteral("The picture is too large to show (%1 x %2 pixels).")
            .arg(width)
            .arg(height);
    }
    // Shown, it could never be compressed, and the pass could only say "Error 1".
    if (width * height > imaging::kMaxPixels) {
        return QStringLiteral("The picture is too large to compress (%1 x %2 pixels; at most %3).")
            .arg(width)
            .arg(height)
            .arg(imaging::kMaxPixels);
    }
    return {};
}

// A bitmap: the image library's checks and decoding (bmp_decode.h), so that the window
// never shows what Qt's reader leaves in memory for rows a short file lacks, and
// refuses what the compression would refuse.
void loadBmp(const QString& path, LoadedPicture& result) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = file.errorString();
        return;
    }
    imaging::BmpLayout layout;
    std::string error = imaging::readBmpLayout(file.handle(), file.size(), layout);
    if (error.empty()) {
        result.error = tooLargeToShow(layout.width, std::llabs(layout.height));
        if (!result.error.isEmpty()) {
            return;
        }
        error = imaging::checkBmpData(file.handle(), file.size(), layout);
    }
    if (error.empty()) {
        error = imaging::decodeCheckedBmp(file.handle(), layout, result.image);
    }
    if (!error.empty()) {
        result.image = QImage();
        result.error = capitalised(error);
    }
}

LoadedPicture loadUnguarded(const QString& path) {
    LoadedPicture result;
    const QFileInfo info(path);
    struct stat facts {};
    if (::stat(QFile::encodeName(path).constData(), &facts) != 0 && errno != ENOENT) {
        // A folder on the way that may not be searched, a name too long: not missing.
        result.error = QStringLiteral("The file cannot be reached: %1.")
                           .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return result;
    }
    if (!info.exists()) {
        result.error = QStringLiteral("The file does not exist.");
        // Qt reads a file name given as bytes that are not UTF-8 with U+FFFD in their
        // place, which names no file: the picture is there, but cannot be reached.
        if (path.contains(QChar::ReplacementCharacter)) {
            result.error = QStringLiteral(
                "The file does not exist by this name. A name that is not UTF-8 text (shown "
                "with \uFFFD) cannot be opened here: rename the file, or use vellora-cli, which "
                "takes any name.");
        }
        return result;
    }
    if (!info.isFile()) {
        result.error = QStringLiteral("This is not a regular file.");
        return result;
    }
    // Qt's reader takes a file it cannot open for one that is not there.
    if (QFile file(path); !file.open(QIODevice::ReadOnly)) {
        result.error = QStringLiteral("The file cannot be read: %1.").arg(file.errorString());
        return result;
    }
    // Qt refuses pictures over 128 MB by default; photos from today's cameras are bigger.
    QImageReader::setAllocationLimit(kPictureAllocationLimitMB);
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    // Qt's own orientation reading differs from the image library's on some files (an
    // XMP block before the EXIF one, an orientation only in the thumbnail's directory);
    // the library's code turns the picture here too, so both windows agree.
    reader.setAutoTransform(false);
    const QByteArray format = reader.format();  // asked before reading: empty after it
    JpegFile jpeg;
    if (format == "jpeg") {
        jpeg = readJpeg(path, result.error);
        if (!result.error.isEmpty()) {
            return result;
        }
    }
    const QSize size = reader.size();
    if (size.isValid()) {
        result.error = tooLargeToShow(size.width(), size.height());
        if (!result.error.isEmpty()) {
            return result;
        }
    }
    if (format == "jpeg" && !jpeg.bytes.isEmpty()) {
        if (size.isValid()) {
            decodeJpeg(jpeg, info, result);
        } else if (const std::string refusal = imaging::jpegRefusal(jpeg.bytes); !refusal.empty()) {
            // Qt's reader cannot read its header either, and would say only "Unable to
            // read image data".
            result.error = capitalised(refusal);
        }
        if (!result.error.isEmpty()) {
            return result;
        }
    }
    if (format == "bmp") {
        loadBmp(path, result);
        if (!result.error.isEmpty()) {
            return result;
        }
    }
    if (result.image.isNull() && !reader.read(&result.image)) {
        result.error = reader.errorString();
        if (result.error.isEmpty()) {
            result.error = QStringLiteral("The file is not a picture that can be shown.");
        }
        result.image = QImage();
        return result;
    }
    if (format == "jpeg") {
        result.image = upright(result.image,
                               imaging::jpegFileOrientation(QFile::encodeName(path).constData()));
    }
    return result;
}

}  // namespace

LoadedPicture loadPicture(const QString& path) {
    try {
        return loadUnguarded(path);
    } catch (const std::bad_alloc&) {
        // Qt's containers throw where the image library's checks let a picture through
        // that this machine cannot hold; the windows would otherwise show nothing at all.
        LoadedPicture result;
        result.error = QStringLiteral("There is not enough memory to show the picture.");
        return result;
    }
}

}  // namespace vellora
