#include "pass_support.h"

#include <QFile>
#include <QLocale>
#include <cstdint>

namespace vellora {

PictureType pictureType(const QString& path) {
    if (path.isEmpty()) {
        return PictureType::NoFile;
    }
    const QString lower = path.toLower();
    if (lower.endsWith(QLatin1String(".jpeg")) || lower.endsWith(QLatin1String(".jpe"))) {
        return PictureType::Jpeg;
    }
    const QString extension = lower.right(3);
    if (extension == QLatin1String("jpg")) {
        return PictureType::Jpeg;
    }
    if (extension == QLatin1String("bmp")) {
        return PictureType::Bitmap;
    }
    return PictureType::Invalid;
}

PictureType passPictureType(const QString& path) {
    const PictureType named = pictureType(path);
    if (named != PictureType::Jpeg && named != PictureType::Bitmap) {
        return named;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return named;  // the reader says why
    }
    const QByteArray head = file.read(3);
    if (head == QByteArray("\xFF\xD8\xFF", 3)) {
        return PictureType::Jpeg;
    }
    if (head.startsWith("BM")) {
        return PictureType::Bitmap;
    }
    return named;
}

std::int16_t narrowStatus(std::int32_t status) {
    if (status < INT16_MIN || status > INT16_MAX) {
        throw RuntimeError(ErrorNumber::Overflow, "Overflow");
    }
    return static_cast<std::int16_t>(status);
}

QString formatByteCount(std::int64_t bytes) {
    if (bytes == 0) {
        return {};
    }
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(static_cast<qlonglong>(bytes));
}

std::int64_t shareSaved(std::int64_t original, std::int64_t compressed) {
    if (original <= 0) {
        return 0;
    }
    // Exact integer arithmetic: a saving of exactly 71 % must not come out as 70 through
    // a rounding error of the division.
    // (File sizes stay far below the 92 PB where the product would overflow.)
    const std::int64_t saved = (original - compressed) * 100;
    const std::int64_t share = saved / original;
    return saved % original != 0 && saved < 0 ? share - 1 : share;
}

}  // namespace vellora
