// Opening a picture from outside the program: the command line (what a file manager's
// "Open with" runs through the desktop entry) and files dropped on the windows. Each way
// must leave the program exactly as the Open command does after its dialog.
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMdiArea>
#include <QMimeData>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QUrl>
#include <functional>

#include "app/command_line.h"
#include "common/build_config.h"
#include "gui_fixture.h"
#include "image_windows/image_window.h"

namespace vellora {
namespace {

using test::GuiTest;

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Everything an Open leaves behind that a user or a later command can see.
struct Snapshot {
    QString sourcePath;
    std::int64_t originalSize = 0;
    std::int64_t compressedSize = 0;
    QString panel1;
    bool jpgLoaded = false;
    QString jpgCaption, jpgLabel;
    QSize jpgPicture, jpgOuter;
    bool comLoaded = false;
    QString comCaption, comLabel;
    QSize comPicture, comOuter;
    bool cropShown = false;
    QByteArray working;
    QStringList messages;
    QString mainCaption;
    int subWindows = 0;
    QString dialogName;  // where Save As starts

    bool operator==(const Snapshot&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Snapshot& s) {
    return out << s.sourcePath.toStdString() << " " << s.originalSize << "/" << s.compressedSize
               << " panel1=" << s.panel1.toStdString() << " jpg=" << s.jpgLoaded << ":"
               << s.jpgCaption.toStdString() << ":" << s.jpgLabel.toStdString() << ":"
               << s.jpgOuter.width() << "x" << s.jpgOuter.height() << " com=" << s.comLoaded << ":"
               << s.comCaption.toStdString() << ":" << s.comLabel.toStdString() << ":"
               << s.comOuter.width() << "x" << s.comOuter.height()
               << " working=" << s.working.size() << " messages=["
               << s.messages.join(QStringLiteral(" | ")).toStdString() << "]"
               << " windows=" << s.subWindows << " dialog=" << s.dialogName.toStdString();
}

class OpenFromOutsideTest : public GuiTest {
protected:
    Snapshot snapshot() {
        QApplication::processEvents();
        Snapshot s;
        const SharedState& state = sharedState();
        s.sourcePath = state.SourcePath;
        s.originalSize = state.OriginalSize;
        s.compressedSize = state.CompressedSize;
        s.panel1 = m_window->panelText(1);
        s.jpgLoaded = m_window->fmJpgLoaded();
        if (s.jpgLoaded) {
            FmJpg& w = m_window->fm_jpg();
            s.jpgCaption = w.Caption();
            s.jpgLabel = w.Label1()->text();
            s.jpgPicture = w.pic_photo()->size();
            s.jpgOuter = w.size();
        }
        s.comLoaded = m_window->fmComLoaded();
        if (s.comLoaded) {
            FmCom& w = m_window->fm_com();
            s.comCaption = w.Caption();
            s.comLabel = w.Label1()->text();
            s.comPicture = w.pic_photo()->size();
            s.comOuter = w.size();
            s.cropShown = w.sh_crop()->Visible();
        }
        s.working = contents(working());
        s.messages = m_ui.texts();
        s.mainCaption = m_window->windowTitle();
        s.subWindows = static_cast<int>(m_window->mdiArea()->subWindowList().size());
        s.dialogName = m_window->CommonDialog1().FileName;
        return s;
    }

    // A new run: a fresh window, shared state and working file, no messages.
    void restart() {
        m_window.reset();
        QFile::remove(working());
        sharedState() = SharedState{};
        m_ui.messages.clear();
        m_window = std::make_unique<MDIForm1>(&m_ui);
        m_window->show();
    }

    // Drags `data` over `target` and drops it there, as the window system delivers it.
    // Returns whether the drag was accepted (the pointer shows that it may be dropped).
    // A file manager offers copy, move and link and proposes a move by default.
    bool drop(QWidget* target, QMimeData* data,
              Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction,
              Qt::DropAction* taken = nullptr) {
        const QPoint at(target->width() / 2, target->height() / 2);
        QDragEnterEvent enter(at, offered, data, Qt::LeftButton, Qt::NoModifier);
        enter.setDropAction(Qt::MoveAction);
        QApplication::sendEvent(target, &enter);
        if (!enter.isAccepted()) {
            return false;
        }
        QDropEvent dropped(QPointF(at), offered, data, Qt::LeftButton, Qt::NoModifier);
        dropped.setDropAction(Qt::MoveAction);
        QApplication::sendEvent(target, &dropped);
        QApplication::processEvents();
        if (taken != nullptr) {
            *taken = dropped.dropAction();
        }
        return dropped.isAccepted();
    }

    static std::unique_ptr<QMimeData> files(const QStringList& paths) {
        auto data = std::make_unique<QMimeData>();
        QList<QUrl> urls;
        for (const QString& path : paths) {
            urls << QUrl::fromLocalFile(path);
        }
        data->setUrls(urls);
        return data;
    }
};

// ---- The command line ---------------------------------------------------------------

TEST(CommandLineTest, OptionsAndTheFileArgument) {
    const QString cwd = QDir::tempPath();
    const struct {
        QStringList arguments;
        std::optional<QString> file;
        std::optional<int> exitCode;
        const char* outputHas;
    } cases[] = {
        {{}, std::nullopt, std::nullopt, ""},
        {{QStringLiteral("photo.jpg")},
         QDir(cwd).filePath(QStringLiteral("photo.jpg")),
         std::nullopt,
         ""},
        {{QStringLiteral("/pictures/a b/photo.bmp")},
         QStringLiteral("/pictures/a b/photo.bmp"),
         std::nullopt,
         ""},
        {{QStringLiteral("sub/../photo.jpg")},
         QDir(cwd).filePath(QStringLiteral("photo.jpg")),
         std::nullopt,
         ""},
        {{QStringLiteral("file:///pictures/a%20b/photo.jpg")},
         QStringLiteral("/pictures/a b/photo.jpg"),
         std::nullopt,
         ""},
        // "localhost" is this machine: it opened "/localhost/pictures/photo.jpg".
        {{QStringLiteral("file://localhost/pictures/photo.jpg")},
         QStringLiteral("/pictures/photo.jpg"),
         std::nullopt,
         ""},
        {{QStringLiteral("FILE://LocalHost/pictures/photo.jpg")},
         QStringLiteral("/pictures/photo.jpg"),
         std::nullopt,
         ""},
        {{QStringLiteral("--"), QStringLiteral("--version")},
         QDir(cwd).filePath(QStringLiteral("--version")),
         std::nullopt,
         ""},
        {{QStringLiteral("--help")}, std::nullopt, 0, "[FILE]"},
        {{QStringLiteral("-h")}, std::nullopt, 0, "--version"},
        {{QStringLiteral("--help-all")}, std::nullopt, 0, "[FILE]"},
        {{QStringLiteral("--version")}, std::nullopt, 0, "Vellora " VELLORA_VERSION "\n"},
        {{QStringLiteral("a.jpg"), QStringLiteral("b.jpg")}, std::nullopt, 2, "one file"},
        {{QStringLiteral("--frobnicate")}, std::nullopt, 2, "frobnicate"},
        {{QStringLiteral("file://server/share/a.jpg")}, std::nullopt, 2, "local file"},
    };
    for (const auto& c : cases) {
        const QString what = c.arguments.join(QLatin1Char(' '));
        const CommandLine result =
            parseCommandLine(QStringList{QStringLiteral("vellora")} + c.arguments, cwd);
        EXPECT_EQ(result.file, c.file) << what.toStdString();
        EXPECT_EQ(result.exitCode, c.exitCode) << what.toStdString();
        EXPECT_TRUE(result.output.contains(QString::fromUtf8(c.outputHas)))
            << what.toStdString() << ": " << result.output.toStdString();
        if (c.exitCode == 2) {
            EXPECT_TRUE(result.output.contains(QStringLiteral("vellora --help")));
        }
    }
}

// After a link to a folder, ".." is that folder's parent: "link/../photo.jpg" opened the
// working folder's photo.jpg, another picture.
TEST(CommandLineTest, ALinkedFolderFollowedByDotDotMeansItsParent) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString root = QFileInfo(dir.path()).canonicalFilePath();
    ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("A/B")));
    ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("work")));
    ASSERT_TRUE(QFile::link(root + QStringLiteral("/A/B"), root + QStringLiteral("/work/L")));
    const CommandLine result =
        parseCommandLine({QStringLiteral("vellora"), QStringLiteral("L/../photo.jpg")},
                         root + QStringLiteral("/work"));
    EXPECT_EQ(result.file, root + QStringLiteral("/A/photo.jpg"));
}

// The installed program answers --help, --version and a wrong command line without a
// display: a typo in a terminal gets its usage message, not an abort about displays.
TEST(CommandLineTest, TheProgramAnswersWithoutADisplay) {
    const QString program = QStringLiteral(VELLORA_BIN_DIR "/vellora");
    struct Case {
        QStringList arguments;
        int exitCode;
        const char* expected;  // in stdout for exit 0, stderr otherwise
    };
    const Case cases[] = {
        {{QStringLiteral("--version")}, 0, "Vellora " VELLORA_VERSION},
        {{QStringLiteral("--help")}, 0, "[FILE]"},
        {{QStringLiteral("--bogus")}, 2, "Unknown option 'bogus'"},
        {{QStringLiteral("a.jpg"), QStringLiteral("b.jpg")}, 2, "Only one file"},
        {{QStringLiteral("file://elsewhere/a.jpg")}, 2, "does not name a local file"},
    };
    for (const Case& c : cases) {
        const std::string what = c.arguments.join(QLatin1Char(' ')).toStdString();
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        process.setProcessEnvironment(env);
        process.start(program, c.arguments);
        ASSERT_TRUE(process.waitForFinished(30000)) << what;
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << what;
        EXPECT_EQ(process.exitCode(), c.exitCode) << what;
        const QByteArray text =
            c.exitCode == 0 ? process.readAllStandardOutput() : process.readAllStandardError();
        EXPECT_TRUE(text.contains(c.expected)) << what << ": " << text.toStdString();
    }
}

// ---- The same road as the Open command ------------------------------------------------

TEST_F(OpenFromOutsideTest, EveryWayInLeavesWhatTheOpenCommandLeaves) {
    const QString picture = makePicture(QStringLiteral("photo.jpg"), 70, 45, "JPEG");
    const QString bitmap = makePicture(QStringLiteral("scan.bmp"), 33, 21, "BMP");
    const QString folder = m_work.filePath(QStringLiteral("holiday.jpg"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString notes = m_work.filePath(QStringLiteral("notes.jpg"));
    {
        QFile file(notes);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("no picture in here");
    }

    // Each way in, given the file the user meant.
    const std::map<std::string, std::function<void(const QString&)>> ways = {
        {"command line",
         [&](const QString& path) {
             const CommandLine line = parseCommandLine(
                 {QStringLiteral("vellora"), QDir(m_work.path()).relativeFilePath(path)},
                 m_work.path());
             ASSERT_TRUE(line.file.has_value());
             m_window->openPicture(*line.file);
         }},
        {"drop on the main window",
         [&](const QString& path) {
             EXPECT_TRUE(drop(m_window->mdiArea()->viewport(), files({path}).get()));
         }},
        {"drop of a localhost address",
         [&](const QString& path) {
             QUrl address = QUrl::fromLocalFile(path);
             address.setHost(QStringLiteral("localhost"));
             QMimeData data;
             data.setUrls({address});
             EXPECT_TRUE(drop(m_window->mdiArea()->viewport(), &data));
         }},
        {"drop on the toolbar strip",
         [&](const QString& path) {
             EXPECT_TRUE(drop(m_window->Picture1(), files({path}).get()));
         }},
        {"drop on the original picture",
         [&](const QString& path) {
             EXPECT_TRUE(drop(m_window->fm_jpg().pic_photo(), files({path}).get()));
         }},
        {"drop on the compressed picture",
         [&](const QString& path) {
             EXPECT_TRUE(drop(m_window->fm_com().pic_photo(), files({path}).get()));
         }},
    };
    for (const QString& path : {picture, bitmap, folder, notes}) {
        // What the Open command leaves, after an earlier picture was open.
        restart();
        open(bitmap);
        m_ui.messages.clear();
        open(path);
        const Snapshot expected = snapshot();
        if (path == folder || path == notes) {
            ASSERT_EQ(expected.messages.size(), 1) << path.toStdString();
            EXPECT_TRUE(expected.messages[0].contains(path));
        } else {
            EXPECT_TRUE(expected.messages.isEmpty());
            EXPECT_EQ(expected.sourcePath, path);
        }
        for (const auto& [name, way] : ways) {
            restart();
            open(bitmap);
            m_ui.messages.clear();
            way(path);
            EXPECT_EQ(snapshot(), expected) << name << ": " << path.toStdString();
        }
    }
}

TEST_F(OpenFromOutsideTest, DropsOnEitherPictureWindowOpenThere) {
    const QString first = makePicture(QStringLiteral("first.jpg"), 40, 30, "JPEG");
    const QString second = makePicture(QStringLiteral("second.jpg"), 52, 36, "JPEG");
    open(first);
    for (const auto& [name, target] :
         {std::pair{"fm_jpg",
                    std::function<QWidget*()>([&] { return m_window->fm_jpg().pic_photo(); })},
          std::pair{"fm_com",
                    std::function<QWidget*()>([&] { return m_window->fm_com().Label1(); })}}) {
        const QString path = sharedState().SourcePath == first ? second : first;
        ASSERT_TRUE(drop(target(), files({path}).get())) << name;
        EXPECT_EQ(sharedState().SourcePath, path) << name;
        EXPECT_EQ(m_window->panelText(1), path) << name;
        EXPECT_EQ(m_window->fm_com().pic_photo()->size(), QImage(path).size()) << name;
        EXPECT_EQ(m_window->fm_com().Caption(), QStringLiteral("Compressed Image")) << name;
    }
    EXPECT_TRUE(m_ui.messages.empty());
}

TEST_F(OpenFromOutsideTest, OfSeveralFilesTheFirstOpensAndTheRestAreCounted) {
    const QString a = makePicture(QStringLiteral("a.jpg"), 20, 20, "JPEG");
    const QString b = makePicture(QStringLiteral("b.jpg"), 30, 30, "JPEG");
    const QString c = makePicture(QStringLiteral("c.bmp"), 40, 40, "BMP");

    open(a);
    const Snapshot expected = snapshot();
    const struct {
        QStringList paths;
        const char* status;
    } cases[] = {
        {{a, b}, "1 more dropped item was ignored"},
        {{a, b, c}, "2 more dropped items were ignored"},
    };
    for (const auto& c : cases) {
        restart();
        ASSERT_TRUE(drop(m_window->mdiArea()->viewport(), files(c.paths).get()));
        EXPECT_EQ(snapshot(), expected) << c.status;
        EXPECT_TRUE(
            m_window->StatusBar1()->currentMessage().startsWith(QString::fromLatin1(c.status)))
            << m_window->StatusBar1()->currentMessage().toStdString();
    }
    // A single file says nothing of the kind.
    restart();
    ASSERT_TRUE(drop(m_window->mdiArea()->viewport(), files({a}).get()));
    EXPECT_EQ(m_window->StatusBar1()->currentMessage(), QString());
}

// The file manager deletes the original after a drop taken as a move: a drop is only
// ever taken as a copy, or a link where a copy is not offered.
TEST_F(OpenFromOutsideTest, DropsAreTakenAsCopiesNeverAsMoves) {
    const QString path = makePicture(QStringLiteral("a.jpg"), 20, 20, "JPEG");
    const struct {
        Qt::DropActions offered;
        bool accepted;
        Qt::DropAction taken;
    } cases[] = {
        {Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, true, Qt::CopyAction},
        {Qt::MoveAction | Qt::LinkAction, true, Qt::LinkAction},
        {Qt::MoveAction, false, Qt::MoveAction},
    };
    for (const auto& c : cases) {
        restart();
        Qt::DropAction taken = Qt::MoveAction;
        EXPECT_EQ(drop(m_window->mdiArea()->viewport(), files({path}).get(), c.offered, &taken),
                  c.accepted)
            << int(c.offered);
        if (c.accepted) {
            EXPECT_EQ(taken, c.taken) << int(c.offered);
        }
        EXPECT_EQ(sharedState().SourcePath, c.accepted ? path : QString()) << int(c.offered);
        EXPECT_TRUE(QFileInfo::exists(path));
    }
}

TEST_F(OpenFromOutsideTest, WhatIsNoFileIsRefusedAndChangesNothing) {
    open(makePicture(QStringLiteral("a.jpg"), 20, 20, "JPEG"));
    const Snapshot before = snapshot();

    QMimeData text;
    text.setText(QStringLiteral("/tmp/some.jpg"));
    QMimeData web;
    web.setUrls({QUrl(QStringLiteral("https://example.org/photo.jpg"))});
    // Another host's file is a share that cannot be reached by that name; it was taken,
    // then failed as "//server/photo.jpg does not exist".
    QMimeData share;
    share.setUrls({QUrl(QStringLiteral("file://server/photo.jpg"))});
    QMimeData nothing;
    for (QMimeData* data : {&text, &web, &share, &nothing}) {
        for (QWidget* target : {static_cast<QWidget*>(m_window->mdiArea()->viewport()),
                                static_cast<QWidget*>(m_window->fm_com().pic_photo())}) {
            EXPECT_FALSE(drop(target, data)) << data->formats().join(',').toStdString();
        }
    }
    EXPECT_EQ(snapshot(), before);
}

}  // namespace
}  // namespace vellora
