#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <functional>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "cli/batch_plan.h"
#include "cli_test_support.h"

namespace vellora::cli {
namespace {

struct NamingCase {
    const char* name;
    const char* input;
    const char* relativeFolder;
    const char* expected;
    void (*adjust)(Options&);
};

class OutputNamingTest : public testing::TestWithParam<NamingCase> {};

TEST_P(OutputNamingTest, PicksTheOutputPath) {
    Options options;
    if (GetParam().adjust) {
        GetParam().adjust(options);
    }
    EXPECT_EQ(outputPathFor(options, QString::fromLatin1(GetParam().input),
                            QString::fromLatin1(GetParam().relativeFolder)),
              QString::fromLatin1(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Names, OutputNamingTest,
    testing::Values(
        NamingCase{"beside", "photo.bmp", "", "photo-vellora.jpg", nullptr},
        NamingCase{"besideInFolder", "pics/photo.JPG", "", "pics/photo-vellora.jpg", nullptr},
        NamingCase{"besideJpeg", "/a/b/x.jpeg", "", "/a/b/x-vellora.jpg", nullptr},
        NamingCase{"besideDots", "my.holiday.jpe", "", "my.holiday-vellora.jpg", nullptr},
        NamingCase{"ownSuffix", "photo.jpg", "", "photo_small.jpg",
                   [](Options& o) {
                       o.suffix = QStringLiteral("_small");
                       o.suffixGiven = true;
                   }},
        NamingCase{"emptySuffixBmp", "scan.bmp", "", "scan.jpg",
                   [](Options& o) {
                       o.suffix.clear();
                       o.suffixGiven = true;
                   }},
        NamingCase{"outDirKeepsJpegName", "pics/IMG_1.JPEG", "", "out/IMG_1.JPEG",
                   [](Options& o) { o.outDir = QStringLiteral("out"); }},
        NamingCase{"outDirBmp", "pics/scan.bmp", "", "out/scan.jpg",
                   [](Options& o) { o.outDir = QStringLiteral("out"); }},
        NamingCase{"outDirTree", "pics/a/b/x.jpg", "a/b", "out/a/b/x.jpg",
                   [](Options& o) { o.outDir = QStringLiteral("out/"); }},
        NamingCase{"outDirSuffix", "x.jpg", "", "/tmp/o/x-s.jpg",
                   [](Options& o) {
                       o.outDir = QStringLiteral("/tmp/o");
                       o.suffix = QStringLiteral("-s");
                       o.suffixGiven = true;
                   }},
        NamingCase{"singleOutput", "x.bmp", "", "y.jpeg",
                   [](Options& o) { o.output = QStringLiteral("y.jpeg"); }},
        NamingCase{"inPlaceJpeg", "pics/x.jpe", "", "pics/x.jpe",
                   [](Options& o) { o.inPlace = true; }},
        NamingCase{"inPlaceBmp", "pics/x.BMP", "", "pics/x.jpg",
                   [](Options& o) { o.inPlace = true; }}),
    [](const testing::TestParamInfo<NamingCase>& info) { return std::string(info.param.name); });

TEST(EarlierOutputTest, OnlyBesideInputNamesWithTheSuffix) {
    Options options;
    EXPECT_TRUE(looksLikeEarlierOutput(options, QStringLiteral("d/photo-vellora.jpg")));
    EXPECT_FALSE(looksLikeEarlierOutput(options, QStringLiteral("d/photo.jpg")));
    EXPECT_FALSE(looksLikeEarlierOutput(options, QStringLiteral("d/-vellora/photo.jpg")));
    // Results are always .jpg: other names ending in the suffix are the user's pictures.
    EXPECT_FALSE(looksLikeEarlierOutput(options, QStringLiteral("d/logo-vellora.bmp")));
    EXPECT_FALSE(looksLikeEarlierOutput(options, QStringLiteral("d/team-vellora.jpeg")));
    options.outDir = QStringLiteral("out");
    EXPECT_FALSE(looksLikeEarlierOutput(options, QStringLiteral("d/photo-vellora.jpg")));
    Options noSuffix;
    noSuffix.suffix.clear();
    EXPECT_FALSE(looksLikeEarlierOutput(noSuffix, QStringLiteral("d/photo.jpg")));
}

// Plans over real folders: only names matter, so the files hold no pictures.
class PlanTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        QDir::setCurrent(m_dir.path());
    }
    void TearDown() override { QDir::setCurrent(m_previous); }

    void touch(const QString& relative) {
        const QString path = m_dir.filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("x");
    }

    static QStringList inputsOf(const BatchPlan& plan) {
        QStringList inputs;
        for (const FileTask& task : plan.tasks) {
            inputs << task.input;
        }
        return inputs;
    }

    static const FileTask* taskFor(const BatchPlan& plan, const QString& input) {
        for (const FileTask& task : plan.tasks) {
            if (task.input == input) {
                return &task;
            }
        }
        return nullptr;
    }

    QTemporaryDir m_dir;
    QString m_previous = QDir::currentPath();
};

TEST_F(PlanTest, FolderGivesItsPicturesSortedAndSkipsOtherFiles) {
    for (const char* name :
         {"pics/b.jpg", "pics/a.BMP", "pics/c.jpeg", "pics/d.jpe", "pics/notes.txt", "pics/e.png",
          "pics/.hidden.jpg", "pics/sub/deep.jpg", "pics/old-vellora.jpg",
          // Three letters alone are no extension: "notes_bmp" failed the run.
          "pics/notes_bmp", "pics/backupjpg"}) {
        touch(QString::fromLatin1(name));
    }
    Options options;
    options.inputs = {QStringLiteral("pics")};
    BatchPlan plan = planBatch(options);
    EXPECT_TRUE(plan.usageError.isEmpty());
    EXPECT_EQ(inputsOf(plan),
              (QStringList{"pics/a.BMP", "pics/b.jpg", "pics/c.jpeg", "pics/d.jpe"}));
    for (const FileTask& task : plan.tasks) {
        EXPECT_TRUE(task.failure.isEmpty()) << task.failure.toStdString();
    }
    EXPECT_EQ(plan.tasks[0].type, PictureType::Bitmap);
    EXPECT_EQ(plan.tasks[1].type, PictureType::Jpeg);

    options.recursive = true;
    plan = planBatch(options);
    EXPECT_EQ(inputsOf(plan), (QStringList{"pics/a.BMP", "pics/b.jpg", "pics/c.jpeg", "pics/d.jpe",
                                           "pics/sub/deep.jpg"}));
}

TEST_F(PlanTest, RecursiveOutDirKeepsTheTreeAndLeavesItsOwnFilesOut) {
    touch(QStringLiteral("pics/a.jpg"));
    touch(QStringLiteral("pics/x/y/b.bmp"));
    touch(QStringLiteral("pics/out/earlier.jpg"));  // the out-dir lies inside the tree
    Options options;
    options.recursive = true;
    options.outDir = QStringLiteral("pics/out");
    options.inputs = {QStringLiteral("pics")};
    const BatchPlan plan = planBatch(options);
    ASSERT_EQ(inputsOf(plan), (QStringList{"pics/a.jpg", "pics/x/y/b.bmp"}));
    EXPECT_EQ(plan.tasks[0].output, QStringLiteral("pics/out/a.jpg"));
    EXPECT_EQ(plan.tasks[1].output, QStringLiteral("pics/out/x/y/b.jpg"));
    EXPECT_TRUE(plan.tasks[1].makeFolder);
}

TEST_F(PlanTest, NamedFilesThatCannotBeDoneFailWithAReason) {
    touch(QStringLiteral("notes.txt"));
    touch(QStringLiteral("good.jpg"));
    Options options;
    options.inputs = {QStringLiteral("notes.txt"), QStringLiteral("missing.jpg"),
                      QStringLiteral("good.jpg")};
    const BatchPlan plan = planBatch(options);
    ASSERT_EQ(plan.tasks.size(), 3u);
    EXPECT_TRUE(plan.tasks[0].failure.contains(QLatin1String("not a JPEG or BMP")));
    EXPECT_TRUE(plan.tasks[1].failure.contains(QLatin1String("no such file")));
    EXPECT_TRUE(plan.tasks[2].failure.isEmpty());
    EXPECT_EQ(plan.tasks[2].output, QStringLiteral("good-vellora.jpg"));
}

TEST_F(PlanTest, TheSameFileNamedTwiceIsDoneOnce) {
    touch(QStringLiteral("pics/a.jpg"));
    Options options;
    options.inputs = {QStringLiteral("pics/a.jpg"), QStringLiteral("pics"),
                      QStringLiteral("./pics/../pics/a.jpg")};
    const BatchPlan plan = planBatch(options);
    // The folder finds the very name again; another spelling is told as skipped.
    ASSERT_EQ(inputsOf(plan),
              (QStringList{QStringLiteral("pics/a.jpg"), QStringLiteral("./pics/../pics/a.jpg")}));
    EXPECT_TRUE(plan.tasks[0].skip.isEmpty());
    EXPECT_EQ(plan.tasks[1].skip,
              QStringLiteral("the same file as 'pics/a.jpg'; only that name is taken"));
}

TEST_F(PlanTest, ANameThatCannotBeDoneNeverTakesAFilesPlace) {
    // a.bak names the picture too, but is refused by its extension: a.jpg still does it.
    touch(QStringLiteral("a.jpg"));
    ASSERT_EQ(::link(QFile::encodeName(m_dir.filePath(QStringLiteral("a.jpg"))).constData(),
                     QFile::encodeName(m_dir.filePath(QStringLiteral("a.bak"))).constData()),
              0);
    Options options;
    options.inputs = {QStringLiteral("a.bak"), QStringLiteral("a.jpg")};
    const BatchPlan plan = planBatch(options);
    ASSERT_EQ(plan.tasks.size(), 2U);
    EXPECT_EQ(plan.tasks[0].skip,
              QStringLiteral("the same file as 'a.jpg'; only that name is taken"));
    EXPECT_TRUE(plan.tasks[0].failure.isEmpty());
    EXPECT_TRUE(plan.tasks[1].skip.isEmpty());
    EXPECT_TRUE(plan.tasks[1].failure.isEmpty());
    EXPECT_FALSE(plan.tasks[1].output.isEmpty());
}

TEST_F(PlanTest, TheOutDirNamedAsAnInputIsNotWalked) {
    // `-d small *` on a second run: small/ holds the first run's results.
    touch(QStringLiteral("a.jpg"));
    touch(QStringLiteral("small/a.jpg"));
    Options options;
    options.outDir = QStringLiteral("small");
    options.force = true;
    options.inputs = {QStringLiteral("a.jpg"), QStringLiteral("small")};
    const BatchPlan plan = planBatch(options);
    ASSERT_EQ(inputsOf(plan), (QStringList{QStringLiteral("a.jpg"), QStringLiteral("small")}));
    EXPECT_TRUE(plan.tasks[0].failure.isEmpty()) << plan.tasks[0].failure.toStdString();
    EXPECT_TRUE(plan.tasks[0].replaceOutput);
    EXPECT_TRUE(plan.tasks[1].skip.contains(QLatin1String("output folder")));
}

TEST_F(PlanTest, OutputRules) {
    touch(QStringLiteral("a.jpg"));
    touch(QStringLiteral("a-vellora.jpg"));  // an existing output
    touch(QStringLiteral("b.jpg"));
    touch(QStringLiteral("one/x.jpg"));
    touch(QStringLiteral("two/x.jpg"));
    touch(QStringLiteral("scan.bmp"));
    touch(QStringLiteral("scan.jpg"));

    Options options;
    options.inputs = {QStringLiteral("a.jpg"), QStringLiteral("b.jpg")};
    BatchPlan plan = planBatch(options);
    EXPECT_TRUE(plan.tasks[0].failure.contains(QLatin1String("already exists")));
    EXPECT_TRUE(plan.tasks[0].failure.contains(QLatin1String("--force")));
    EXPECT_TRUE(plan.tasks[1].failure.isEmpty());
    EXPECT_FALSE(plan.tasks[1].replaceOutput);

    options.force = true;
    plan = planBatch(options);
    EXPECT_TRUE(plan.tasks[0].failure.isEmpty());
    EXPECT_TRUE(plan.tasks[0].replaceOutput);
    // Also for an output that is not there yet: one may appear while the run works.
    EXPECT_TRUE(plan.tasks[1].replaceOutput);

    // --force never lets an output replace an input.
    Options sameName;
    sameName.force = true;
    sameName.suffix.clear();
    sameName.suffixGiven = true;
    sameName.inputs = {QStringLiteral("a.jpg"), QStringLiteral("scan.bmp")};
    plan = planBatch(sameName);
    EXPECT_TRUE(plan.tasks[0].failure.contains(QLatin1String("input itself")));
    // scan.bmp -> scan.jpg exists but is no input here: --force may replace it.
    EXPECT_TRUE(plan.tasks[1].failure.isEmpty());

    Options outHere;
    outHere.outDir = QStringLiteral(".");
    outHere.inputs = {QStringLiteral("b.jpg")};
    plan = planBatch(outHere);
    EXPECT_TRUE(plan.tasks[0].failure.contains(QLatin1String("input itself")));

    // Two inputs, one output: the first keeps it, the second fails naming the first.
    Options clash;
    clash.outDir = QStringLiteral("out");
    clash.inputs = {QStringLiteral("one/x.jpg"), QStringLiteral("two/x.jpg")};
    plan = planBatch(clash);
    EXPECT_TRUE(plan.tasks[0].failure.isEmpty());
    EXPECT_TRUE(plan.tasks[1].failure.contains(QLatin1String("also the output of 'one/x.jpg'")))
        << plan.tasks[1].failure.toStdString();
}

TEST_F(PlanTest, InPlaceRules) {
    touch(QStringLiteral("a.jpg"));
    touch(QStringLiteral("scan.bmp"));
    touch(QStringLiteral("scan.jpg"));
    touch(QStringLiteral("lone.bmp"));

    Options options;
    options.inPlace = true;
    options.inputs = {QStringLiteral("a.jpg"), QStringLiteral("lone.bmp")};
    BatchPlan plan = planBatch(options);
    ASSERT_EQ(plan.tasks.size(), 2u);
    EXPECT_TRUE(plan.tasks[0].failure.isEmpty());
    EXPECT_TRUE(plan.tasks[0].replaceOutput);
    EXPECT_EQ(QFileInfo(plan.tasks[0].output).canonicalFilePath(),
              QFileInfo(QStringLiteral("a.jpg")).canonicalFilePath());
    EXPECT_EQ(plan.tasks[1].output, QStringLiteral("lone.jpg"));
    EXPECT_FALSE(plan.tasks[1].replaceOutput);

    // A BMP's JPEG beside it may not replace an existing file without --force ...
    options.inputs = {QStringLiteral("scan.bmp")};
    plan = planBatch(options);
    EXPECT_TRUE(plan.tasks[0].failure.contains(QLatin1String("already exists")));
    // ... and never one that is itself an input of the run, --force or not.
    options.force = true;
    options.inputs = {QStringLiteral("scan.bmp"), QStringLiteral("scan.jpg")};
    plan = planBatch(options);
    EXPECT_TRUE(plan.tasks[0].failure.contains(QLatin1String("another input")));
    EXPECT_TRUE(plan.tasks[1].failure.isEmpty());
}

TEST_F(PlanTest, OutputNamesStayAsGivenUnlessAFolderStillToBeMadeFolds) {
    // A folder -d makes, then "..", is folded away so that every check sees the file
    // meant; nothing else is: names are shown as given, and where no folder is made (or
    // a link, even a dangling one, stands) ".." is the system's to judge. Folding every
    // name once wrote "keep.jpg/" over keep.jpg and "dang/../x.jpg" to x.jpg.
    touch(QStringLiteral("a.jpg"));
    touch(QStringLiteral("keep.jpg"));
    ASSERT_EQ(::symlink("/nonexistent/t", "dang"), 0);
    struct Case {
        const char* output;  // -o
        const char* outDir;  // -d
        bool inPlace;
        const char* expected;
        const char* failure;  // "" for none
    };
    const Case cases[] = {
        {"./x.jpg", "", false, "./x.jpg", ""},
        {".//x.jpg", "", false, ".//x.jpg", ""},
        {"keep.jpg/", "", false, "keep.jpg/", ""},
        {"dang/../x.jpg", "", false, "dang/../x.jpg", ""},
        {"new/../x.jpg", "", false, "new/../x.jpg", ""},
        {"", "new/..", false, "a.jpg", "input itself"},
        {"", "new/sub/../../out", false, "out/a.jpg", ""},
        {"", "dang/../out", false, "dang/../out/a.jpg", ""},
        {"", "", true, "./a.jpg", ""},
    };
    for (const Case& c : cases) {
        Options options;
        options.force = true;
        options.output = QString::fromUtf8(c.output);
        options.outDir = QString::fromUtf8(c.outDir);
        options.inPlace = c.inPlace;
        options.inputs = {c.inPlace ? QStringLiteral("./a.jpg") : QStringLiteral("a.jpg")};
        const BatchPlan plan = planBatch(options);
        ASSERT_EQ(plan.tasks.size(), 1U) << c.output << c.outDir;
        EXPECT_EQ(plan.tasks[0].output, QString::fromUtf8(c.expected)) << c.output << c.outDir;
        EXPECT_EQ(plan.tasks[0].failure.isEmpty(), !*c.failure)
            << c.output << c.outDir << ": " << plan.tasks[0].failure.toStdString();
        EXPECT_TRUE(plan.tasks[0].failure.contains(QString::fromUtf8(c.failure)));
    }
}

TEST_F(PlanTest, SingleOutputRefusesAFolderInput) {
    touch(QStringLiteral("pics/a.jpg"));
    Options options;
    options.output = QStringLiteral("x.jpg");
    options.inputs = {QStringLiteral("pics")};
    EXPECT_FALSE(planBatch(options).usageError.isEmpty());
}

TEST_F(PlanTest, AnOutputThatIsNoRegularFileFailsEvenWithForce) {
    touch(QStringLiteral("a.jpg"));
    const QString output = m_dir.filePath(QStringLiteral("a-vellora.jpg"));
    const QByteArray native = QFile::encodeName(output);
    const QByteArray fifo = QFile::encodeName(m_dir.filePath(QStringLiteral("pipe")));
    struct Case {
        const char* what;
        std::function<bool()> make;
        const char* reason;
    };
    const Case cases[] = {
        {"a folder", [&] { return QDir().mkpath(output); }, "is a folder"},
        {"a pipe", [&] { return ::mkfifo(native.constData(), 0600) == 0; }, "not a regular file"},
        {"a link to a pipe",
         [&] {
             return ::mkfifo(fifo.constData(), 0600) == 0 &&
                    ::symlink(fifo.constData(), native.constData()) == 0;
         },
         "not a regular file"},
        // Only root may make one; /dev/null's numbers.
        {"a device",
         [&] { return ::mknod(native.constData(), S_IFCHR | 0666, makedev(1, 3)) == 0; },
         "not a regular file"},
    };
    for (const Case& c : cases) {
        QDir(output).removeRecursively();
        QFile::remove(output);
        QFile::remove(m_dir.filePath(QStringLiteral("pipe")));
        if (!c.make()) {
            continue;  // a device without the right to make one
        }
        for (const QString& named : {QString(), QStringLiteral("a-vellora.jpg")}) {
            Options options;
            options.force = true;
            options.output = named;
            options.inputs = {QStringLiteral("a.jpg")};
            const BatchPlan plan = planBatch(options);
            EXPECT_TRUE(plan.tasks[0].failure.contains(QLatin1String(c.reason)))
                << c.what << ": " << plan.tasks[0].failure.toStdString();
        }
    }
}

TEST_F(PlanTest, InPlaceLeavesLinksMetInAFolderAlone) {
    touch(QStringLiteral("outside/victim.jpg"));
    touch(QStringLiteral("tree/own.jpg"));
    ASSERT_TRUE(QFile::link(QStringLiteral("../outside/victim.jpg"),
                            m_dir.filePath(QStringLiteral("tree/link.jpg"))));
    Options options;
    options.inPlace = true;
    options.inputs = {QStringLiteral("tree")};
    const BatchPlan inPlace = planBatch(options);
    ASSERT_EQ(inputsOf(inPlace), (QStringList{"tree/link.jpg", "tree/own.jpg"}));
    EXPECT_TRUE(inPlace.tasks[0].skip.contains(QLatin1String("symbolic link")));
    EXPECT_TRUE(inPlace.tasks[1].skip.isEmpty());
    // A second link to the same file is told too.
    ASSERT_TRUE(QFile::link(QStringLiteral("../outside/victim.jpg"),
                            m_dir.filePath(QStringLiteral("tree/other.jpg"))));
    const BatchPlan twice = planBatch(options);
    ASSERT_EQ(inputsOf(twice), (QStringList{"tree/link.jpg", "tree/other.jpg", "tree/own.jpg"}));
    EXPECT_TRUE(twice.tasks[1].skip.contains(QLatin1String("symbolic link")));
    // Named, the link is taken, before or after its folder; into another folder, a link
    // met is read like a file.
    for (const QStringList& inputs :
         {QStringList{"tree/link.jpg"}, QStringList{"tree", "tree/link.jpg"}}) {
        options.inputs = inputs;
        const BatchPlan plan = planBatch(options);
        const FileTask* named = taskFor(plan, QStringLiteral("tree/link.jpg"));
        ASSERT_NE(named, nullptr) << inputs.join(' ').toStdString();
        EXPECT_TRUE(named->skip.isEmpty()) << inputs.join(' ').toStdString();
    }
    ASSERT_TRUE(QFile::remove(m_dir.filePath(QStringLiteral("tree/other.jpg"))));
    options.inPlace = false;
    options.outDir = QStringLiteral("out");
    options.inputs = {QStringLiteral("tree")};
    for (const FileTask& task : planBatch(options).tasks) {
        EXPECT_TRUE(task.skip.isEmpty() && task.failure.isEmpty()) << task.input.toStdString();
    }
}

TEST_F(PlanTest, ForceThroughALinkReplacesTheLinkedFileNeverAnInput) {
    touch(QStringLiteral("a.jpg"));
    touch(QStringLiteral("library/old.jpg"));
    struct Case {
        const char* linkTo;  // relative to the link's folder
        const char* writes;  // the file written, relative to the run's folder
        const char* failure;
    };
    const Case cases[] = {
        {"library/old.jpg", "library/old.jpg", nullptr},
        {"missing.jpg", "out.jpg", nullptr},  // dangling: the name is replaced, not followed
        {"a.jpg", nullptr, "the input itself"},
    };
    const QString link = m_dir.filePath(QStringLiteral("out.jpg"));
    for (const Case& c : cases) {
        QFile::remove(link);
        ASSERT_TRUE(QFile::link(QString::fromUtf8(c.linkTo), link));
        Options options;
        options.force = true;
        options.output = QStringLiteral("out.jpg");
        options.inputs = {QStringLiteral("a.jpg")};
        const FileTask task = planBatch(options).tasks.at(0);
        if (c.failure) {
            EXPECT_TRUE(task.failure.contains(QLatin1String(c.failure)))
                << c.linkTo << ": " << task.failure.toStdString();
            continue;
        }
        EXPECT_TRUE(task.failure.isEmpty()) << c.linkTo << ": " << task.failure.toStdString();
        EXPECT_TRUE(task.replaceOutput) << c.linkTo;
        EXPECT_EQ(QFileInfo(task.output).absoluteFilePath(),
                  QDir(m_dir.path()).canonicalPath() + u'/' + QString::fromUtf8(c.writes))
            << c.linkTo;
    }
}

}  // namespace
}  // namespace vellora::cli
