// Vellora's entry point: show the main window; from then on everything runs from
// window events.
#include <QApplication>

#include "app/mdiform1.h"
#include "build_config.h"

namespace {

void Main() {
    auto* window = new vellora::MDIForm1;  // lives until the program ends
    window->show();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vellora"));
    QApplication::setApplicationVersion(QStringLiteral(VELLORA_VERSION));
    Main();
    return QApplication::exec();
}
