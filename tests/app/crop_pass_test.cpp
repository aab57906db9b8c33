// The crop pass with a scripted library: the twips-to-pixel conversion, the rectangle
// handed to the library, each way out, and the errors it passes to its caller.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cmath>
#include <limits>

#include "fake_pass_parts.h"
#include "passes/crop_pass.h"

namespace vellora {
namespace {

class RecordingCropView : public CropView {
public:
    std::vector<QString> events;
    float left = 120, top = 120, width = 375, height = 375;
    float tppX = 15, tppY = 15;
    int slider = 60;
    int twipsReads = 0;

    void message(MessageIcon icon, const QString& text) override {
        events.push_back(QStringLiteral("message %1 %2").arg(static_cast<int>(icon)).arg(text));
    }
    void setMainCaption(const QString& caption) override {
        events.push_back(QStringLiteral("main caption ") + caption);
    }
    void setCompressedCaption(const QString& caption) override {
        events.push_back(QStringLiteral("caption ") + caption);
    }
    int sliderValue() override { return slider; }
    float cropLeft() override { return left; }
    float cropTop() override { return top; }
    float cropWidth() override { return width; }
    float cropHeight() override { return height; }
    float twipsPerPixelX() override {
        ++twipsReads;
        return tppX;
    }
    float twipsPerPixelY() override {
        ++twipsReads;
        return tppY;
    }
};

TEST(TwipsToPixel, RoundsHalvesToEven) {
    const struct {
        float twips;
        float perPixel;
        std::int32_t pixel;
    } cases[] = {
        {120, 15, 8},      {112.5F, 15, 8},  // 7.5 -> 8
        {127.5F, 15, 8},                     // 8.5 -> 8
        {142.5F, 15, 10},                    // 9.5 -> 10
        {-7.5F, 15, 0},                      // -0.5 -> -0
        {-22.5F, 15, -2},                    // -1.5 -> -2
        {375, 15, 25},     {100, 12, 8},     // 8.33
        {45000, 15, 3000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(twipsToPixel(c.twips, c.perPixel), c.pixel) << c.twips << "/" << c.perPixel;
    }
    for (float beyond : {3.3e10F, -3.3e10F, std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::quiet_NaN()}) {
        EXPECT_THROW((void)twipsToPixel(beyond, 15), RuntimeError) << beyond;
    }
}

class CropPassTest : public testing::Test {
protected:
    void SetUp() override { m_state.SourcePath = QStringLiteral("/pictures/photo.jpg"); }
    bool run() { return runCropPass(m_state, m_library, m_view, m_dir.filePath("winpcdll")); }

    QTemporaryDir m_dir;
    SharedState m_state;
    test::FakeLibrary m_library;
    RecordingCropView m_view;
};

TEST_F(CropPassTest, CutsTheRectangleInPixelsAndSavesAtTheSlidersQuality) {
    EXPECT_TRUE(run());
    EXPECT_EQ(m_library.calls, (std::vector<std::string>{"init", "readJPG", "crop", "save"}));
    EXPECT_EQ(m_library.lastCrop, (std::vector<int>{8, 8, 33, 33}));
    EXPECT_EQ(m_library.lastQuality, 41);
    EXPECT_EQ(m_view.events, std::vector<QString>{QStringLiteral("caption Compressed Image")});
    EXPECT_EQ(m_view.twipsReads, 4);  // read afresh for each conversion
    EXPECT_TRUE(m_library.allFreed());
}

TEST_F(CropPassTest, WaysOutWithAMessage) {
    const struct {
        const char* what;
        QString path;
        std::function<void(test::FakeLibrary&)> arrange;
        std::vector<QString> events;
    } cases[] = {
        {"wrong type", "/p/photo.gif", [](test::FakeLibrary&) {}, {"message 0 Invalid File Type!"}},
        {"no file", "", [](test::FakeLibrary&) {}, {"message 0 Invalid File Type!"}},
        {"read fails",
         "/p/a.jpg",
         [](test::FakeLibrary& l) { l.readFails = true; },
         {"message 0 Error 1 Occurred"}},
        {"lock fails",
         "/p/a.bmp",
         [](test::FakeLibrary& l) { l.readHandleOverride = reinterpret_cast<void*>(0x20); },
         {"main caption error2"}},
        {"crop fails",
         "/p/a.jpeg",
         [](test::FakeLibrary& l) { l.cropFails = true; },
         {"message 0 Error 3 Occurred!"}},
        {"save fails",
         "/p/a.JPG",
         [](test::FakeLibrary& l) { l.saveStatus = 0; },
         {"caption Compressed Image", "main caption error4"}},
    };
    for (const auto& c : cases) {
        test::FakeLibrary library;
        RecordingCropView view;
        SharedState state;
        state.SourcePath = c.path;
        c.arrange(library);
        EXPECT_FALSE(runCropPass(state, library, view, m_dir.filePath("winpcdll"))) << c.what;
        EXPECT_EQ(view.events, c.events) << c.what;
        EXPECT_TRUE(library.allFreed()) << c.what;
    }
}

TEST_F(CropPassTest, RunTimeErrorsReachTheCaller) {
    const struct {
        const char* what;
        std::function<void(RecordingCropView&, test::FakeLibrary&)> arrange;
    } cases[] = {
        {"left beyond 32 bits", [](RecordingCropView& v, test::FakeLibrary&) { v.left = 4e10F; }},
        {"right overflows",
         [](RecordingCropView& v, test::FakeLibrary&) {
             v.left = 2.1e9F * 15;
             v.width = 2.1e9F * 15;
         }},
        {"quality overflows",
         [](RecordingCropView& v, test::FakeLibrary&) {
             v.slider = std::numeric_limits<int>::min();
         }},
        {"status beyond 16 bits",
         [](RecordingCropView&, test::FakeLibrary& l) { l.saveStatus = 65537; }},
        {"library missing", [](RecordingCropView&,
                               test::FakeLibrary& l) { l.initThrows = ErrorNumber::FileNotFound; }},
    };
    for (const auto& c : cases) {
        test::FakeLibrary library;
        RecordingCropView view;
        c.arrange(view, library);
        EXPECT_THROW((void)runCropPass(m_state, library, view, m_dir.filePath("winpcdll")),
                     RuntimeError)
            << c.what;
        EXPECT_TRUE(library.allFreed()) << c.what;
    }
}

TEST_F(CropPassTest, SliderEndsGiveQualities100And1) {
    for (const auto& [slider, quality] : {std::pair{1, 100}, std::pair{100, 1}}) {
        test::FakeLibrary library;
        RecordingCropView view;
        view.slider = slider;
        EXPECT_TRUE(runCropPass(m_state, library, view, m_dir.filePath("winpcdll")));
        EXPECT_EQ(library.lastQuality, quality);
    }
}

}  // namespace
}  // namespace vellora
