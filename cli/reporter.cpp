#include "reporter.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include "cli/display_name.h"

namespace vellora::cli {
namespace {

const char* statusName(FileStatus status) {
    switch (status) {
        case FileStatus::Ok:
            return "ok";
        case FileStatus::Skipped:
            return "skipped";
        case FileStatus::Failed:
            break;
    }
    return "failed";
}

QJsonValue bytesValue(std::int64_t bytes) {
    return bytes < 0 ? QJsonValue() : QJsonValue(static_cast<qint64>(bytes));
}

// A file name in a report object: as text with anything unshowable escaped (see
// display_name.h) and, when that is not the name exactly, its bytes as "<key>_base64".
void insertName(QJsonObject& object, const QString& key, const QString& name) {
    object.insert(key, displayText(name));
    const QByteArray raw = rawNameBase64(name);
    if (!raw.isEmpty()) {
        object.insert(key + QStringLiteral("_base64"), QString::fromLatin1(raw));
    }
}

QString percentText(double percent) {
    return QString::number(percent, 'f', 1) + QLatin1Char('%');
}

// Present only when the mode is used, so the objects of plain runs stay as they were.
void addRoundTwoFields(QJsonObject& object, const FileResult& result) {
    if (result.lossless) {
        object.insert(QStringLiteral("lossless"), true);
    }
    if (result.encodes > 0) {
        object.insert(QStringLiteral("ssim"),
                      result.ssim ? QJsonValue(*result.ssim) : QJsonValue());
        object.insert(QStringLiteral("encodes"), result.encodes);
        if (result.multiScale) {
            object.insert(QStringLiteral("multi_scale"), true);
        }
    }
    if (result.dryRun) {
        object.insert(QStringLiteral("dry_run"), true);
    }
}

QString qualityText(const FileResult& result) {
    if (result.lossless) {
        return QStringLiteral("lossless");
    }
    QString text = QStringLiteral("quality %1").arg(result.quality);
    if (result.ssim) {
        text += QStringLiteral(", %1 %2")
                    .arg(result.multiScale ? QStringLiteral("MS-SSIM") : QStringLiteral("SSIM"))
                    .arg(*result.ssim, 0, 'f', 4);
    }
    return text;
}

}  // namespace

Reporter::Reporter(Settings settings, std::size_t total, std::FILE* out, std::FILE* err)
    : m_settings(settings),
      m_total(total),
      m_out(out),
      m_err(err),
      m_showBar(settings.terminal && total > 1),
      m_chatty(settings.terminal || settings.verbose) {
    std::lock_guard lock(m_mutex);
    drawBar();
}

void Reporter::fileDone(std::size_t index, const FileResult& result) {
    std::lock_guard lock(m_mutex);
    ++m_done;
    m_waiting.emplace(index, result);
    clearBar();
    for (auto next = m_waiting.find(m_nextToReport); next != m_waiting.end();
         next = m_waiting.find(m_nextToReport)) {
        report(next->second);
        m_waiting.erase(next);
        ++m_nextToReport;
    }
    drawBar();
}

void Reporter::report(const FileResult& result) {
    ++m_totals.files;
    const QString name = result.input;
    switch (result.status) {
        case FileStatus::Ok:
            ++m_totals.written;
            m_totals.bytesBefore += std::max<std::int64_t>(result.bytesBefore, 0);
            m_totals.bytesAfter += std::max<std::int64_t>(result.bytesAfter, 0);
            if (m_settings.verbose) {
                printLine(m_err, verboseLine(result));
            }
            // Always told: the file was written, but not all the user had came along.
            for (const QString& warning : result.warnings) {
                printLine(m_err, kProgramName + QStringLiteral(": ") + name +
                                     QStringLiteral(": warning: ") + warning);
            }
            break;
        case FileStatus::Skipped:
            ++m_totals.skipped;
            if (m_chatty) {
                printLine(m_err, kProgramName + QStringLiteral(": ") + name +
                                     QStringLiteral(": skipped: ") + result.message);
            }
            break;
        case FileStatus::Failed:
            ++m_totals.failed;
            printLine(m_err, kProgramName + QStringLiteral(": ") + name + QStringLiteral(": ") +
                                 result.message);
            break;
    }
    if (m_settings.json) {
        // Under -n every object says so, a skip or a failure too: a script reading one
        // line must be able to tell that nothing was written.
        FileResult shown = result;
        shown.dryRun = shown.dryRun || m_settings.dryRun;
        const QByteArray line = jsonLine(shown) + '\n';
        std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), m_out);
        std::fflush(m_out);
    }
}

void Reporter::finish(std::size_t notStarted) {
    std::lock_guard lock(m_mutex);
    clearBar();
    m_showBar = false;
    if (notStarted > 0) {
        printLine(m_err, kProgramName +
                             QStringLiteral(": interrupted; %1 file(s) not done").arg(notStarted));
    }
    if (m_settings.json) {
        const QByteArray line = summaryJson(m_totals, notStarted, m_settings.dryRun) + '\n';
        std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), m_out);
        std::fflush(m_out);
    }
    // The text summary is for the person watching stderr; with the JSON on stderr too
    // (a picture on stdout), the JSON summary says it.
    if (m_chatty && !(m_settings.json && m_out == m_err)) {
        printLine(m_err, summaryLine(m_totals, m_settings.dryRun));
    }
}

BatchTotals Reporter::totals() const {
    std::lock_guard lock(m_mutex);
    return m_totals;
}

QByteArray Reporter::jsonLine(const FileResult& result) {
    QJsonObject object;
    insertName(object, QStringLiteral("input"), result.input);
    if (result.output.isEmpty()) {
        object.insert(QStringLiteral("output"), QJsonValue());
    } else {
        insertName(object, QStringLiteral("output"), result.output);
    }
    object.insert(QStringLiteral("status"), QLatin1String(statusName(result.status)));
    object.insert(QStringLiteral("bytes_before"), bytesValue(result.bytesBefore));
    // A failure made nothing to measure: a result it had in hand (a size target missed,
    // stdout closed) was not written, and a quality set up for an encode that never
    // ran was not used. A script summing saved_percent must not count either.
    const bool failed = result.status == FileStatus::Failed;
    const std::int64_t after = failed ? -1 : result.bytesAfter;
    object.insert(QStringLiteral("bytes_after"), bytesValue(after));
    object.insert(QStringLiteral("saved_percent"),
                  result.bytesBefore >= 0 && after >= 0
                      ? QJsonValue(savedPercent(result.bytesBefore, after))
                      : QJsonValue());
    object.insert(QStringLiteral("quality"),
                  result.quality > 0 && !failed ? QJsonValue(result.quality) : QJsonValue());
    object.insert(QStringLiteral("error"), result.status == FileStatus::Ok
                                               ? QJsonValue()
                                               : QJsonValue(displayText(result.message)));
    if (!result.warnings.isEmpty()) {
        QJsonArray warnings;
        for (const QString& warning : result.warnings) {
            warnings.append(displayText(warning));
        }
        object.insert(QStringLiteral("warnings"), warnings);
    }
    addRoundTwoFields(object, result);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray Reporter::summaryJson(const BatchTotals& totals, std::size_t notStarted, bool dryRun) {
    QJsonObject object;
    object.insert(QStringLiteral("summary"), true);
    if (dryRun) {
        // "written" then counts what would be written; a script reading only the summary
        // must be able to tell that nothing was.
        object.insert(QStringLiteral("dry_run"), true);
    }
    object.insert(QStringLiteral("files"), totals.files);
    object.insert(QStringLiteral("written"), totals.written);
    object.insert(QStringLiteral("skipped"), totals.skipped);
    object.insert(QStringLiteral("failed"), totals.failed);
    object.insert(QStringLiteral("not_done"), static_cast<qint64>(notStarted));
    object.insert(QStringLiteral("bytes_before"), static_cast<qint64>(totals.bytesBefore));
    object.insert(QStringLiteral("bytes_after"), static_cast<qint64>(totals.bytesAfter));
    object.insert(QStringLiteral("saved_percent"),
                  savedPercent(totals.bytesBefore, totals.bytesAfter));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString Reporter::verboseLine(const FileResult& result) {
    // One arg() for all: names may hold "%2" (downloaded names do), which a chain of
    // arg() calls would take for a place to fill.
    return QStringLiteral("%1%2 -> %3: %4 -> %5 bytes, %6 saved, %7")
        .arg(result.dryRun ? QStringLiteral("would write: ") : QString(), result.input,
             result.output, QString::number(result.bytesBefore), QString::number(result.bytesAfter),
             percentText(savedPercent(result.bytesBefore, result.bytesAfter)), qualityText(result));
}

QString Reporter::summaryLine(const BatchTotals& totals, bool dryRun) {
    return QStringLiteral("%1 file(s): %2 %3, %4 skipped, %5 failed; %6 -> %7 bytes, %8 saved")
        .arg(totals.files)
        .arg(totals.written)
        .arg(dryRun ? QStringLiteral("would be written") : QStringLiteral("written"))
        .arg(totals.skipped)
        .arg(totals.failed)
        .arg(totals.bytesBefore)
        .arg(totals.bytesAfter)
        .arg(percentText(savedPercent(totals.bytesBefore, totals.bytesAfter)));
}

QString Reporter::progressBar(std::size_t done, std::size_t total, int width) {
    const std::size_t filled = total == 0 ? 0 : done * static_cast<std::size_t>(width) / total;
    QString bar = QStringLiteral("[");
    bar += QString(static_cast<qsizetype>(filled), QLatin1Char('#'));
    bar += QString(width - static_cast<qsizetype>(filled), QLatin1Char('.'));
    bar += QStringLiteral("] %1/%2").arg(done).arg(total);
    return bar;
}

void Reporter::drawBar() {
    if (!m_showBar) {
        return;
    }
    const QByteArray text = (QLatin1Char('\r') + progressBar(m_done, m_total, 30)).toLocal8Bit();
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), m_err);
    std::fflush(m_err);
    m_barShown = true;
}

void Reporter::clearBar() {
    if (m_barShown) {
        std::fputs("\r\033[K", m_err);
        m_barShown = false;
    }
}

void Reporter::printLine(std::FILE* stream, const QString& line) {
    // Names in a line may hold anything; shown raw, an escape sequence in one would
    // drive the user's terminal.
    const QByteArray text = displayText(line).toLocal8Bit() + '\n';
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stream);
    std::fflush(stream);
}

}  // namespace vellora::cli
