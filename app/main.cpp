// Vellora's entry point: show the main window; from then on everything runs from
// window events.
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>

#include "app/mdiform1.h"
#include "common/build_config.h"
#include "platform/platform.h"

namespace {

int g_signalSocket[2] = {-1, -1};

void onTerminationSignal(int) {
    const char byte = 1;
    (void)!::write(g_signalSocket[1], &byte, 1);
}

// A logout, kill or Ctrl-C ends the program the same way as closing its window would at
// once: the private directory with the working file goes too. The signal only wakes the
// event loop; the work happens there, outside the signal handler.
void endOnTerminationSignals(QObject* owner) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalSocket) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(g_signalSocket[0], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner,
                     [] { vellora::currentPlatform().endProgram(); });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
        sigaction(signal, &action, nullptr);
    }
}

void Main() {
    auto* window = new vellora::MDIForm1;  // lives until the program ends
    window->show();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vellora"));
    QApplication::setApplicationVersion(QStringLiteral(VELLORA_VERSION));
    endOnTerminationSignals(&application);
    // Clears what killed instances left behind and makes this instance's private
    // directory, locked for as long as it runs.
    vellora::preparePrivateDirectory();
    Main();
    return QApplication::exec();
}
