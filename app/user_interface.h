#pragma once
// The modal conversations with the user: the common file dialog and message boxes.
// The program uses Qt's (QtUserInterface); tests install a scripted one.

#include <QMessageBox>
#include <QString>
#include <optional>

#include "common/application_title.h"
#include "passes/pass_support.h"

class QWidget;

namespace vellora {

// The file dialog's settings. They persist across uses within a run: the last chosen
// name is where the next dialog starts, whether it was an Open or a Save As.
struct CommonDialog {
    bool CancelError = false;
    int Flags = 0;
    QString Filter;  // "description|patterns|description|patterns..."
    int FilterIndex = 0;
    QString FileName;
};

// The classic dialog flag that hides the read-only check box; the only flag Vellora sets.
inline constexpr int kHideReadOnly = 4;

// Qt name filters ("description (*.a *.b)") for a classic filter text.
[[nodiscard]] QStringList qtNameFilters(const QString& filter);

class UserInterface {
public:
    virtual ~UserInterface() = default;
    // The chosen name, or nothing when the user cancelled.
    [[nodiscard]] virtual std::optional<QString> showOpen(QWidget* parent,
                                                          const CommonDialog& dialog) = 0;
    [[nodiscard]] virtual std::optional<QString> showSave(QWidget* parent,
                                                          const CommonDialog& dialog) = 0;
    // A modal message box titled "Vellora".
    virtual QMessageBox::StandardButton messageBox(QWidget* parent, MessageIcon icon,
                                                   const QString& text,
                                                   QMessageBox::StandardButtons buttons,
                                                   QMessageBox::StandardButton defaultButton) = 0;
};

class QtUserInterface final : public UserInterface {
public:
    std::optional<QString> showOpen(QWidget* parent, const CommonDialog& dialog) override;
    std::optional<QString> showSave(QWidget* parent, const CommonDialog& dialog) override;
    QMessageBox::StandardButton messageBox(QWidget* parent, MessageIcon icon, const QString& text,
                                           QMessageBox::StandardButtons buttons,
                                           QMessageBox::StandardButton defaultButton) override;
};

}  // namespace vellora
