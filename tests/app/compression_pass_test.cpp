// The compression pass, step by step, with a scripted library: every way out shows the
// right text and releases every buffer.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "common/shared_state.h"
#include "fake_pass_parts.h"
#include "imaging/image_library.h"
#include "passes/compression_pass.h"
#include "support/test_support.h"

namespace vellora {
namespace {

using test::FakeLibrary;
using test::RecordingView;

class CompressionPassTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_platform.windowsDir = m_dir.path().toStdString();
        m_state.SourcePath = m_dir.filePath(QStringLiteral("photo.jpg"));
        m_state.OriginalSize = 4000;
    }
    QString working() const { return m_dir.filePath(QStringLiteral("winpcdll")); }
    void run() { runCompressionPass(m_state, m_library, m_view, working()); }

    QTemporaryDir m_dir;
    test::RecordingPlatform m_platform;
    SharedState m_state;
    FakeLibrary m_library;
    RecordingView m_view;
};

TEST_F(CompressionPassTest, SuccessShowsTheResultWithSizeAndShareSaved) {
    m_library.savedBytes = 1000;
    run();
    EXPECT_EQ(m_library.calls, (std::vector<std::string>{"init", "readJPG", "crop", "save"}));
    EXPECT_EQ(m_library.lastCrop, (std::vector<int>{0, 0, 40, 30}));
    EXPECT_EQ(m_library.lastQuality, 41);  // 101 - 60
    EXPECT_EQ(m_library.lastFlag, 1);
    EXPECT_EQ(m_state.CompressedSize, 1000);
    EXPECT_EQ(m_view.events,
              (std::vector<QString>{"caption Compressed Image", "show", "load", "repaint", "size",
                                    "label Filesize:  1,000 bytes    75%"}));
    EXPECT_TRUE(m_library.allFreed());
}

TEST_F(CompressionPassTest, ChoosesTheReaderByTheNameThenTheFirstBytes) {
    // Between the two kinds a file's first bytes decide, as the windows show it: Save As
    // proposes the source's own name, so a bitmap's result may be a JPEG named ".bmp".
    const struct {
        const char* name;
        const char* call;  // nullptr: no read
        const char* message;
        const char* content = nullptr;  // the file, made in the scratch folder
    } cases[] = {
        {"jpeg.bmp", "readJPG", nullptr, "\xFF\xD8\xFF\xE0"},
        {"bitmap.jpg", "readBMP", nullptr, "BM\x36\x00"},
        {"gif.bmp", "readBMP", nullptr, "GIF89a"},
        {"gif.jpg", "readJPG", nullptr, "GIF89a"},
        {"a.jpg", "readJPG", nullptr},
        {"A.JPG", "readJPG", nullptr},
        {"a.jpeg", "readJPG", nullptr},
        {"a.JPE", "readJPG", nullptr},
        {"a.bmp", "readBMP", nullptr},
        {"pictbmp", "readBMP", nullptr},
        {"a.gif", nullptr, "message 1 Invalid File Type!"},
        {"jp", nullptr, "message 1 Invalid File Type!"},
        {"", nullptr, "message 1 You must open an image file first."},
    };
    for (const auto& c : cases) {
        FakeLibrary library;
        RecordingView view;
        SharedState state;
        state.SourcePath = QString::fromUtf8(c.name);
        if (c.content) {
            state.SourcePath = m_dir.filePath(state.SourcePath);
            QFile file(state.SourcePath);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(c.content);
            file.close();
        }
        runCompressionPass(state, library, view, working());
        if (c.call) {
            ASSERT_GE(library.calls.size(), 2U) << c.name;
            EXPECT_EQ(library.calls[1], c.call) << c.name;
        } else {
            EXPECT_EQ(library.calls, std::vector<std::string>{"init"}) << c.name;
            EXPECT_EQ(view.events, std::vector<QString>{QString::fromUtf8(c.message)}) << c.name;
        }
    }
}

TEST_F(CompressionPassTest, FailuresShowTheirTextAndFreeEveryBuffer) {
    const struct {
        const char* what;
        std::function<void(FakeLibrary&)> arrange;
        std::vector<QString> events;
        const char* mainCaption;
    } cases[] = {
        {"read gives 0",
         [](FakeLibrary& l) { l.readFails = true; },
         {"message 0 Error 1 Occurred"},
         "Vellora"},
        {"read raises",
         [](FakeLibrary& l) { l.readThrows = ErrorNumber::FileNotFound; },
         {"message 0 Error 1 Occurred"},
         "Vellora"},
        {"lock fails",
         [](FakeLibrary& l) { l.readHandleOverride = reinterpret_cast<void*>(0x10); },
         {"main caption error2"},
         "error2"},
        {"copy fails",
         [](FakeLibrary& l) { l.cropFails = true; },
         {"message 0 Error 3 Occurred!"},
         "Vellora"},
        {"copy raises",
         [](FakeLibrary& l) { l.cropThrows = true; },
         {"message 0 Error 3 Occurred!"},
         "Vellora"},
        {"save fails",
         [](FakeLibrary& l) { l.saveStatus = 0; },
         {"caption Compressed Image", "main caption error4"},
         "error4"},
        // a status beyond 16 bits is an overflow, not a wrapped-round success
        {"save status 65537",
         [](FakeLibrary& l) { l.saveStatus = 65537; },
         {"caption Compressed Image", "main caption error4"},
         "error4"},
    };
    for (const auto& c : cases) {
        FakeLibrary library;
        RecordingView view;
        SharedState state = m_state;
        state.OriginalSize = 1000;
        c.arrange(library);
        runCompressionPass(state, library, view, working());
        EXPECT_EQ(view.events, c.events) << c.what;
        EXPECT_EQ(view.mainCaption, QString::fromUtf8(c.mainCaption)) << c.what;
        EXPECT_TRUE(library.allFreed()) << c.what;
    }
}

TEST_F(CompressionPassTest, LabelWithoutShareWhenTheResultIsNotSmaller) {
    const struct {
        std::int64_t original;
        qint64 compressed;
        const char* label;
    } cases[] = {
        {200000, 50000, "Filesize:  50,000 bytes    75%"},
        {200000, 199000, "Filesize:  199,000 bytes    0%"},
        {100, 29, "Filesize:  29 bytes    71%"},
        {1000, 1000, "Filesize:  1,000"},
        {1000, 1500, "Filesize:  1,500"},
        // sizes are exact 64-bit counts, never rounded through single precision
        {20000001, 1234567, "Filesize:  1,234,567 bytes    93%"},
    };
    for (const auto& c : cases) {
        FakeLibrary library;
        library.savedBytes = c.compressed;
        RecordingView view;
        SharedState state = m_state;
        state.OriginalSize = c.original;
        runCompressionPass(state, library, view, working());
        EXPECT_EQ(view.compressedLabel, QString::fromUtf8(c.label)) << c.original;
        EXPECT_EQ(state.CompressedSize, c.compressed);
    }
}

TEST_F(CompressionPassTest, StepsThatFailLetThePassGoOn) {
    // Reading the slider fails: quality 101.
    m_view.sliderThrows = true;
    run();
    EXPECT_EQ(m_library.lastQuality, 101);

    // The working file is no picture: the label is still written.
    RecordingView view;
    view.loadThrows = true;
    FakeLibrary library;
    runCompressionPass(m_state, library, view, working());
    EXPECT_EQ(view.events.back(), QStringLiteral("label Filesize:  1,000 bytes    75%"));
}

TEST_F(CompressionPassTest, AMissingWorkingFileKeepsThePreviousSize) {
    m_state.CompressedSize = 777;
    m_library.saveWritesFile = false;
    QFile::remove(working());
    EXPECT_TRUE(runCompressionPass(m_state, m_library, m_view, working()));
    EXPECT_EQ(m_state.CompressedSize, 777);
    EXPECT_EQ(m_view.compressedLabel, QStringLiteral("Filesize:  777 bytes    80%"));
}

TEST_F(CompressionPassTest, ReportsWhetherTheWorkingFileWasWritten) {
    EXPECT_TRUE(runCompressionPass(m_state, m_library, m_view, working()));
    FakeLibrary failing;
    failing.saveStatus = 0;
    EXPECT_FALSE(runCompressionPass(m_state, failing, m_view, working()));
    FakeLibrary unreadable;
    unreadable.readFails = true;
    EXPECT_FALSE(runCompressionPass(m_state, unreadable, m_view, working()));
}

TEST_F(CompressionPassTest, SliderEndsGiveQualities100And1) {
    for (const auto& [slider, quality] : {std::pair{1, 100}, std::pair{100, 1}}) {
        FakeLibrary library;
        RecordingView view;
        view.slider = slider;
        runCompressionPass(m_state, library, view, working());
        EXPECT_EQ(library.lastQuality, quality);
    }
}

TEST_F(CompressionPassTest, UnloadableModuleIsDeletedAndTheProgramEnds) {
    QTemporaryDir modules;
    m_platform.systemDir = modules.path().toStdString();
    const QString stale = modules.filePath(QString::fromLatin1(kImageLibraryFileName));
    QFile file(stale);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a library");
    file.close();

    m_library.initThrows = ErrorNumber::LibraryLoadFailed;
    run();
    EXPECT_FALSE(QFile::exists(stale));
    // Only the override copy: the installed module stays.
    EXPECT_TRUE(QFile::exists(QString::fromStdString(m_platform.moduleDir) + QLatin1Char('/') +
                              QString::fromLatin1(kImageLibraryFileName)));
    EXPECT_EQ(m_platform.endCount, 1);
    EXPECT_EQ(m_view.events, std::vector<QString>{QStringLiteral(
                                 "message 2 Please re-run Vellora, this instance will end.")});
    EXPECT_EQ(m_library.calls, std::vector<std::string>{"init"});
}

TEST_F(CompressionPassTest, WithoutAStaleModuleThePassGoesOnAndReportsTheRead) {
    QTemporaryDir modules;
    m_platform.systemDir = modules.path().toStdString();
    m_library.initThrows = ErrorNumber::LibraryLoadFailed;
    m_library.readThrows = ErrorNumber::LibraryLoadFailed;
    run();
    EXPECT_EQ(m_platform.endCount, 0);
    EXPECT_EQ(m_view.events, std::vector<QString>{QStringLiteral("message 0 Error 1 Occurred")});
}

}  // namespace
}  // namespace vellora
