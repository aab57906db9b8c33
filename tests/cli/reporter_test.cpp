#include <gtest/gtest.h>

#include <stdio.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <cstdlib>

#include "cli/reporter.h"
#include "cli_test_support.h"

namespace vellora::cli {
namespace {

// A FILE* that collects into memory.
class MemoryStream {
public:
    MemoryStream() : m_stream(open_memstream(&m_buffer, &m_size)) {}
    ~MemoryStream() {
        std::fclose(m_stream);
        std::free(m_buffer);
    }
    std::FILE* get() { return m_stream; }
    QString text() {
        std::fflush(m_stream);
        return QString::fromLocal8Bit(m_buffer, static_cast<qsizetype>(m_size));
    }

private:
    char* m_buffer = nullptr;
    std::size_t m_size = 0;
    std::FILE* m_stream;
};

FileResult result(const char* input, FileStatus status, std::int64_t before, std::int64_t after,
                  int quality, const char* message = "") {
    FileResult r;
    r.input = QString::fromLatin1(input);
    r.output = r.input + QStringLiteral(".out");
    r.status = status;
    r.bytesBefore = before;
    r.bytesAfter = after;
    r.quality = quality;
    r.message = QString::fromLatin1(message);
    return r;
}

struct Batch {
    std::vector<FileResult> results{
        result("a.jpg", FileStatus::Ok, 1000, 400, 75),
        // Failed with a result in hand (a size target missed, stdout closed): nothing
        // was written, so there is no saving to report.
        result("b.jpg", FileStatus::Failed, 500, 120, 40, "broken data"),
        result("c.jpg", FileStatus::Skipped, 300, 310, 75, "not smaller"),
        // "%2" and "%L1" as a downloaded name has them: once read as places for the
        // numbers that followed ("d47315C1.bmp").
        result("d%2C%L1.bmp", FileStatus::Ok, 3000, 600, 75),
    };
};

// Reports the batch out of order, as workers would finish it.
void feed(Reporter& reporter, const Batch& batch) {
    for (std::size_t index : {2u, 0u, 3u, 1u}) {
        reporter.fileDone(index, batch.results[index]);
    }
    reporter.finish(0);
}

TEST(ReporterTest, NotATerminalMeansNothingButErrors) {
    MemoryStream out, err;
    Batch batch;
    Reporter reporter({false, false, false}, batch.results.size(), out.get(), err.get());
    feed(reporter, batch);
    EXPECT_EQ(out.text(), QString());
    EXPECT_EQ(err.text(), QStringLiteral("vellora-cli: b.jpg: broken data\n"));
    const BatchTotals totals = reporter.totals();
    EXPECT_EQ(totals.files, 4);
    EXPECT_EQ(totals.written, 2);
    EXPECT_EQ(totals.skipped, 1);
    EXPECT_EQ(totals.failed, 1);
    EXPECT_EQ(totals.bytesBefore, 4000);  // written files only
    EXPECT_EQ(totals.bytesAfter, 1000);
}

TEST(ReporterTest, VerboseLinesComeInInputOrder) {
    MemoryStream out, err;
    Batch batch;
    Reporter reporter({true, false, false}, batch.results.size(), out.get(), err.get());
    feed(reporter, batch);
    EXPECT_EQ(out.text(), QString());
    EXPECT_EQ(err.text(),
              QStringLiteral(
                  "a.jpg -> a.jpg.out: 1000 -> 400 bytes, 60.0% saved, quality 75\n"
                  "vellora-cli: b.jpg: broken data\n"
                  "vellora-cli: c.jpg: skipped: not smaller\n"
                  "d%2C%L1.bmp -> d%2C%L1.bmp.out: 3000 -> 600 bytes, 80.0% saved, quality 75\n"
                  "4 file(s): 2 written, 1 skipped, 1 failed; 4000 -> 1000 bytes, 75.0% saved\n"));
}

TEST(ReporterTest, TerminalShowsABarThatNeverMixesIntoLines) {
    MemoryStream out, err;
    Batch batch;
    Reporter reporter({false, false, true}, batch.results.size(), out.get(), err.get());
    feed(reporter, batch);
    const QString text = err.text();
    EXPECT_TRUE(text.startsWith(QStringLiteral("\r[") + QString(30, QLatin1Char('.')) +
                                QStringLiteral("] 0/4")));
    EXPECT_TRUE(text.contains(QStringLiteral("] 4/4")));
    // Every line printed starts on a cleared line: the bar is wiped first.
    EXPECT_TRUE(text.contains(QStringLiteral("\r\033[Kvellora-cli: b.jpg: broken data\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("vellora-cli: c.jpg: skipped: not smaller\n")));
    EXPECT_TRUE(text.endsWith(
        QStringLiteral("\r\033[K4 file(s): 2 written, 1 skipped, 1 failed; 4000 -> 1000 bytes, "
                       "75.0% saved\n")));
}

TEST(ReporterTest, NoBarForASingleFile) {
    MemoryStream out, err;
    Reporter reporter({false, false, true}, 1, out.get(), err.get());
    reporter.fileDone(0, result("a.jpg", FileStatus::Ok, 10, 5, 75));
    reporter.finish(0);
    EXPECT_FALSE(err.text().contains(QLatin1Char('[')));
    EXPECT_TRUE(err.text().startsWith(QStringLiteral("1 file(s): 1 written")));
}

TEST(ReporterTest, JsonGoesToStdoutOneObjectPerFileThenTheSummary) {
    MemoryStream out, err;
    Batch batch;
    Reporter reporter({false, true, false}, batch.results.size(), out.get(), err.get());
    feed(reporter, batch);
    EXPECT_EQ(err.text(), QStringLiteral("vellora-cli: b.jpg: broken data\n"));
    const QStringList lines = out.text().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5);
    QStringList inputs;
    for (int i = 0; i < 4; ++i) {
        QJsonParseError error{};
        const QJsonObject object = QJsonDocument::fromJson(lines[i].toUtf8(), &error).object();
        ASSERT_EQ(error.error, QJsonParseError::NoError) << lines[i].toStdString();
        inputs << object.value(QStringLiteral("input")).toString();
    }
    EXPECT_EQ(inputs, (QStringList{"a.jpg", "b.jpg", "c.jpg", "d%2C%L1.bmp"}));

    const QJsonObject ok = QJsonDocument::fromJson(lines[0].toUtf8()).object();
    EXPECT_EQ(ok.value(QStringLiteral("status")).toString(), QStringLiteral("ok"));
    EXPECT_EQ(ok.value(QStringLiteral("output")).toString(), QStringLiteral("a.jpg.out"));
    EXPECT_EQ(ok.value(QStringLiteral("bytes_before")).toInteger(), 1000);
    EXPECT_EQ(ok.value(QStringLiteral("bytes_after")).toInteger(), 400);
    EXPECT_DOUBLE_EQ(ok.value(QStringLiteral("saved_percent")).toDouble(), 60.0);
    EXPECT_EQ(ok.value(QStringLiteral("quality")).toInt(), 75);
    EXPECT_TRUE(ok.value(QStringLiteral("error")).isNull());

    const QJsonObject failed = QJsonDocument::fromJson(lines[1].toUtf8()).object();
    EXPECT_EQ(failed.value(QStringLiteral("status")).toString(), QStringLiteral("failed"));
    EXPECT_EQ(failed.value(QStringLiteral("error")).toString(), QStringLiteral("broken data"));
    EXPECT_TRUE(failed.value(QStringLiteral("bytes_after")).isNull());
    EXPECT_TRUE(failed.value(QStringLiteral("saved_percent")).isNull());
    EXPECT_TRUE(failed.value(QStringLiteral("quality")).isNull());

    const QJsonObject skipped = QJsonDocument::fromJson(lines[2].toUtf8()).object();
    EXPECT_EQ(skipped.value(QStringLiteral("status")).toString(), QStringLiteral("skipped"));
    EXPECT_EQ(skipped.value(QStringLiteral("error")).toString(), QStringLiteral("not smaller"));

    const QJsonObject summary = QJsonDocument::fromJson(lines[4].toUtf8()).object();
    EXPECT_TRUE(summary.value(QStringLiteral("summary")).toBool());
    EXPECT_EQ(summary.value(QStringLiteral("files")).toInt(), 4);
    EXPECT_EQ(summary.value(QStringLiteral("written")).toInt(), 2);
    EXPECT_EQ(summary.value(QStringLiteral("skipped")).toInt(), 1);
    EXPECT_EQ(summary.value(QStringLiteral("failed")).toInt(), 1);
    EXPECT_EQ(summary.value(QStringLiteral("bytes_before")).toInteger(), 4000);
    EXPECT_EQ(summary.value(QStringLiteral("bytes_after")).toInteger(), 1000);
    EXPECT_DOUBLE_EQ(summary.value(QStringLiteral("saved_percent")).toDouble(), 75.0);
}

TEST(ReporterTest, VerboseKeepsItsTextSummaryBesideJsonUnlessBothShareStderr) {
    Batch batch;
    const QString summary = QStringLiteral("4 file(s): 2 written, 1 skipped, 1 failed");
    {
        MemoryStream out, err;
        Reporter reporter({true, true, false}, batch.results.size(), out.get(), err.get());
        feed(reporter, batch);
        EXPECT_TRUE(err.text().contains(summary)) << err.text().toStdString();
    }
    MemoryStream shared;
    Reporter reporter({true, true, false}, batch.results.size(), shared.get(), shared.get());
    feed(reporter, batch);
    EXPECT_FALSE(shared.text().contains(summary)) << shared.text().toStdString();
}

TEST(ReporterTest, ProgressBarFillsInProportion) {
    EXPECT_EQ(Reporter::progressBar(0, 4, 8), QStringLiteral("[........] 0/4"));
    EXPECT_EQ(Reporter::progressBar(1, 4, 8), QStringLiteral("[##......] 1/4"));
    EXPECT_EQ(Reporter::progressBar(3, 7, 7), QStringLiteral("[###....] 3/7"));
    EXPECT_EQ(Reporter::progressBar(4, 4, 8), QStringLiteral("[########] 4/4"));
}

}  // namespace
}  // namespace vellora::cli
