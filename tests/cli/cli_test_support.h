#pragma once
// Pictures, runs of the real vellora-cli, and looks into JPEG files for the CLI tests.

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>
#include <ostream>

// Readable QStrings in test failure messages.
inline void PrintTo(const QString& text, std::ostream* stream) {
    *stream << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* stream) {
    *stream << '{' << list.join(QStringLiteral(", ")).toStdString() << '}';
}

class QProcess;

namespace vellora::test {

// A photo-like picture of the given size: a Kodak photo scaled down (`which` 1..24).
[[nodiscard]] QImage photo(int width, int height, int which = 1);

// Writes `image` as a JPEG of the given quality / as a 24-bit BMP; false on failure.
bool writeJpeg(const QString& path, const QImage& image, int quality = 95);
bool writeBmp(const QString& path, const QImage& image);

// The JPEG bytes of `image` with an APP1 EXIF block (made by libexif: orientation 1,
// a camera make) placed right after the start marker.
[[nodiscard]] QByteArray jpegWithExif(const QImage& image, int quality = 95);

bool writeBytes(const QString& path, const QByteArray& bytes);
[[nodiscard]] QByteArray readBytes(const QString& path);

// What the markers before the first scan of a JPEG file hold, as libjpeg reads them.
struct JpegMarkers {
    bool valid = false;  // the header could be read
    int exifBlocks = 0;  // APP1 starting "Exif\0\0"
    int iccBlocks = 0;   // APP2 starting "ICC_PROFILE\0"
    int comments = 0;    // COM
    int width = 0;
    int height = 0;
};
[[nodiscard]] JpegMarkers readJpegMarkers(const QString& path);

struct CliRun {
    int exitCode = -1;  // -1: did not finish
    QByteArray out;
    QByteArray err;
    [[nodiscard]] QStringList errLines() const;
    [[nodiscard]] QStringList outLines() const;
};

// Whether `process` still runs. QProcess learns of an exit only in its event loop or a
// wait, so state() alone says "Running" long after the program ended.
[[nodiscard]] bool stillRunning(QProcess& process);

// Runs <build>/bin/vellora-cli with `arguments` in `workingDirectory`, `input` on its
// standard input (then closed).
[[nodiscard]] CliRun runCli(const QStringList& arguments, const QString& workingDirectory,
                            const QString& program = {}, const QByteArray& input = {});

// Waits for a started process (two minutes at most, then kills it) and collects its
// exit code and output; exitCode -1 when it did not finish normally.
[[nodiscard]] CliRun waitForRun(QProcess& process);

// Every file and folder below `folder`, hidden ones included, relative and sorted.
[[nodiscard]] QStringList treeOf(const QString& folder);

}  // namespace vellora::test
