#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "cli/file_job.h"
#include "cli/scratch_file.h"
#include "cli_test_support.h"
#include "imaging/image_library.h"
#include "imaging/imgdll_api.h"
#include "platform/file_ownership.h"

namespace vellora::cli {
namespace {

using test::treeOf;

// Sizes grow with the quality; the parameter is the highest quality that fits.
class QualitySearchTest : public testing::TestWithParam<int> {};

TEST_P(QualitySearchTest, FindsTheHighestFittingQualityInSevenTrials) {
    const int highestFitting = GetParam();  // 0: nothing fits
    std::vector<int> tried;
    const QualitySearch search = findHighestQuality([&](int quality) {
        tried.push_back(quality);
        return quality <= highestFitting ? Trial::Fits : Trial::TooLarge;
    });
    EXPECT_EQ(search.best, highestFitting);
    EXPECT_FALSE(search.failed);
    EXPECT_LE(search.trials, 7);
    EXPECT_EQ(search.trials, static_cast<int>(tried.size()));
    for (int quality : tried) {
        EXPECT_GE(quality, 1);
        EXPECT_LE(quality, 100);
    }
    if (highestFitting == 0) {
        // "even quality 1 does not fit" must rest on a trial of quality 1.
        EXPECT_NE(std::find(tried.begin(), tried.end(), 1), tried.end());
    } else {
        // The answer was itself tried (its file is the one kept).
        EXPECT_NE(std::find(tried.begin(), tried.end(), highestFitting), tried.end());
    }
}

INSTANTIATE_TEST_SUITE_P(EveryBoundary, QualitySearchTest, testing::Range(0, 101));

TEST(QualitySearchTest, StopsAtAFailedTrial) {
    int trials = 0;
    const QualitySearch search = findHighestQuality([&](int quality) {
        ++trials;
        return quality < 50 ? Trial::Fits : Trial::Failed;
    });
    EXPECT_TRUE(search.failed);
    EXPECT_EQ(trials, 1);  // 50 is tried first and fails
}

TEST(QualitySearchTest, NarrowRanges) {
    EXPECT_EQ(findHighestQuality([](int) { return Trial::Fits; }, 40, 40).best, 40);
    EXPECT_EQ(findHighestQuality([](int) { return Trial::TooLarge; }, 40, 40).best, 0);
    EXPECT_EQ(findHighestQuality([](int) { return Trial::Fits; }, 5, 4).trials, 0);
}

TEST(SavedPercentTest, OneDecimalAndSigned) {
    struct Case {
        std::int64_t before, after;
        double percent;
    };
    for (const Case& c :
         {Case{1000, 250, 75.0}, Case{3, 2, 33.3}, Case{3, 1, 66.7}, Case{1000, 1000, 0.0},
          Case{1000, 1500, -50.0}, Case{0, 10, 0.0}, Case{10'000'000'000LL, 1, 100.0}}) {
        EXPECT_DOUBLE_EQ(savedPercent(c.before, c.after), c.percent) << c.before << " " << c.after;
    }
}

TEST(MinSavingTest, ASavingEqualToTheMinimumIsNotLess) {
    // Exact ties whose threshold as a double lies a hair above the decimal.
    struct Case {
        std::int64_t before, after;
        double minimum;
        bool less;
    };
    for (const Case& c :
         {Case{2000, 692, 65.4, false}, Case{3125, 760, 75.68, false}, Case{1000, 839, 16.1, false},
          Case{3000, 2967, 1.1, false}, Case{6000, 5382, 10.3, false}, Case{2000, 693, 65.4, true},
          Case{2000, 692, 65.41, true}, Case{10'000'000'000LL, 1, 99.99, false},
          Case{1000, 1000, 0.0, false},
          // Every digit of the minimum counts, however large the file.
          Case{1'000'000, 385'000, 61.5000000001, true},
          Case{10'000'000'000LL, 3'440'000'000LL, 65.6000000000001, true}}) {
        EXPECT_EQ(savesLessThan(c.before, c.after, c.minimum), c.less)
            << c.before << " -> " << c.after << " against " << c.minimum;
    }
}

TEST(EncodeSettingsTest, SaveFlagsAlwaysAskForTheBestEncoder) {
    struct Case {
        bool strip, stripIcc;
        std::int32_t flags;
    };
    for (const Case& c :
         {Case{false, false, IMGDLL_SAVE_BEST},
          Case{true, false, IMGDLL_SAVE_BEST | IMGDLL_SAVE_STRIP_EXIF},
          Case{false, true, IMGDLL_SAVE_BEST | IMGDLL_SAVE_STRIP_ICC},
          Case{true, true, IMGDLL_SAVE_BEST | IMGDLL_SAVE_STRIP_EXIF | IMGDLL_SAVE_STRIP_ICC}}) {
        Options options;
        options.strip = c.strip;
        options.stripIcc = c.stripIcc;
        EXPECT_EQ(encodeSettings(options).saveFlags, c.flags);
    }
}

class ScratchFileTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    QTemporaryDir m_dir;
};

TEST_F(ScratchFileTest, GoesAwayUnlessCommitted) {
    QString error;
    {
        auto scratch = ScratchFile::create(m_dir.path(), QStringLiteral("out.jpg"), error);
        ASSERT_TRUE(scratch) << error.toStdString();
        EXPECT_TRUE(QFileInfo::exists(scratch->path()));
        EXPECT_TRUE(scratch->path().endsWith(QLatin1String(".vellora-tmp")));
        ScratchFile moved = std::move(*scratch);
        EXPECT_EQ(treeOf(m_dir.path()).size(), 1);
    }
    EXPECT_TRUE(treeOf(m_dir.path()).isEmpty());
}

TEST_F(ScratchFileTest, CommitWithoutReplaceLeavesAnExistingFileAlone) {
    ASSERT_TRUE(test::writeBytes(path("out.jpg"), "old"));
    QString error;
    auto scratch = ScratchFile::create(m_dir.path(), QStringLiteral("out.jpg"), error);
    ASSERT_TRUE(scratch);
    ASSERT_TRUE(test::writeBytes(scratch->path(), "new"));
    EXPECT_FALSE(scratch->commit(path("out.jpg"), false, error));
    EXPECT_TRUE(error.contains(QLatin1String("already exists")));
    EXPECT_EQ(test::readBytes(path("out.jpg")), QByteArray("old"));
    EXPECT_TRUE(scratch->commit(path("out.jpg"), true, error));
    EXPECT_EQ(test::readBytes(path("out.jpg")), QByteArray("new"));
    EXPECT_EQ(treeOf(m_dir.path()), QStringList{QStringLiteral("out.jpg")});
}

TEST_F(ScratchFileTest, ReplacingKeepsThePermissionsOfTheReplacedFile) {
    ASSERT_TRUE(test::writeBytes(path("shared.jpg"), "old"));
    ASSERT_EQ(::chmod(QFile::encodeName(path("shared.jpg")).constData(), 0640), 0);
    QString error;
    auto scratch = ScratchFile::create(m_dir.path(), QStringLiteral("shared.jpg"), error);
    ASSERT_TRUE(scratch);
    ASSERT_TRUE(scratch->commit(path("shared.jpg"), true, error)) << error.toStdString();
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path("shared.jpg")).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(ScratchFileTest, AMissingFolderIsAClearError) {
    QString error;
    EXPECT_FALSE(ScratchFile::create(path("no/such"), QStringLiteral("x.jpg"), error));
    EXPECT_TRUE(error.contains(QLatin1String("cannot create a file")));
}

class FileJobTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_input = m_dir.filePath(QStringLiteral("in.jpg"));
        ASSERT_TRUE(test::writeJpeg(m_input, test::photo(96, 64), 95));
        m_task.input = m_input;
        m_task.output = m_dir.filePath(QStringLiteral("out.jpg"));
        m_task.type = PictureType::Jpeg;
    }

    QTemporaryDir m_dir;
    QString m_input;
    FileTask m_task;
    std::atomic<bool> m_stop{false};
};

TEST_F(FileJobTest, APlannedFailureNeverReachesTheLibrary) {
    ImageLibrary nowhere(m_dir.filePath(QStringLiteral("no-module-here")));
    m_task.failure = QStringLiteral("the planned reason");
    const FileResult result = runFileJob(m_task, EncodeSettings{}, nowhere, m_stop);
    EXPECT_EQ(result.status, FileStatus::Failed);
    EXPECT_EQ(result.message, QStringLiteral("the planned reason"));
    EXPECT_EQ(result.bytesBefore, QFileInfo(m_input).size());
}

TEST_F(FileJobTest, ANameThatLeadsToAnotherFileThanPlannedIsNotDone) {
    // A folder on the path swapped for a link while the batch waited: the name now
    // leads outside the tree the user named. As root over a tree others may change,
    // --in-place would recompress a file nobody named.
    ImageLibrary library(QStringLiteral(VELLORA_MODULE_BUILD_DIR));
    const FileFacts planned = fileFacts(m_input);
    m_task.inputDevice = planned.device;
    m_task.inputInode = planned.inode;
    m_task.output = m_input;
    m_task.replaceOutput = m_task.replacesInput = true;
    const QString other = m_dir.filePath(QStringLiteral("other.jpg"));
    ASSERT_TRUE(test::writeJpeg(other, test::photo(96, 64, 3), 95));
    const QByteArray before = test::readBytes(other);
    ASSERT_EQ(
        ::rename(QFile::encodeName(other).constData(), QFile::encodeName(m_input).constData()), 0);
    const FileResult result = runFileJob(m_task, EncodeSettings{}, library, m_stop);
    EXPECT_EQ(result.status, FileStatus::Failed);
    EXPECT_TRUE(result.message.contains(QLatin1String("now names another file")))
        << result.message.toStdString();
    EXPECT_EQ(test::readBytes(m_input), before);
}

TEST_F(FileJobTest, AMissingLibraryFailsTheFileWithTheLoadersReason) {
    ImageLibrary nowhere(m_dir.filePath(QStringLiteral("no-module-here")));
    const FileResult result = runFileJob(m_task, EncodeSettings{}, nowhere, m_stop);
    EXPECT_EQ(result.status, FileStatus::Failed);
    EXPECT_TRUE(result.message.contains(QLatin1String("not found")))
        << result.message.toStdString();
}

TEST_F(FileJobTest, WritesTheOutputAndNothingElse) {
    ImageLibrary library(QStringLiteral(VELLORA_MODULE_BUILD_DIR));
    const FileResult result = runFileJob(m_task, EncodeSettings{}, library, m_stop);
    ASSERT_EQ(result.status, FileStatus::Ok) << result.message.toStdString();
    EXPECT_EQ(result.quality, 75);
    EXPECT_EQ(result.bytesAfter, QFileInfo(m_task.output).size());
    EXPECT_LT(result.bytesAfter, result.bytesBefore);
    EXPECT_EQ(treeOf(m_dir.path()), (QStringList{"in.jpg", "out.jpg"}));
}

TEST_F(FileJobTest, SizeSearchLeavesOnlyTheChosenFile) {
    ImageLibrary library(QStringLiteral(VELLORA_MODULE_BUILD_DIR));
    EncodeSettings settings;
    settings.targetSize = QFileInfo(m_input).size() / 3;
    const FileResult result = runFileJob(m_task, settings, library, m_stop);
    ASSERT_EQ(result.status, FileStatus::Ok) << result.message.toStdString();
    EXPECT_LE(result.bytesAfter, *settings.targetSize);
    EXPECT_EQ(treeOf(m_dir.path()), (QStringList{"in.jpg", "out.jpg"}));

    m_task.output = m_dir.filePath(QStringLiteral("tiny.jpg"));
    settings.targetSize = 50;
    const FileResult impossible = runFileJob(m_task, settings, library, m_stop);
    EXPECT_EQ(impossible.status, FileStatus::Failed);
    EXPECT_EQ(impossible.quality, 1);
    EXPECT_GT(impossible.bytesAfter, 50);
    EXPECT_EQ(treeOf(m_dir.path()), (QStringList{"in.jpg", "out.jpg"}));
}

TEST_F(FileJobTest, AnInterruptedRunStartsNoFile) {
    ImageLibrary library(QStringLiteral(VELLORA_MODULE_BUILD_DIR));
    m_stop = true;
    const FileResult result = runFileJob(m_task, EncodeSettings{}, library, m_stop);
    EXPECT_EQ(result.status, FileStatus::Failed);
    EXPECT_EQ(result.message, QStringLiteral("interrupted"));
    EXPECT_EQ(treeOf(m_dir.path()), QStringList{QStringLiteral("in.jpg")});
}

// What another program does to the picture while an in-place run compresses it: run
// at the last step before the rename, the narrowest window there is.
std::function<void()> g_meanwhile;
void onReplaceStep(const char* step) {
    if (g_meanwhile && std::string_view(step) == "fchmod") {
        std::exchange(g_meanwhile, nullptr)();
    }
}

TEST_F(FileJobTest, InPlaceNeverReplacesAVersionSavedMeanwhile) {
    ImageLibrary library(QStringLiteral(VELLORA_MODULE_BUILD_DIR));
    const QByteArray original = test::readBytes(m_input);
    QByteArray edited = original;
    edited[edited.size() - 3] = '\x42';  // the same size, other contents
    const QString elsewhere = m_dir.filePath(QStringLiteral("editor-copy"));
    struct Case {
        const char* what;
        std::function<void()> meanwhile;
        QByteArray survives;  // empty: the result replaces the input
    };
    const Case cases[] = {
        {"nothing", [] {}, {}},
        {"rewritten in place, same size",
         [&] {
             // Past the file system's clock tick, as any real later save is.
             std::this_thread::sleep_for(std::chrono::milliseconds(20));
             ASSERT_TRUE(test::writeBytes(m_input, edited));
         },
         edited},
        {"saved through a new file",
         [&] {
             ASSERT_TRUE(test::writeBytes(elsewhere, edited + "more"));
             ASSERT_EQ(::rename(QFile::encodeName(elsewhere).constData(),
                                QFile::encodeName(m_input).constData()),
                       0);
         },
         edited + "more"},
    };
    m_task.output = m_input;
    m_task.replaceOutput = true;
    m_task.replacesInput = true;
    for (const Case& c : cases) {
        ASSERT_TRUE(test::writeBytes(m_input, original));
        g_meanwhile = c.meanwhile;
        setReplaceStepObserver(onReplaceStep);
        const FileResult result = runFileJob(m_task, EncodeSettings{}, library, m_stop);
        setReplaceStepObserver(nullptr);
        EXPECT_FALSE(g_meanwhile) << c.what << ": the job never reached the replacement";
        if (c.survives.isEmpty()) {
            EXPECT_EQ(result.status, FileStatus::Ok) << c.what;
            EXPECT_LT(QFileInfo(m_input).size(), original.size()) << c.what;
        } else {
            EXPECT_EQ(result.status, FileStatus::Failed) << c.what;
            EXPECT_TRUE(result.message.contains(QLatin1String("changed while")))
                << c.what << ": " << result.message.toStdString();
            EXPECT_EQ(test::readBytes(m_input), c.survives) << c.what;
        }
        EXPECT_EQ(treeOf(m_dir.path()), QStringList{QStringLiteral("in.jpg")}) << c.what;
    }
}

}  // namespace
}  // namespace vellora::cli
