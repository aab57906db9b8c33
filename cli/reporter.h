#pragma once
// Everything the tool tells the user about a batch. Results arrive from the workers in
// any order and are reported in the order of the inputs, so two runs of the same batch
// print the same lines whatever the number of workers.
//
//   stderr: one line per failure, always; skip notes and the summary when stderr is a
//           terminal or -v is given (with --json too, unless the JSON goes to stderr);
//           -v's line per written file; the progress bar on a terminal with more than
//           one file.
//   stdout: only --json: one object per file, then {"summary": true, ...}.

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>

#include "cli/file_job.h"

namespace vellora::cli {

struct BatchTotals {
    int files = 0;
    int written = 0;
    int skipped = 0;
    int failed = 0;
    std::int64_t bytesBefore = 0;  // of the written files
    std::int64_t bytesAfter = 0;   // of the written files
};

class Reporter {
public:
    struct Settings {
        bool verbose = false;
        bool json = false;
        bool terminal = false;  // stderr is a terminal
        bool dryRun = false;    // -n: "written" means "would be written"
    };

    Reporter(Settings settings, std::size_t total, std::FILE* out, std::FILE* err);

    // Thread-safe; each index once.
    void fileDone(std::size_t index, const FileResult& result);
    // Clears the progress bar and prints the summary. `notStarted` files were left
    // undone by an interruption.
    void finish(std::size_t notStarted);

    [[nodiscard]] BatchTotals totals() const;

    [[nodiscard]] static QByteArray jsonLine(const FileResult& result);
    [[nodiscard]] static QByteArray summaryJson(const BatchTotals& totals, std::size_t notStarted,
                                                bool dryRun = false);
    [[nodiscard]] static QString verboseLine(const FileResult& result);
    [[nodiscard]] static QString summaryLine(const BatchTotals& totals, bool dryRun = false);
    [[nodiscard]] static QString progressBar(std::size_t done, std::size_t total, int width);

private:
    void report(const FileResult& result);
    void drawBar();
    void clearBar();
    void printLine(std::FILE* stream, const QString& line);

    Settings m_settings;
    std::size_t m_total;
    std::FILE* m_out;
    std::FILE* m_err;
    bool m_showBar;
    bool m_chatty;  // skip notes and the summary on stderr
    mutable std::mutex m_mutex;
    std::map<std::size_t, FileResult> m_waiting;
    std::size_t m_nextToReport = 0;
    std::size_t m_done = 0;
    bool m_barShown = false;
    BatchTotals m_totals;
};

}  // namespace vellora::cli
