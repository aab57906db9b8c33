#pragma once

#include <QMainWindow>
#include <QPointer>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>

#include "app/user_interface.h"
#include "passes/compression_pass.h"
#include "passes/crop_pass.h"
#include "platform/file_ownership.h"

class QLabel;
class QMdiArea;
class QMenu;
class QAction;
class QToolButton;
class QStatusBar;

namespace vellora {

class ClickSlider;
class FmJpg;
class FmCom;
class ImageWindow;
class frmAbout;

// The main window: menus, the toolbar strip with the quality slider, the status bar,
// and the MDI area that holds the two picture windows. It runs the commands and the
// passes.
class MDIForm1 : public QMainWindow, private CompressionView, private CropView {
    Q_OBJECT
public:
    // Null arguments: Qt's dialogs and the image library module. Both are not owned.
    explicit MDIForm1(UserInterface* ui = nullptr, PassLibrary* library = nullptr);
    ~MDIForm1() override;

    // Controls, by their names.
    [[nodiscard]] QWidget* Picture1() const { return m_picture1; }
    [[nodiscard]] QToolButton* cmd_toolbar(int index) const;
    [[nodiscard]] QLabel* Label1() const { return m_label1; }
    [[nodiscard]] ClickSlider* Slider1() const { return m_slider; }
    [[nodiscard]] QLabel* lbl_compress() const { return m_lblCompress; }
    [[nodiscard]] QStatusBar* StatusBar1() const { return m_statusBar; }
    [[nodiscard]] CommonDialog& CommonDialog1() { return m_commonDialog; }
    [[nodiscard]] QMdiArea* mdiArea() const { return m_mdiArea; }
    [[nodiscard]] QMenu* mnu(int index) const;
    // Menu items by element number; null for numbers that do not exist.
    [[nodiscard]] QAction* mnu_f(int index) const;
    [[nodiscard]] QAction* mnu_h(int index) const;

    // Status bar panel texts, counted from 1.
    [[nodiscard]] QString panelText(int panel) const;
    void setPanelText(int panel, const QString& text);

    // The picture windows, loaded (created and shown) on first use.
    [[nodiscard]] FmJpg& fm_jpg();
    [[nodiscard]] FmCom& fm_com();
    [[nodiscard]] bool fmJpgLoaded() const { return !m_fmJpg.isNull(); }
    [[nodiscard]] bool fmComLoaded() const { return !m_fmCom.isNull(); }
    void unloadFmCom();
    // The about window, when it is open.
    [[nodiscard]] frmAbout* aboutWindow() const;

    // Public routines.
    void cmd_nav(std::int16_t& Index);
    // Opens a picture named from outside the program (the command line, a drop): the
    // same steps, checks and messages as the Open command once its dialog has returned
    // `path`, under the same trap.
    void openPicture(const QString& path);
    void compress();
    // Returns true when the working file now holds the cut-out.
    bool Crop();

    // Event handlers.
    void cmd_toolbar_Click(int Index);
    void mnu_f_Click(int Index);
    void mnu_h_Click(int Index);
    void Slider1_Click();
    void MDIForm_MouseMove();
    void Picture1_MouseMove();
    void cmd_toolbar_MouseMove();
    void MDIForm_Unload();

    // The filter text the Open command gives the file dialog.
    static const QString kOpenFilter;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void buildToolbarStrip();
    void buildMenus();
    void buildStatusBar();
    void placeChild(ImageWindow* window);
    void openCommand();
    // True when the picture is shown; otherwise a message said why not.
    bool openChosenFile(const QString& path);
    void saveAsCommand();
    void helpCommand();
    void cropToggleCommand();
    void showError(const QString& text);

    // The compression pass's view of the windows.
    void message(MessageIcon icon, const QString& text) override;
    void setMainCaption(const QString& caption) override;
    int sliderValue() override;
    void setCompressedCaption(const QString& caption) override;
    void showCompressed() override;
    void loadCompressedPicture(const QString& path) override;
    void repaintCompressed() override;
    void sizeCompressedToPicture() override;
    void setCompressedLabel(const QString& text) override;

    // The crop pass's view (message, captions and the slider are shared with the above).
    float cropLeft() override;
    float cropTop() override;
    float cropWidth() override;
    float cropHeight() override;
    float twipsPerPixelX() override;
    float twipsPerPixelY() override;

    std::unique_ptr<UserInterface> m_ownUi;
    UserInterface* m_ui;
    std::unique_ptr<PassLibrary> m_ownLibrary;
    PassLibrary* m_library;

    QWidget* m_picture1 = nullptr;
    std::array<QToolButton*, 4> m_toolbar{};
    QLabel* m_label1 = nullptr;
    ClickSlider* m_slider = nullptr;
    QLabel* m_lblCompress = nullptr;
    QStatusBar* m_statusBar = nullptr;
    std::array<QLabel*, 3> m_panels{};
    QMdiArea* m_mdiArea = nullptr;
    std::array<QMenu*, 2> m_menus{};
    std::map<int, QAction*> m_fileItems;
    std::map<int, QAction*> m_helpItems;
    CommonDialog m_commonDialog;

    QPointer<FmJpg> m_fmJpg;
    QPointer<FmCom> m_fmCom;
    QPointer<frmAbout> m_about;
    // Whether the working file holds a pass's result for the picture now open: only
    // then is there something of ours to save.
    bool m_workingFileCurrent = false;
    // The open picture's file as it was when it was read. The passes read the file
    // again; one saved over since (by Save As or another program) is opened again
    // first, so that its window, its size and the share saved describe what they read.
    [[nodiscard]] static std::optional<FileVersion> versionOf(const QString& path);
    [[nodiscard]] bool sourceChangedSinceOpen() const;
    std::optional<FileVersion> m_sourceVersion;
};

}  // namespace vellora
