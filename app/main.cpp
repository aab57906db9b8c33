// Vellora's entry point: show the main window; from then on everything runs from
// window events.
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string_view>

#include "app/command_line.h"
#include "app/mdiform1.h"
#include "common/build_config.h"
#include "platform/platform.h"

namespace {

int g_signalSocket[2] = {-1, -1};

void onTerminationSignal(int) {
    const int interrupted = errno;  // the code the signal interrupted may be about to read it
    const char byte = 1;
    (void)!::write(g_signalSocket[1], &byte, 1);
    errno = interrupted;
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
        // Ignored at the start (nohup vellora &) stays ignored.
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(signal, &action, nullptr);
    }
    // A file-size limit (ulimit -f) must fail the write with its reason, as a full disk
    // does, not kill the program with the picture on screen and its folder left behind.
    std::signal(SIGXFSZ, SIG_IGN);
}

void Main(const std::optional<QString>& file) {
    auto* window = new vellora::MDIForm1;  // lives until the program ends
    window->show();
    if (file) {
        // Opened from the event loop, once the window is on screen, exactly as an Open
        // would after its dialog.
        QTimer::singleShot(0, window, [window, path = *file] { window->openPicture(path); });
    }
}

void nameApplication() {
    QCoreApplication::setApplicationName(QStringLiteral("Vellora"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELLORA_VERSION));
}

// Prints what the command line asks for instead of a start; returns the exit status.
int printOnly(const vellora::CommandLine& commandLine) {
    std::fputs(commandLine.output.toLocal8Bit().constData(),
               *commandLine.exitCode == 0 ? stdout : stderr);
    return *commandLine.exitCode;
}

// Options QApplication takes for itself (with one dash or two) and removes before the
// program sees its arguments.
bool mayBeForQt(std::string_view argument) {
    if (argument.size() < 2 || argument[0] != '-') {
        return false;
    }
    argument.remove_prefix(argument[1] == '-' ? 2 : 1);
    for (const char* option : {"platform",      "platformpluginpath",
                               "platformtheme", "plugin",
                               "qmljsdebugger", "qwindowgeometry",
                               "geometry",      "qwindowicon",
                               "icon",          "qwindowtitle",
                               "title",         "reverse",
                               "session",       "display",
                               "name",          "style",
                               "stylesheet",    "widgetcount",
                               "nograb",        "dograb",
                               "visual",        "ncols",
                               "cmap",          "fontengine"}) {
        if (argument.substr(0, argument.find('=')) == option) {
            return true;
        }
    }
    return false;
}

// What the command line asks for, read without a display: --help, --version and a wrong
// command line are answered in a terminal without a desktop (a package check, a remote
// shell, a typo). When an argument may be one of QApplication's own, the answer waits for
// QApplication to take those out; nullopt then, and for an ordinary start.
std::optional<vellora::CommandLine> answerWithoutDisplay(int argc, char** argv) {
    bool forQt = false;
    for (int i = 1; i < argc && std::string_view(argv[i]) != "--"; ++i) {
        forQt = forQt || mayBeForQt(argv[i]);
    }
    QCoreApplication core(argc, argv);
    nameApplication();
    vellora::CommandLine commandLine =
        vellora::parseCommandLine(QCoreApplication::arguments(), QDir::currentPath());
    if (!commandLine.exitCode || (forQt && *commandLine.exitCode != 0)) {
        return std::nullopt;
    }
    return commandLine;
}

}  // namespace

int main(int argc, char** argv) {
    vellora::guardStandardStreams();
    if (const std::optional<vellora::CommandLine> answer = answerWithoutDisplay(argc, argv)) {
        return printOnly(*answer);
    }
    QApplication application(argc, argv);
    nameApplication();
    const vellora::CommandLine commandLine =
        vellora::parseCommandLine(QApplication::arguments(), QDir::currentPath());
    if (commandLine.exitCode) {
        return printOnly(commandLine);
    }
    endOnTerminationSignals(&application);
    // Clears what killed instances left behind and makes this instance's private
    // directory, locked for as long as it runs.
    vellora::preparePrivateDirectory();
    Main(commandLine.file);
    return QApplication::exec();
}
