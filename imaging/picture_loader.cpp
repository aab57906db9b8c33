#include "picture_loader.h"

#include <QFileInfo>
#include <QImageReader>

namespace vellora {

LoadedPicture loadPicture(const QString& path) {
    LoadedPicture result;
    const QFileInfo info(path);
    if (!info.exists()) {
        result.error = QStringLiteral("The file does not exist.");
        return result;
    }
    if (!info.isFile()) {
        result.error = QStringLiteral("This is not a regular file.");
        return result;
    }
    // Qt refuses pictures over 128 MB by default; photos from today's cameras are bigger.
    QImageReader::setAllocationLimit(kPictureAllocationLimitMB);
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isValid() && static_cast<qint64>(size.width()) * size.height() * 4 >
                              static_cast<qint64>(kPictureAllocationLimitMB) * 1024 * 1024) {
        result.error = QStringLiteral("The picture is too large to show (%1 x %2 pixels).")
                           .arg(size.width())
                           .arg(size.height());
        return result;
    }
    if (!reader.read(&result.image)) {
        result.error = reader.errorString();
        if (result.error.isEmpty()) {
            result.error = QStringLiteral("The file is not a picture that can be shown.");
        }
        result.image = QImage();
    }
    return result;
}

}  // namespace vellora
