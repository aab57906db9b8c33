#pragma once
// Drives the real main window headless: scripted dialogs and message boxes, a private
// directory per test, the real image library module.

#include <gtest/gtest.h>

#include <QEvent>
#include <QImage>
#include <QTemporaryDir>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "app/mdiform1.h"
#include "app/user_interface.h"
#include "common/screen_pointer.h"
#include "common/shared_state.h"
#include "support/test_support.h"

namespace vellora::test {

class ScriptedUi : public UserInterface {
public:
    struct Shown {
        MessageIcon icon;
        QString text;
    };
    std::deque<std::optional<QString>> openAnswers;
    std::deque<std::optional<QString>> saveAnswers;
    std::deque<QMessageBox::StandardButton> answers;  // for questions; default: the default
    std::vector<Shown> messages;
    std::vector<CommonDialog> openSeen;
    std::vector<CommonDialog> saveSeen;

    std::optional<QString> showOpen(QWidget*, const CommonDialog& dialog) override {
        openSeen.push_back(dialog);
        return next(openAnswers);
    }
    std::optional<QString> showSave(QWidget*, const CommonDialog& dialog) override {
        saveSeen.push_back(dialog);
        return next(saveAnswers);
    }
    QMessageBox::StandardButton messageBox(QWidget*, MessageIcon icon, const QString& text,
                                           QMessageBox::StandardButtons,
                                           QMessageBox::StandardButton defaultButton) override {
        messages.push_back({icon, text});
        if (answers.empty()) {
            return defaultButton;
        }
        const auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
    [[nodiscard]] QStringList texts() const {
        QStringList result;
        for (const auto& shown : messages) {
            result << shown.text;
        }
        return result;
    }

private:
    static std::optional<QString> next(std::deque<std::optional<QString>>& answers) {
        if (answers.empty()) {
            return std::nullopt;
        }
        const bool cancelled = !answers.front().has_value();
        const QString name = answers.front().value_or(QString());
        answers.pop_front();
        if (cancelled) {
            return std::nullopt;
        }
        return name;
    }
};

class GuiTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_work.isValid());
        ASSERT_TRUE(m_private.isValid());
        m_platform.windowsDir = m_private.path().toStdString();
        sharedState() = SharedState{};
        setScreenMousePointer(PointerShape::Default);
        m_window = std::make_unique<MDIForm1>(&m_ui);
        m_window->show();
    }
    void TearDown() override {
        m_window.reset();
        setScreenMousePointer(PointerShape::Default);
    }

    // A picture file made for the test: colour blocks, so cut-outs can be recognised.
    QString makePicture(const QString& name, int width, int height, const char* format,
                        int quality = 90) const {
        QImage image(width, height, QImage::Format_RGB32);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                image.setPixel(
                    x, y,
                    qRgb((x * 255) / std::max(1, width - 1), (y * 255) / std::max(1, height - 1),
                         ((x / 8 + y / 8) % 2) * 200));
            }
        }
        const QString path = m_work.filePath(name);
        EXPECT_TRUE(image.save(path, format, quality)) << path.toStdString();
        return path;
    }

    QString working() const { return m_private.filePath(QStringLiteral("winpcdll")); }

    // Runs the Open command with `path` chosen in the dialog.
    void open(const QString& path) {
        m_ui.openAnswers.push_back(path);
        std::int16_t index = 0;
        m_window->cmd_nav(index);
    }
    void saveAs(const QString& path) {
        m_ui.saveAnswers.push_back(path);
        std::int16_t index = 1;
        m_window->cmd_nav(index);
    }
    void command(std::int16_t index) { m_window->cmd_nav(index); }

    QTemporaryDir m_work;
    QTemporaryDir m_private;
    RecordingPlatform m_platform;
    ScriptedUi m_ui;
    std::unique_ptr<MDIForm1> m_window;
};

// Sends a real mouse event to `widget` at pixel position `at`.
void sendMouse(QWidget* widget, QEvent::Type type, QPoint at, Qt::MouseButton button,
               Qt::MouseButtons buttons);

}  // namespace vellora::test
