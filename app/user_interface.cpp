#include "user_interface.h"

#include <QFileDialog>
#include <QGuiApplication>

namespace vellora {
namespace {

std::optional<QString> runDialog(QWidget* parent, const CommonDialog& settings,
                                 QFileDialog::AcceptMode mode) {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(mode);
    // No overwrite prompt and no existence check: the commands decide what to do with
    // whatever name the user gives.
    dialog.setFileMode(QFileDialog::AnyFile);
    // The descriptions carry their own pattern text; show them as they are.
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    const QStringList filters = qtNameFilters(settings.Filter);
    if (!filters.isEmpty()) {
        dialog.setNameFilters(filters);
        const int index = settings.FilterIndex - 1;
        if (index >= 0 && index < filters.size()) {
            dialog.selectNameFilter(filters.at(index));
        }
    }
    if (!settings.FileName.isEmpty()) {
        dialog.selectFile(settings.FileName);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().constFirst();
}

QMessageBox::Icon qtIcon(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Exclamation:
            return QMessageBox::Warning;
        case MessageIcon::Information:
            return QMessageBox::Information;
        case MessageIcon::Question:
            return QMessageBox::Question;
        case MessageIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

QStringList qtNameFilters(const QString& filter) {
    QStringList result;
    const QStringList parts = filter.split(QLatin1Char('|'));
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts.at(i + 1);
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        // Qt reads the patterns from the last parentheses of each entry.
        result << parts.at(i) + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    return result;
}

std::optional<QString> QtUserInterface::showOpen(QWidget* parent, const CommonDialog& dialog) {
    return runDialog(parent, dialog, QFileDialog::AcceptOpen);
}

std::optional<QString> QtUserInterface::showSave(QWidget* parent, const CommonDialog& dialog) {
    return runDialog(parent, dialog, QFileDialog::AcceptSave);
}

QMessageBox::StandardButton QtUserInterface::messageBox(QWidget* parent, MessageIcon icon,
                                                        const QString& text,
                                                        QMessageBox::StandardButtons buttons,
                                                        QMessageBox::StandardButton defaultButton) {
    QMessageBox box(qtIcon(icon), kApplicationTitle, text, buttons, parent);
    box.setDefaultButton(defaultButton);
    // An ordinary pointer over the box, even while a pass shows the hourglass.
    QGuiApplication::setOverrideCursor(Qt::ArrowCursor);
    const auto answer = static_cast<QMessageBox::StandardButton>(box.exec());
    QGuiApplication::restoreOverrideCursor();
    return answer;
}

}  // namespace vellora
