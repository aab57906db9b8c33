#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace vellora {

class MDIForm1;

// The about window: title, version, the maker's details and two links. Shown modeless
// and without an owner; the main window is only the owner of the links' shell requests.
class frmAbout : public QDialog {
    Q_OBJECT
public:
    explicit frmAbout(MDIForm1* main);

    [[nodiscard]] QLabel* picIcon() const { return m_picIcon; }
    [[nodiscard]] QLabel* lblTitle() const { return m_lblTitle; }
    [[nodiscard]] QLabel* lblVersion() const { return m_lblVersion; }
    [[nodiscard]] QWidget* Picture1() const { return m_panel; }
    [[nodiscard]] QLabel* Label(int index) const;  // Label1 to Label5
    [[nodiscard]] QPushButton* cmd_abt(int index) const;

    // Event handlers.
    void Form_Load();
    void picIcon_Click();
    void Label2_Click();
    void cmd_abt_Click(int Index);

    // The maker's details.
    static const QString kMakerName;
    static const QString kMakerStreet;
    static const QString kMakerCity;
    static const QString kLegalNotice;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    MDIForm1* m_main;
    QLabel* m_picIcon;
    QLabel* m_lblTitle;
    QLabel* m_lblVersion;
    QWidget* m_panel;
    QLabel* m_labels[5];
    QPushButton* m_continue;
};

}  // namespace vellora
