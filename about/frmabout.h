#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>

class QLabel;
class QPushButton;

namespace vellora {

// The about window: title, version, the maker's details and two links. Shown modeless
// and without a parent; the owner given here only owns the links' shell requests, which
// go through the shell-open function the caller hands in (the platform's ShellOpen in
// the program, a recorder in tests).
class frmAbout : public QDialog {
    Q_OBJECT
public:
    using ShellOpenFunction =
        std::function<void(const QObject* owner, const QString& target, std::int32_t showCommand)>;

    frmAbout(QWidget* owner, ShellOpenFunction shellOpen);

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
    QWidget* m_owner;
    ShellOpenFunction m_shellOpen;
    QLabel* m_picIcon;
    QLabel* m_lblTitle;
    QLabel* m_lblVersion;
    QWidget* m_panel;
    QLabel* m_labels[5];
    QPushButton* m_continue;
};

}  // namespace vellora
