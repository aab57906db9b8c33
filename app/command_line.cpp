#include "command_line.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include "common/application_title.h"
#include "common/build_config.h"
#include "platform/tidy_path.h"

namespace vellora {
namespace {

// `path` (absolute) without ".." parts, for the title and the dialogs. Where the
// folder exists it is asked where it really is: after a link to a folder, ".." is that
// folder's parent, and cutting "link/.." out of the text would open another picture.
// The file's own name stays as given, a link included.
QString withoutParentSteps(const QString& path) {
    const QString tidied = tidyPath(path);
    const qsizetype slash = tidied.lastIndexOf(QLatin1Char('/'));
    const QString folder = tidied.left(slash);
    if (!folder.split(QLatin1Char('/')).contains(QStringLiteral(".."))) {
        return tidied;
    }
    const QString real = QFileInfo(folder).canonicalFilePath();
    return real.isEmpty() ? QDir::cleanPath(tidied)
                          : QDir::cleanPath(real + QLatin1Char('/') + tidied.mid(slash + 1));
}

}  // namespace

QString localFileOf(const QUrl& url) {
    if (!url.isLocalFile()) {
        return {};
    }
    const QString host = url.host();
    if (!host.isEmpty() && host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0) {
        return {};
    }
    // Qt gives "//localhost/x" for file://localhost/x: the host goes first.
    QUrl local = url;
    local.setHost(QString());
    return local.toLocalFile();
}

CommandLine parseCommandLine(const QStringList& arguments, const QString& workingDirectory) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Makes JPEG and BMP pictures smaller: shows FILE, if given, beside "
                       "its re-encoded form."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("A JPEG or BMP picture to open."),
                                 QStringLiteral("[FILE]"));

    CommandLine result;
    const QString usage = QStringLiteral("Try 'vellora --help' for more information.\n");
    if (!parser.parse(arguments)) {
        result.exitCode = 2;
        result.output = parser.errorText() + QLatin1Char('\n') + usage;
        return result;
    }
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        result.exitCode = 0;
        result.output = parser.helpText();
        return result;
    }
    if (parser.isSet(version)) {
        result.exitCode = 0;
        result.output =
            QStringLiteral("%1 %2\n").arg(kApplicationTitle, QStringLiteral(VELLORA_VERSION));
        return result;
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1) {
        result.exitCode = 2;
        result.output = QStringLiteral("Only one file can be opened at a time.\n") + usage;
        return result;
    }
    if (files.size() == 1) {
        const QString& given = files.first();
        QString path = given;
        if (given.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
            path = localFileOf(QUrl(given));
        }
        if (path.isEmpty()) {
            result.exitCode = 2;
            result.output =
                QStringLiteral("\"%1\" does not name a local file.\n").arg(given) + usage;
            return result;
        }
        // The full path, as the Open dialog would give it; links are kept as named.
        result.file = withoutParentSteps(QDir(workingDirectory).absoluteFilePath(path));
    }
    return result;
}

}  // namespace vellora
