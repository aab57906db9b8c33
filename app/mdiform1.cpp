#include "mdiform1.h"

#include <sys/stat.h>

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMdiArea>
#include <QMenuBar>
#include <QMimeData>
#include <QSaveFile>
#include <QScreen>
#include <QStatusBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>

#include "about/frmabout.h"
#include "app/click_slider.h"
#include "app/command_line.h"
#include "common/addresses.h"
#include "common/artwork.h"
#include "common/screen_pointer.h"
#include "common/shared_state.h"
#include "common/twips.h"
#include "image_windows/image_window.h"
#include "imaging/picture_loader.h"
#include "platform/file_ownership.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "platform/runtime_error.h"

namespace vellora {
namespace {

// Writes all of `bytes`. A write may stop short without an error (a file-size limit,
// a disk that just filled up); only the next one fails and carries the system's reason
// into errorString().
bool writeWhole(QIODevice& device, const QByteArray& bytes) {
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 wrote = device.write(bytes.constData() + done, bytes.size() - done);
        if (wrote <= 0) {
            return false;
        }
        done += wrote;
    }
    return true;
}

// Before Save As renames its new file over an existing one: the new file gets the old
// one's owner, group and permissions, so replacing a picture never hands it to whoever
// runs Vellora. Always true (the save goes on); `note` says what could not be kept.
bool keepReplacedOwnership(QSaveFile& output, const QString& target, QString& note) {
    struct stat existing {};
    if (::stat(QFile::encodeName(target).constData(), &existing) != 0 ||
        !S_ISREG(existing.st_mode)) {
        return true;
    }
    const KeptOwnership kept =
        keepOwnership(output.handle(), QFile::encodeName(target).constData(), existing);
    if (!kept.complete()) {
        note = QString::fromStdString(kept.note);
    }
    return true;
}

// A new file gets no more permission than the picture it was made from, as cp gives
// it: the copy of a private picture stays private. The owner may always read and
// write it. The source as its name leads now, else as it was opened (gone since).
bool keepSourcePrivacy(QSaveFile& output, const std::optional<FileVersion>& now,
                       const std::optional<FileVersion>& opened) {
    const std::optional<FileVersion>& model = now && S_ISREG(now->mode) ? now : opened;
    struct stat made {};
    if (!model || ::fstat(output.handle(), &made) != 0) {
        return true;
    }
    const mode_t mode = (made.st_mode & model->mode & 0777) | S_IRUSR | S_IWUSR;
    if (mode != (made.st_mode & 07777)) {
        (void)::fchmod(output.handle(), mode);
    }
    return true;
}

// After the rename: the folder the file is in is flushed (the one a link leads to, where
// the rename happened), so a power loss cannot bring back the old picture.
void makeSaveDurable(const QString& target) {
    noteReplaceStep("rename");
    const QString saved = QFileInfo(target).canonicalFilePath();
    (void)syncFolderOf(QFile::encodeName(saved.isEmpty() ? target : saved).toStdString());
}

// Design geometry, in twips.
constexpr float kClientWidth = 8055.0F;
constexpr float kClientHeight = 6030.0F;
constexpr float kStripHeight = 405.0F;
constexpr float kButtonLefts[4] = {0.0F, 360.0F, 720.0F, 1080.0F};
constexpr float kButtonTop = 20.0F;
constexpr float kButtonSize = 350.0F;
constexpr float kPanelWidths[3] = {3440.0F, 1540.0F, 3040.0F};
constexpr float kStatusBarHeight = 255.0F;
// What a picture window adds to its picture at least, in twips. The old design's
// allowance for the frame; today's frames are often thicker, and then the frame wins.
constexpr float kExtraWidth = 50.0F;
constexpr float kExtraHeight = 380.0F;
// How long the status bar says that dropped items were ignored.
constexpr int kIgnoredDropsMessageMs = 10000;

void sizeToPicture(ImageWindow& window) {
    const float width =
        std::max(window.pic_photo()->Width() + kExtraWidth, window.outerWidthForPicture());
    const float height =
        std::max(window.pic_photo()->Height() + window.labelHeight() + kExtraHeight,
                 window.outerHeightForPicture());
    window.setOuterSize(width, height);
}

}  // namespace

const QString MDIForm1::kOpenFilter = QStringLiteral(
    "All Recognized File Types (*.*)|*.jpg;*.bmp;*.jpeg;*.jpe|"
    "JPG Files(*.jpg)|*.jpg;*.jpeg;*.jpe|BMP Files (*.bmp)|*.bmp");

MDIForm1::MDIForm1(UserInterface* ui, PassLibrary* library)
    : m_ownUi(ui ? nullptr : std::make_unique<QtUserInterface>()),
      m_ui(ui ? ui : m_ownUi.get()),
      m_ownLibrary(library ? nullptr : std::make_unique<ModuleLibrary>()),
      m_library(library ? library : m_ownLibrary.get()) {
    setObjectName(QStringLiteral("MDIForm1"));
    setWindowTitle(kApplicationTitle);
    setWindowIcon(artwork::windowIcon());
    // Pictures dropped anywhere on the window, the picture windows included, open here.
    setAcceptDrops(true);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    buildToolbarStrip();
    layout->addWidget(m_picture1);
    m_mdiArea = new QMdiArea(central);
    m_mdiArea->setObjectName(QStringLiteral("MDIClient"));
    m_mdiArea->setBackground(QBrush(Qt::white));
    m_mdiArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_mdiArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_mdiArea->viewport()->setMouseTracking(true);
    m_mdiArea->viewport()->installEventFilter(this);
    layout->addWidget(m_mdiArea, 1);
    setCentralWidget(central);

    buildMenus();
    buildStatusBar();

    // The client area (below the menu bar) is 537 x 402 pixels at 96 dpi, centred.
    const QSize client(twipsToPixelsX(kClientWidth), twipsToPixelsY(kClientHeight));
    resize(client.width(), client.height() + menuBar()->sizeHint().height());
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(0, 0), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

MDIForm1::~MDIForm1() = default;

void MDIForm1::buildToolbarStrip() {
    m_picture1 = new QWidget(this);
    m_picture1->setObjectName(QStringLiteral("Picture1"));
    m_picture1->setFixedHeight(twipsToPixelsY(kStripHeight));
    m_picture1->setAutoFillBackground(true);  // button face
    m_picture1->setMouseTracking(true);
    m_picture1->installEventFilter(this);

    const QPixmap pictures[4] = {artwork::openFolder(), artwork::floppyDisk(), artwork::helpBook(),
                                 artwork::cropTool()};
    for (int i = 0; i < 4; ++i) {
        auto* button = new QToolButton(m_picture1);
        button->setObjectName(QStringLiteral("cmd_toolbar_%1").arg(i));
        button->setIcon(QIcon(pictures[i]));
        button->setIconSize(QSize(16, 16));
        button->setAutoRaise(false);
        button->setGeometry(twipsRect(kButtonLefts[i], kButtonTop, kButtonSize, kButtonSize));
        button->setMouseTracking(true);
        button->installEventFilter(this);
        connect(button, &QToolButton::clicked, this, [this, i] { cmd_toolbar_Click(i); });
        m_toolbar[static_cast<std::size_t>(i)] = button;
    }

    m_label1 = new QLabel(QStringLiteral("Less Compression"), m_picture1);
    m_label1->setObjectName(QStringLiteral("Label1"));
    m_label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QPalette navy = m_label1->palette();
    navy.setColor(QPalette::WindowText, QColor(0, 0, 128));
    m_label1->setPalette(navy);
    m_label1->adjustSize();
    // Right-aligned and sized to its text: the right end stays where the design puts it.
    const QRect labelDesign = twipsRect(1920.0F, 50.0F, 1275.0F, 195.0F);
    m_label1->move(labelDesign.right() + 1 - m_label1->width(), labelDesign.top());

    m_slider = new ClickSlider(m_picture1);
    m_slider->setObjectName(QStringLiteral("Slider1"));
    m_slider->setRange(1, 100);
    m_slider->setSingleStep(1);
    m_slider->setPageStep(10);
    m_slider->setTickInterval(10);
    m_slider->setTickPosition(QSlider::TicksBelow);
    m_slider->setValue(60);
    m_slider->setGeometry(twipsRect(3360.0F, 50.0F, 2295.0F, 255.0F));
    m_slider->setMinimumHeight(m_slider->sizeHint().height());
    connect(m_slider, &ClickSlider::clicked, this, &MDIForm1::Slider1_Click);

    m_lblCompress = new QLabel(QStringLiteral("More Compression"), m_picture1);
    m_lblCompress->setObjectName(QStringLiteral("lbl_compress"));
    QPalette highlight = m_lblCompress->palette();
    highlight.setColor(QPalette::WindowText, highlight.color(QPalette::Highlight));
    m_lblCompress->setPalette(highlight);
    m_lblCompress->adjustSize();
    m_lblCompress->move(twipsRect(5760.0F, 50.0F, 1305.0F, 195.0F).topLeft());

    // Labels and slider share one vertical centre line in the strip.
    const int centre = m_picture1->height() / 2;
    m_label1->move(m_label1->x(), centre - m_label1->height() / 2);
    m_lblCompress->move(m_lblCompress->x(), centre - m_lblCompress->height() / 2);
    m_slider->move(m_slider->x(), std::max(0, centre - m_slider->height() / 2));
}

void MDIForm1::buildMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("mnu_0"));
    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("mnu_1"));
    m_menus = {file, help};

    auto addItem = [this](QMenu* menu, std::map<int, QAction*>& items, int index,
                          const QString& caption, void (MDIForm1::*handler)(int)) {
        QAction* action =
            caption == QLatin1String("-") ? menu->addSeparator() : menu->addAction(caption);
        action->setObjectName(
            QStringLiteral("%1_%2").arg(menu == m_menus[0] ? "mnu_f" : "mnu_h").arg(index));
        if (!action->isSeparator()) {
            connect(action, &QAction::triggered, this,
                    [this, handler, index] { (this->*handler)(index); });
        }
        items[index] = action;
    };
    addItem(file, m_fileItems, 0, QStringLiteral("&Open"), &MDIForm1::mnu_f_Click);
    addItem(file, m_fileItems, 1, QStringLiteral("Sav&e As"), &MDIForm1::mnu_f_Click);
    addItem(file, m_fileItems, 2, QStringLiteral("-"), &MDIForm1::mnu_f_Click);
    addItem(file, m_fileItems, 5, QStringLiteral("E&xit"), &MDIForm1::mnu_f_Click);
    addItem(help, m_helpItems, 0, QStringLiteral("&Index"), &MDIForm1::mnu_h_Click);
    addItem(help, m_helpItems, 1, QStringLiteral("-"), &MDIForm1::mnu_h_Click);
    addItem(help, m_helpItems, 2, QStringLiteral("&About"), &MDIForm1::mnu_h_Click);
}

void MDIForm1::buildStatusBar() {
    m_statusBar = statusBar();
    m_statusBar->setObjectName(QStringLiteral("StatusBar1"));
    m_statusBar->setSizeGripEnabled(false);
    for (std::size_t i = 0; i < m_panels.size(); ++i) {
        auto* panel = new QLabel(m_statusBar);
        panel->setObjectName(QStringLiteral("Panel%1").arg(i + 1));
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setFixedWidth(twipsToPixelsX(kPanelWidths[i]));
        panel->setTextFormat(Qt::PlainText);
        if (i == 0) {
            // The path gives way to the rectangle's figures when the window is narrow:
            // up to the design's width, down to nothing, whatever the path's length.
            panel->setMinimumWidth(0);
            panel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        }
        m_statusBar->addWidget(panel, i == 0 ? 1 : 0);
        m_panels[i] = panel;
    }
    // The design's height, unless the panels' text needs more at the current font: a
    // fixed minimum below that would squeeze the panels and cut the text's lower part.
    m_statusBar->setMinimumHeight(
        std::max(twipsToPixelsY(kStatusBarHeight), m_statusBar->minimumSizeHint().height()));
}

QToolButton* MDIForm1::cmd_toolbar(int index) const {
    return index >= 0 && index < 4 ? m_toolbar[static_cast<std::size_t>(index)] : nullptr;
}

QMenu* MDIForm1::mnu(int index) const {
    return index >= 0 && index < 2 ? m_menus[static_cast<std::size_t>(index)] : nullptr;
}

QAction* MDIForm1::mnu_f(int index) const {
    auto it = m_fileItems.find(index);
    return it == m_fileItems.end() ? nullptr : it->second;
}

QAction* MDIForm1::mnu_h(int index) const {
    auto it = m_helpItems.find(index);
    return it == m_helpItems.end() ? nullptr : it->second;
}

QString MDIForm1::panelText(int panel) const {
    return panel >= 1 && panel <= 3 ? m_panels[static_cast<std::size_t>(panel - 1)]->text()
                                    : QString();
}

void MDIForm1::setPanelText(int panel, const QString& text) {
    if (panel >= 1 && panel <= 3) {
        QLabel* label = m_panels[static_cast<std::size_t>(panel - 1)];
        label->setText(text);
        // The rectangle's figures: the design's widths hold "(8,8)" but cut "(150,138)"
        // after its first figure's digits. Those panels grow to show them whole.
        // (A label's size hint counts its minimum width, so that goes first.)
        if (panel > 1) {
            label->setMinimumWidth(0);
            label->setFixedWidth(
                std::max(twipsToPixelsX(kPanelWidths[panel - 1]), label->sizeHint().width()));
        }
    }
}

void MDIForm1::placeChild(ImageWindow* window) {
    m_mdiArea->addSubWindow(window);
    window->installEventFilter(this);  // Tab out of it (eventFilter)
    window->move(0, 0);
    window->show();
}

FmJpg& MDIForm1::fm_jpg() {
    if (!m_fmJpg) {
        m_fmJpg = new FmJpg;
        placeChild(m_fmJpg);
    }
    return *m_fmJpg;
}

FmCom& MDIForm1::fm_com() {
    if (!m_fmCom) {
        m_fmCom = new FmCom;
        connect(m_fmCom, &FmCom::statusPanelsChanged, this,
                [this](const QString& panel2, const QString& panel3) {
                    setPanelText(2, panel2);
                    setPanelText(3, panel3);
                });
        placeChild(m_fmCom);
    }
    return *m_fmCom;
}

void MDIForm1::unloadFmCom() {
    if (m_fmCom) {
        FmCom* window = m_fmCom;
        m_mdiArea->removeSubWindow(window);
        delete window;
    }
    // The panels describe that window's rectangle; the next one starts afresh.
    setPanelText(2, {});
    setPanelText(3, {});
}

void MDIForm1::cmd_nav(std::int16_t& Index) {
    // Every command runs under one trap: a run-time error ends the command silently,
    // leaving done what was done.
    try {
        switch (Index) {
            case 0:
                openCommand();
                break;
            case 1:
                saveAsCommand();
                break;
            case 2:
                helpCommand();
                break;
            case 3:
                cropToggleCommand();
                break;
            default:
                break;
        }
    } catch (...) {
    }
}

void MDIForm1::openCommand() {
    m_commonDialog.CancelError = true;
    m_commonDialog.Flags = kHideReadOnly;
    m_commonDialog.Filter = kOpenFilter;
    m_commonDialog.FilterIndex = 1;

    const std::optional<QString> chosen = m_ui->showOpen(this, m_commonDialog);
    if (!chosen) {
        throw RuntimeError(ErrorNumber::Cancelled, "Cancel was selected.");
    }
    m_commonDialog.FileName = *chosen;
    openChosenFile(*chosen);
}

void MDIForm1::openPicture(const QString& path) {
    // The same trap as the commands': a run-time error ends the open silently.
    try {
        // As after Open's dialog: Save As starts at this name, not at a picture
        // opened before it.
        m_commonDialog.FileName = path;
        openChosenFile(path);
    } catch (...) {
    }
}

bool MDIForm1::openChosenFile(const QString& path) {
    WaitCursor wait;

    // Read the picture and its size before anything changes, so that a file that cannot
    // be shown leaves every window and the shared state as they were. The version first:
    // a change while reading shows as one at the next pass.
    const std::optional<FileVersion> version = versionOf(path);
    const LoadedPicture picture = loadPicture(path);
    const QFileInfo info(path);
    if (!picture.ok()) {
        m_ui->messageBox(this, MessageIcon::Exclamation,
                         QStringLiteral("Vellora cannot show \"%1\".\n%2").arg(path, picture.error),
                         QMessageBox::Ok, QMessageBox::Ok);
        return false;
    }

    SharedState& state = sharedState();
    state.SourcePath = path;
    m_sourceVersion = version;
    m_workingFileCurrent = false;  // until a pass writes this picture's result
    unloadFmCom();
    FmJpg& window = fm_jpg();
    window.pic_photo()->setPicture(picture.image);
    setPanelText(1, state.SourcePath);
    window.setCaption(QStringLiteral("Original Image"));
    state.OriginalSize = info.size();
    window.setLabelCaption(texts::kFilesize + formatByteCount(state.OriginalSize) + texts::kBytes);
    sizeToPicture(window);
    compress();
    return true;
}

std::optional<FileVersion> MDIForm1::versionOf(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        return std::nullopt;
    }
    return fileVersion(info);
}

bool MDIForm1::sourceChangedSinceOpen() const {
    // A file that is gone is not "changed": the pass says it cannot read it.
    const std::optional<FileVersion> now = versionOf(sharedState().SourcePath);
    return m_sourceVersion && now && *now != *m_sourceVersion;
}

void MDIForm1::compress() {
    WaitCursor wait;
    if (runCompressionPass(sharedState(), *m_library, *this, WorkingFile())) {
        m_workingFileCurrent = true;
    }
}

bool MDIForm1::Crop() {
    WaitCursor wait;
    return runCropPass(sharedState(), *m_library, *this, WorkingFile());
}

void MDIForm1::showError(const QString& text) {
    m_ui->messageBox(this, MessageIcon::Exclamation, text, QMessageBox::Ok, QMessageBox::Ok);
}

void MDIForm1::saveAsCommand() {
    const QString working = WorkingFile();
    // Only a working file a pass wrote for the picture now open is ours to save: one
    // left behind by another run, or the result of an earlier picture, must not be
    // passed off as the user's picture.
    if (!m_workingFileCurrent) {
        if (sharedState().SourcePath.isEmpty()) {
            message(MessageIcon::Exclamation, texts::kNoFileOpen);
        } else {
            // A picture is open and shown: only its compression failed.
            showError(QStringLiteral("There is no compressed picture of \"%1\" to save: it "
                                     "could not be compressed.")
                          .arg(sharedState().SourcePath));
        }
        return;
    }
    const std::optional<QString> chosen = m_ui->showSave(this, m_commonDialog);
    if (!chosen) {
        if (m_commonDialog.CancelError) {
            throw RuntimeError(ErrorNumber::Cancelled, "Cancel was selected.");
        }
        return;
    }
    m_commonDialog.FileName = *chosen;
    const QString target = *chosen;

    const QFileInfo targetInfo(target);
    if (targetInfo.isDir()) {
        showError(QStringLiteral("Vellora could not save \"%1\".\nIt is a folder.").arg(target));
        return;
    }
    if (targetInfo.isSymLink() && !targetInfo.exists()) {
        // Written through, the picture would land where the link points, unasked; a
        // link in a loop would be replaced by the file without a question.
        showError(QStringLiteral("Vellora could not save \"%1\".\nIt is a link that leads to "
                                 "no file; choose another name.")
                      .arg(target));
        return;
    }
    if (targetInfo.exists() && !targetInfo.isFile()) {
        // A device, pipe or socket: the save's rename would replace the node itself.
        showError(QStringLiteral("Vellora could not save \"%1\".\nIt is not a regular file (a "
                                 "device, pipe or socket).")
                      .arg(target));
        return;
    }
    if (targetInfo.exists()) {
        const auto answer = m_ui->messageBox(
            this, MessageIcon::Question,
            QStringLiteral("\"%1\" already exists.\nDo you want to replace it?").arg(target),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            return;
        }
    }

    const QString opened = sharedState().SourcePath;
    const std::optional<FileVersion> targetBefore = versionOf(target);
    // The open picture's file, as it was opened or as its name leads now (another
    // program may have saved it anew, as vellora-cli --in-place does).
    const std::optional<FileVersion> sourceNow = versionOf(opened);
    const auto isSource = [&targetBefore](const std::optional<FileVersion>& source) {
        return source && targetBefore->device == source->device &&
               targetBefore->inode == source->inode;
    };
    const bool replacesSource = targetBefore && (isSource(m_sourceVersion) || isSource(sourceNow));

    // Only a rectangle on screen asks for a cut-out; a closed Compressed window has none
    // (and asking fm_com() would open an empty one).
    if (fmComLoaded() && fm_com().sh_crop()->Visible()) {
        // The cut-out is made from the file: one changed since it was opened is not the
        // picture the rectangle was drawn on.
        if (sourceChangedSinceOpen()) {
            // Opened again first, so that the message says what the windows now show
            // (when it cannot be, the open has said why).
            const bool shown = openChosenFile(opened);
            showError(QStringLiteral("Vellora did not save \"%1\".\n\"%2\" has changed since "
                                     "it was opened; %3")
                          .arg(target, opened,
                               shown ? QStringLiteral("it is shown again as it is now.")
                                     : QStringLiteral("draw the rectangle again on a picture "
                                                      "that can be opened.")));
            return;
        }
        // The user asked for a cut-out: when the crop pass ends with a message, save
        // nothing rather than the uncut or a broken picture; when it fails outright, say
        // so rather than end the command in silence.
        bool cut = false;
        try {
            cut = Crop();
        } catch (const RuntimeError& error) {
            showError(QStringLiteral("Vellora could not save \"%1\".\nThe picture could not be "
                                     "cut out: %2")
                          .arg(target, QString::fromStdString(error.what())));
            return;
        }
        if (!cut) {
            return;
        }
    }

    QFile source(working);
    if (working.isEmpty() || !source.open(QIODevice::ReadOnly)) {
        showError(QStringLiteral("Vellora could not save \"%1\".\nThere is no compressed picture "
                                 "to save: %2")
                      .arg(target, working.isEmpty() ? QStringLiteral("no working folder")
                                                     : source.errorString()));
        return;
    }
    const QByteArray contents = source.readAll();
    // Written beside the target and renamed over it only when complete, so a failure
    // never leaves a partial file or harms the file being replaced.
    // Unbuffered, so that a write the system refuses (disk full, a file-size limit)
    // fails in write() with the system's reason rather than later as "Unknown error".
    QSaveFile output(target);
    QString ownershipNote;
    const bool written = output.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
                         writeWhole(output, contents) &&
                         (targetBefore ? keepReplacedOwnership(output, target, ownershipNote)
                                       : keepSourcePrivacy(output, sourceNow, m_sourceVersion)) &&
                         output.commit();
    if (!written) {
        showError(
            QStringLiteral("Vellora could not save \"%1\".\n%2").arg(target, output.errorString()));
        return;
    }
    makeSaveDurable(target);
    if (replacesSource) {
        // The open picture is now the saved one: show it, its size, and what a pass makes
        // of it, rather than describe a file that is gone.
        openChosenFile(opened);
    }
    if (!ownershipNote.isEmpty()) {
        m_ui->messageBox(
            this, MessageIcon::Information,
            QStringLiteral("\"%1\" was saved, but it is %2.").arg(target, ownershipNote),
            QMessageBox::Ok, QMessageBox::Ok);
    }
}

void MDIForm1::helpCommand() {
    // A help button that does nothing leaves the user guessing; say what stands in the
    // way (a missing page, or no program to show it: the package only recommends one).
    // The page is looked for first: the desktop's opener takes any address and fails
    // later, out of sight.
    const QString page = helpPageAddress();
    const QUrl address(page);
    const QString shown = address.isLocalFile() ? address.toLocalFile() : page;
    if (address.isLocalFile() && !QFileInfo::exists(shown)) {
        showError(
            QStringLiteral("Vellora could not open its help.\nThe page \"%1\" is not installed.")
                .arg(shown));
    } else if (!ShellOpen(this, page, 1)) {
        showError(QStringLiteral("Vellora could not open its help.\nNo program to show \"%1\" "
                                 "was found; open it in a web browser.")
                      .arg(shown));
    }
}

void MDIForm1::cropToggleCommand() {
    CropShape* shape = fm_com().sh_crop();
    shape->setVisible(!shape->Visible());
}

frmAbout* MDIForm1::aboutWindow() const {
    return m_about.data();
}

void MDIForm1::mnu_h_Click(int Index) {
    if (Index == 0) {
        helpCommand();
    } else if (Index == 2) {
        if (!m_about) {
            m_about = new frmAbout(this, ShellOpen);
            // A dialog of the main window for the window manager (no taskbar entry of its
            // own), while staying modeless and without a Qt owner.
            m_about->winId();
            if (m_about->windowHandle() && windowHandle()) {
                m_about->windowHandle()->setTransientParent(windowHandle());
            }
        }
        m_about->show();
        m_about->raise();
        m_about->activateWindow();
    }
}

void MDIForm1::cmd_toolbar_Click(int Index) {
    auto index = static_cast<std::int16_t>(Index);
    cmd_nav(index);
}

void MDIForm1::mnu_f_Click(int Index) {
    if (Index >= 0 && Index <= 4) {
        auto index = static_cast<std::int16_t>(Index);
        cmd_nav(index);
    } else if (Index == 5) {
        currentPlatform().endProgram();
    }
}

void MDIForm1::Slider1_Click() {
    if (sourceChangedSinceOpen()) {
        openChosenFile(sharedState().SourcePath);  // shows it as it is now, then compresses
        return;
    }
    compress();
}

void MDIForm1::MDIForm_MouseMove() {
    setScreenMousePointer(PointerShape::Default);
}

void MDIForm1::Picture1_MouseMove() {
    setScreenMousePointer(PointerShape::Default);
}

void MDIForm1::cmd_toolbar_MouseMove() {
    setScreenMousePointer(PointerShape::Default);
}

void MDIForm1::MDIForm_Unload() {
    // Nothing here may stop the program from ending.
    try {
        const QString working = WorkingFile();
        if (!working.isEmpty()) {
            QFile::remove(working);
        }
    } catch (...) {
    }
    currentPlatform().endProgram();
}

namespace {

// The local files among the dropped addresses, in the order given. Web addresses,
// another host's files and plain text name nothing Vellora could open.
QStringList droppedFiles(const QMimeData* data) {
    QStringList files;
    if (data != nullptr && data->hasUrls()) {
        for (const QUrl& url : data->urls()) {
            if (const QString file = localFileOf(url); !file.isEmpty()) {
                files << file;
            }
        }
    }
    return files;
}

// Takes a drag that carries files, always as a copy (or a link): accepting the move a
// file manager proposes by default would tell it to delete the user's original.
bool acceptFiles(QDropEvent* event) {
    if (droppedFiles(event->mimeData()).isEmpty()) {
        return false;
    }
    for (const Qt::DropAction action : {Qt::CopyAction, Qt::LinkAction}) {
        if (event->possibleActions() & action) {
            event->setDropAction(action);
            event->accept();
            return true;
        }
    }
    return false;
}

}  // namespace

void MDIForm1::dragEnterEvent(QDragEnterEvent* event) {
    // Anything that is not a file is refused here, so the pointer says so at once.
    acceptFiles(event);
}

void MDIForm1::dragMoveEvent(QDragMoveEvent* event) {
    acceptFiles(event);
}

void MDIForm1::dropEvent(QDropEvent* event) {
    if (!acceptFiles(event)) {
        return;
    }
    const QStringList files = droppedFiles(event->mimeData());
    const qsizetype ignored = event->mimeData()->urls().size() - 1;
    // Opened once the drop has returned: a message box shown from inside the drop would
    // keep the file manager that sent it waiting until the user closes it.
    QMetaObject::invokeMethod(
        this,
        [this, path = files.first(), ignored] {
            openPicture(path);
            if (ignored > 0) {
                m_statusBar->showMessage(
                    ignored == 1 ? QStringLiteral("1 more dropped item was ignored: Vellora "
                                                  "opens one picture at a time.")
                                 : QStringLiteral("%1 more dropped items were ignored: Vellora "
                                                  "opens one picture at a time.")
                                       .arg(ignored),
                    kIgnoredDropsMessageMs);
            }
        },
        Qt::QueuedConnection);
}

void MDIForm1::closeEvent(QCloseEvent* event) {
    MDIForm_Unload();
    event->accept();
}

bool MDIForm1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && qobject_cast<ImageWindow*>(watched)) {
        // A picture window holds nothing to type into, and a sub-window keeps Tab to
        // itself: without this, once a picture was open the keyboard could never reach
        // the buttons or the slider again. Tab goes to the first button, Shift+Tab to
        // the slider; Ctrl+Tab still goes from window to window.
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool shift = key->modifiers().testFlag(Qt::ShiftModifier);
        if ((key->modifiers() & ~Qt::ShiftModifier) == Qt::NoModifier &&
            (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab)) {
            if (key->key() == Qt::Key_Tab && !shift) {
                m_toolbar[0]->setFocus(Qt::TabFocusReason);
            } else {
                m_slider->setFocus(Qt::BacktabFocusReason);
            }
            return true;
        }
    }
    if (event->type() == QEvent::MouseMove) {
        if (watched == m_mdiArea->viewport()) {
            MDIForm_MouseMove();
        } else if (watched == m_picture1) {
            Picture1_MouseMove();
        } else {
            for (QToolButton* button : m_toolbar) {
                if (watched == button) {
                    cmd_toolbar_MouseMove();
                    break;
                }
            }
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

// The compression pass's view.

void MDIForm1::message(MessageIcon icon, const QString& text) {
    m_ui->messageBox(this, icon, text, QMessageBox::Ok, QMessageBox::Ok);
}

void MDIForm1::setMainCaption(const QString& caption) {
    setWindowTitle(caption);
}

int MDIForm1::sliderValue() {
    return m_slider->value();
}

void MDIForm1::setCompressedCaption(const QString& caption) {
    fm_com().setCaption(caption);
}

void MDIForm1::showCompressed() {
    fm_com().show();
}

void MDIForm1::loadCompressedPicture(const QString& path) {
    const LoadedPicture picture = loadPicture(path);
    if (!picture.ok()) {
        throw RuntimeError(ErrorNumber::Other, picture.error.toStdString());
    }
    fm_com().pic_photo()->setPicture(picture.image);
}

void MDIForm1::repaintCompressed() {
    fm_com().pic_photo()->repaint();
}

void MDIForm1::sizeCompressedToPicture() {
    sizeToPicture(fm_com());
}

void MDIForm1::setCompressedLabel(const QString& text) {
    fm_com().setLabelCaption(text);
}

float MDIForm1::cropLeft() {
    return fm_com().sh_crop()->Left();
}

float MDIForm1::cropTop() {
    return fm_com().sh_crop()->Top();
}

float MDIForm1::cropWidth() {
    return fm_com().sh_crop()->Width();
}

float MDIForm1::cropHeight() {
    return fm_com().sh_crop()->Height();
}

float MDIForm1::twipsPerPixelX() {
    return TwipsPerPixelX();
}

float MDIForm1::twipsPerPixelY() {
    return TwipsPerPixelY();
}

}  // namespace vellora
