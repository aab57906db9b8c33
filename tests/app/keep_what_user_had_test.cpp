// The program keeps what the user had: both picture windows turn a photo the same way
// (the image library's orientation reading), and Save As over an existing file gives
// the new file the old one's owner, group and mode, and flushes the folder after the
// rename.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QImageReader>
#include <QMessageBox>
#include <string>
#include <vector>

#include "gui_fixture.h"
#include "image_windows/image_window.h"
#include "image_windows/picture_box.h"
#include "platform/file_ownership.h"
#include "support/jpeg_fixtures.h"

namespace vellora::test {
namespace {

QByteArray fileContents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void replaceContents(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// The mean colour of a corner square: where a picture's dark and light corners are.
int cornerGrey(const QImage& image, bool right, bool bottom) {
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    const int size = 6;
    const int left = right ? rgb.width() - size : 0;
    const int top = bottom ? rgb.height() - size : 0;
    int total = 0;
    for (int y = top; y < top + size; ++y) {
        for (int x = left; x < left + size; ++x) {
            total += qGray(rgb.pixel(x, y));
        }
    }
    return total / (size * size);
}

struct OrientationCase {
    const char* name;
    std::vector<Marker> markers;
    bool turned;       // the library turns it (orientation 6 in the main directory)
    bool qtWouldTurn;  // Qt's own reader would have (the fault this guards against)
};

TEST_F(GuiTest, BothWindowsTurnAPictureAsTheLibraryDoes) {
    const OrientationCase cases[] = {
        {"XMP before EXIF", {{kApp1, xmpPacket("first")}, {kApp1, exifBlock(6)}}, true, false},
        {"orientation only in the thumbnail directory", {{kApp1, exifBlock(0, 6)}}, false, true},
        {"plain EXIF", {{kApp1, exifBlock(6)}}, true, true},
    };
    for (const OrientationCase& item : cases) {
        const QString path = makePicture(QStringLiteral("turned.jpg"), 64, 48, "JPEG", 95);
        replaceContents(path, withMarkers(fileContents(path), item.markers));
        const QSize expected = item.turned ? QSize(48, 64) : QSize(64, 48);

        QImageReader qt(path);
        qt.setAutoTransform(true);
        ASSERT_EQ(qt.read().size() == QSize(48, 64), item.qtWouldTurn)
            << item.name << ": the file no longer shows the case it was made for";

        open(path);
        ASSERT_TRUE(m_window->fmComLoaded()) << item.name;
        const QImage original = m_window->fm_jpg().pic_photo()->picture();
        const QImage compressed = m_window->fm_com().pic_photo()->picture();
        EXPECT_EQ(original.size(), expected) << item.name;
        EXPECT_EQ(compressed.size(), expected) << item.name;
        // Not only the size: the same corners are dark and light in both.
        for (const bool right : {false, true}) {
            for (const bool bottom : {false, true}) {
                EXPECT_NEAR(cornerGrey(original, right, bottom),
                            cornerGrey(compressed, right, bottom), 24)
                    << item.name << " corner " << right << bottom;
            }
        }
    }
    EXPECT_TRUE(m_ui.messages.empty());
}

TEST_F(GuiTest, ThePassesKeepCommentsXmpAndIptc) {
    const std::vector<Marker> extra{{kComment, "Copyright 2026 A. Photographer"},
                                    {kApp1, xmpPacket("Harbour")},
                                    {kApp13, iptcBlock("Caption")}};
    const QString path = makePicture(QStringLiteral("photo.jpg"), 64, 48, "JPEG", 95);
    replaceContents(path, withMarkers(fileContents(path), extra));
    open(path);
    ASSERT_TRUE(m_window->fmComLoaded());
    std::vector<Marker> kept;
    for (const Marker& marker : markersOf(fileContents(working()))) {
        if (marker.code == kComment || marker.code == kApp13 ||
            (marker.code == kApp1 && !marker.payload.startsWith("Exif"))) {
            kept.push_back(marker);
        }
    }
    EXPECT_EQ(kept, extra);
}

std::vector<std::string> g_steps;
void recordStep(const char* step) {
    g_steps.emplace_back(step);
}

TEST_F(GuiTest, SaveAsOverAFileKeepsItsOwnerAndFlushesTheFolderAfterTheRename) {
    const QString source = makePicture(QStringLiteral("photo.jpg"), 64, 48, "JPEG");
    open(source);
    const QString target = m_work.filePath(QStringLiteral("theirs.jpg"));
    replaceContents(target, "their old picture");
    const QByteArray native = QFile::encodeName(target);
    ASSERT_EQ(::chmod(native.constData(), 0640), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(native.constData(), 65534, 65534), 0);
    }

    m_ui.answers.push_back(QMessageBox::Yes);
    g_steps.clear();
    setReplaceStepObserver(recordStep);
    saveAs(target);
    setReplaceStepObserver(nullptr);

    EXPECT_EQ(fileContents(target), fileContents(working()));
    struct stat info {};
    ASSERT_EQ(::stat(native.constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    std::vector<std::string> expected{"fchmod", "rename", "fsync-folder"};
    if (root) {
        expected.insert(expected.begin(), "fchown");
        EXPECT_EQ(info.st_uid, 65534u);
        EXPECT_EQ(info.st_gid, 65534u);
    }
    EXPECT_EQ(g_steps, expected);
    // Only the question was asked: nothing to report.
    EXPECT_EQ(m_ui.messages.size(), 1U);
}

TEST_F(GuiTest, SaveAsOfAPrivatePictureMakesAPrivateFile) {
    const QString source = makePicture(QStringLiteral("private.jpg"), 64, 48, "JPEG");
    ASSERT_EQ(::chmod(QFile::encodeName(source).constData(), 0600), 0);
    open(source);
    // Also once the picture has gone from where it was opened.
    for (const bool moved : {false, true}) {
        if (moved) {
            ASSERT_TRUE(QFile::rename(source, m_work.filePath(QStringLiteral("away.jpg"))));
        }
        const QString target =
            m_work.filePath(moved ? QStringLiteral("second.jpg") : QStringLiteral("copy.jpg"));
        saveAs(target);
        struct stat info {};
        ASSERT_EQ(::stat(QFile::encodeName(target).constData(), &info), 0) << moved;
        EXPECT_EQ(info.st_mode & 0077, 0u) << moved;
        EXPECT_TRUE(m_ui.messages.empty()) << moved;
    }
}

TEST_F(GuiTest, SaveAsOntoAPipeSavesNothingAndSaysWhy) {
    open(makePicture(QStringLiteral("photo.jpg"), 64, 48, "JPEG"));
    const QString target = m_work.filePath(QStringLiteral("pipe.jpg"));
    const QByteArray native = QFile::encodeName(target);
    ASSERT_EQ(::mkfifo(native.constData(), 0600), 0);
    saveAs(target);
    struct stat info {};
    ASSERT_EQ(::stat(native.constData(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));  // the pipe is still a pipe
    ASSERT_EQ(m_ui.messages.size(), 1U);  // no question: nothing would be replaced
    EXPECT_TRUE(m_ui.messages.front().text.contains(QLatin1String("not a regular file")));
}

}  // namespace
}  // namespace vellora::test
