#pragma once
// The windows' picture loader: reads JPEG, BMP and whatever else Qt can read, decides
// the format by content (the working file has no extension), turns the picture
// upright by its EXIF orientation, and refuses pictures too big to show.

#include <QImage>
#include <QString>

namespace vellora {

struct LoadedPicture {
    QImage image;
    QString error;  // empty on success: why the file cannot be shown
    [[nodiscard]] bool ok() const { return error.isEmpty(); }
};

// The largest picture the windows will allocate, in megabytes.
inline constexpr int kPictureAllocationLimitMB = 1024;

[[nodiscard]] LoadedPicture loadPicture(const QString& path);

}  // namespace vellora
