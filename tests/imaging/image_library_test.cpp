// The program's side of the image library: loading the module on first use from the
// system directory, binding entries by name, the three load failures and the
// recovery, and first calls racing on several threads.

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <atomic>
#include <barrier>
#include <thread>

#include "imaging/image_library.h"
#include "platform/global_block.h"
#include "support/test_support.h"

namespace vellora::test {
namespace {

const QString kModule =
    QStringLiteral(VELLORA_MODULE_BUILD_DIR "/") + QString::fromLatin1(kImageLibraryFileName);

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString sample() {
    return testData(QStringLiteral("bad/jpeg/ljt-testimages/testorig.jpg"));
}

// Runs `call` and returns the number of the RuntimeError it throws (0: none).
template <typename Call>
int errorNumberOf(Call&& call) {
    try {
        call();
    } catch (const RuntimeError& error) {
        return static_cast<int>(error.number());
    }
    return 0;
}

TEST(ImageLibraryLoad, MissingModuleRaisesFileNotFoundOnEveryEntry) {
    QTemporaryDir dir;
    RecordingPlatform platform;
    platform.systemDir = dir.path().toStdString();
    platform.moduleDir = dir.path().toStdString();
    ImageLibrary library;
    std::int32_t width = 0, height = 0;
    const int notFound = static_cast<int>(ErrorNumber::FileNotFound);
    EXPECT_EQ(errorNumberOf([&] { (void)library.ImgDLLStringInitDLL(""); }), notFound);
    EXPECT_EQ(errorNumberOf([&] { (void)library.ImgDLLReadRGBFromJPG("a.jpg", &width, &height); }),
              notFound);
    EXPECT_EQ(errorNumberOf([&] { (void)library.ImgDLLReadRGBFromBMP("a.bmp", &width, &height); }),
              notFound);
    EXPECT_EQ(errorNumberOf([&] { (void)library.ImgDLLCropRGB(nullptr, 1, 1, 0, 0, 1, 1); }),
              notFound);
    EXPECT_EQ(errorNumberOf([&] { (void)library.ImgDLLSaveRGBToJPG("a", nullptr, 1, 1, 1, 1); }),
              notFound);
    EXPECT_EQ(errorNumberOf([&] { (void)library.ImgDLLGetLastError(); }), notFound);
}

TEST(ImageLibraryLoad, UnknownDirectoryRaisesFileNotFound) {
    RecordingPlatform platform;
    platform.systemDir.clear();  // both directory calls fail
    platform.moduleDir.clear();
    ImageLibrary library;
    EXPECT_EQ(errorNumberOf([&] { (void)library.ImgDLLStringInitDLL(""); }),
              static_cast<int>(ErrorNumber::FileNotFound));
}

TEST(ImageLibraryLoad, FileThatIsNotALibraryRaises48) {
    QTemporaryDir dir;
    RecordingPlatform platform;
    platform.systemDir = dir.path().toStdString();
    QFile file(dir.filePath(QString::fromLatin1(kImageLibraryFileName)));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("this is not a shared library");
    file.close();
    ImageLibrary library;
    try {
        (void)library.ImgDLLStringInitDLL("");
        FAIL() << "no error raised";
    } catch (const RuntimeError& error) {
        EXPECT_EQ(error.number(), ErrorNumber::LibraryLoadFailed);
        EXPECT_EQ(static_cast<int>(error.number()), 48);
        EXPECT_NE(std::string(error.what()).find(file.fileName().toStdString()), std::string::npos);
    }
}

TEST(ImageLibraryLoad, ModuleWithoutTheEntryRaisesOther) {
    QTemporaryDir dir;
    RecordingPlatform platform;
    platform.systemDir = dir.path().toStdString();
    ASSERT_TRUE(QFile::copy(QStringLiteral(VELLORA_EMPTY_MODULE),
                            dir.filePath(QString::fromLatin1(kImageLibraryFileName))));
    ImageLibrary library;
    EXPECT_EQ(errorNumberOf([&] { (void)library.ImgDLLStringInitDLL(""); }),
              static_cast<int>(ErrorNumber::Other));
    std::int32_t width = 0, height = 0;
    EXPECT_EQ(errorNumberOf([&] { (void)library.ImgDLLReadRGBFromJPG("a.jpg", &width, &height); }),
              static_cast<int>(ErrorNumber::Other));
}

TEST(ImageLibraryLoad, ModuleThatAppearsLaterIsLoaded) {
    QTemporaryDir dir;
    RecordingPlatform platform;
    platform.systemDir = dir.path().toStdString();
    platform.moduleDir = dir.path().toStdString();
    ImageLibrary library;
    EXPECT_EQ(errorNumberOf([&] { (void)library.ImgDLLStringInitDLL(""); }),
              static_cast<int>(ErrorNumber::FileNotFound));
    ASSERT_TRUE(QFile::copy(kModule, dir.filePath(QString::fromLatin1(kImageLibraryFileName))));
    EXPECT_EQ(library.ImgDLLStringInitDLL(""), 1);
}

TEST(ImageLibraryLoad, EntriesWorkThroughTheSystemDirectory) {
    RecordingPlatform platform;  // systemDir: the build's module directory
    ImageLibrary library;
    EXPECT_EQ(library.ImgDLLStringInitDLL("Vellora"), 1);
    std::int32_t width = 0, height = 0;
    GlobalBlock source(
        library.ImgDLLReadRGBFromJPG(QFile::encodeName(sample()).constData(), &width, &height));
    ASSERT_TRUE(source) << library.ImgDLLGetLastError();
    EXPECT_EQ(width, 227);
    EXPECT_EQ(height, 149);
    GlobalBlock cutOut(library.ImgDLLCropRGB(source.lock(), width, height, 8, 8, 33, 33));
    ASSERT_TRUE(cutOut) << library.ImgDLLGetLastError();
    QTemporaryDir dir;
    const QByteArray target = QFile::encodeName(dir.filePath(QStringLiteral("cut.jpg")));
    EXPECT_EQ(library.ImgDLLSaveRGBToJPG(target.constData(), cutOut.lock(), 25, 25, 80, 1), 1);
    GlobalBlock back(library.ImgDLLReadRGBFromJPG(target.constData(), &width, &height));
    EXPECT_TRUE(back);
    EXPECT_EQ(width, 25);
    EXPECT_EQ(height, 25);
    EXPECT_FALSE(library.ImgDLLReadRGBFromBMP(target.constData(), &width, &height));
    EXPECT_NE(std::string(library.ImgDLLGetLastError()).find("not a BMP file"), std::string::npos);
}

struct SearchCase {
    const char* name;
    bool overrideCopy;       // a working copy in the override folder
    bool installedCopy;      // a working copy in the installed folder
    const char* loadedFrom;  // "override", "installed" or nullptr (FileNotFound)
};

class ModuleSearch : public testing::TestWithParam<SearchCase> {};

TEST_P(ModuleSearch, OverrideFolderFirstThenTheInstalledOne) {
    const SearchCase& item = GetParam();
    QTemporaryDir overrideFolder, installedFolder;
    RecordingPlatform platform;
    platform.systemDir = overrideFolder.path().toStdString();
    platform.moduleDir = installedFolder.path().toStdString();
    const QString name = QString::fromLatin1(kImageLibraryFileName);
    if (item.overrideCopy) {
        ASSERT_TRUE(QFile::copy(kModule, overrideFolder.filePath(name)));
    }
    if (item.installedCopy) {
        ASSERT_TRUE(QFile::copy(kModule, installedFolder.filePath(name)));
    }
    ImageLibrary library;
    if (!item.loadedFrom) {
        EXPECT_EQ(errorNumberOf([&] { (void)library.ImgDLLStringInitDLL(""); }),
                  static_cast<int>(ErrorNumber::FileNotFound));
        return;
    }
    EXPECT_EQ(library.ImgDLLStringInitDLL(""), 1);
    const QString expected = std::string(item.loadedFrom) == "override"
                                 ? overrideFolder.filePath(name)
                                 : installedFolder.filePath(name);
    // The loaded copy is the one mapped into this process.
    QFile maps(QStringLiteral("/proc/self/maps"));
    ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
    EXPECT_TRUE(maps.readAll().contains(QFile::encodeName(expected)));
}

INSTANTIATE_TEST_SUITE_P(Cases, ModuleSearch,
                         testing::Values(SearchCase{"OnlyInstalled", false, true, "installed"},
                                         SearchCase{"OnlyOverride", true, false, "override"},
                                         SearchCase{"BothOverrideWins", true, true, "override"},
                                         SearchCase{"Neither", false, false, nullptr}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ImageLibraryLoad, ExplicitDirectoryWinsOverTheSystemDirectory) {
    QTemporaryDir dir;
    RecordingPlatform platform;
    platform.systemDir = dir.path().toStdString();  // empty: would fail
    ImageLibrary library(QStringLiteral(VELLORA_MODULE_BUILD_DIR));
    EXPECT_EQ(library.ImgDLLStringInitDLL(""), 1);
}

TEST(ImageLibraryLoad, ModuleExportsExactlyTheSixEntries) {
    const QString nm = QStandardPaths::findExecutable(QStringLiteral("nm"));
    if (nm.isEmpty()) {
        GTEST_SKIP() << "nm is not installed";
    }
    QProcess process;
    process.start(nm, {QStringLiteral("-D"), QStringLiteral("--defined-only"), kModule});
    ASSERT_TRUE(process.waitForFinished(60000));
    ASSERT_EQ(process.exitCode(), 0);
    QStringList exported;
    for (const QString& line :
         QString::fromLocal8Bit(process.readAllStandardOutput()).split('\n')) {
        const QStringList fields = line.split(' ', Qt::SkipEmptyParts);
        if (fields.size() == 3) {
            exported << fields[2];
        }
    }
    exported.sort();
    EXPECT_EQ(
        exported,
        (QStringList{QStringLiteral("ImgDLLCropRGB"), QStringLiteral("ImgDLLGetLastError"),
                     QStringLiteral("ImgDLLReadRGBFromBMP"), QStringLiteral("ImgDLLReadRGBFromJPG"),
                     QStringLiteral("ImgDLLSaveRGBToJPG"), QStringLiteral("ImgDLLStringInitDLL")}));
}

TEST(ImageLibraryLoad, ProgramLibraryIsOneObject) {
    RecordingPlatform platform;
    EXPECT_EQ(&imageLibrary(), &imageLibrary());
    EXPECT_EQ(imageLibrary().ImgDLLStringInitDLL(""), 1);
}

// ---------------------------------------------------------------------------
// Recovery

TEST(LibraryLoadRecovery, DeletesTheModuleTellsTheUserAndEnds) {
    QTemporaryDir dir;
    RecordingPlatform platform;
    platform.systemDir = dir.path().toStdString() + "/";  // with the separator: still found
    const QString module = dir.filePath(QString::fromLatin1(kImageLibraryFileName));
    QFile file(module);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("stale");
    file.close();
    QStringList told;
    EXPECT_TRUE(recoverFromLibraryLoadFailure([&](const QString& text) { told << text; }));
    EXPECT_FALSE(QFile::exists(module));
    EXPECT_EQ(told, QStringList{QStringLiteral("Please re-run Vellora, this instance will end.")});
    EXPECT_EQ(platform.endCount, 1);
}

TEST(LibraryLoadRecovery, DoesNothingWithoutAModuleFile) {
    QTemporaryDir dir;
    RecordingPlatform platform;
    platform.systemDir = dir.path().toStdString();
    QStringList told;
    EXPECT_FALSE(recoverFromLibraryLoadFailure([&](const QString& text) { told << text; }));
    EXPECT_TRUE(told.isEmpty());
    EXPECT_EQ(platform.endCount, 0);
    EXPECT_TRUE(QDir(dir.path()).isEmpty());
}

TEST(LibraryLoadRecovery, BrokenOverrideCopyGoesInstalledModuleStaysNextStartWorks) {
    // The installed module is a copy of the build's, in a folder of its own, so the
    // test can see that the recovery leaves it alone.
    QTemporaryDir overrideFolder, installedFolder;
    RecordingPlatform platform;
    platform.systemDir = overrideFolder.path().toStdString();
    platform.moduleDir = installedFolder.path().toStdString();
    const QString name = QString::fromLatin1(kImageLibraryFileName);
    const QString installed = installedFolder.filePath(name);
    ASSERT_TRUE(QFile::copy(kModule, installed));
    const QByteArray installedBytes = fileBytes(installed);
    QFile stale(overrideFolder.filePath(name));
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.write("a copy from an older version, cut short");
    stale.close();

    {
        ImageLibrary library;  // this start: the broken copy is found first
        EXPECT_EQ(errorNumberOf([&] { (void)library.ImgDLLStringInitDLL(""); }), 48);
        EXPECT_TRUE(recoverFromLibraryLoadFailure({}));
        EXPECT_EQ(platform.endCount, 1);
    }
    EXPECT_FALSE(QFile::exists(stale.fileName()));
    EXPECT_EQ(fileBytes(installed), installedBytes);

    ImageLibrary next;  // the next start loads the installed module and works
    EXPECT_EQ(next.ImgDLLStringInitDLL(""), 1);
    std::int32_t width = 0, height = 0;
    GlobalBlock picture(
        next.ImgDLLReadRGBFromJPG(QFile::encodeName(sample()).constData(), &width, &height));
    EXPECT_TRUE(picture) << next.ImgDLLGetLastError();
    EXPECT_EQ(width, 227);
}

TEST(LibraryLoadRecovery, BrokenInstalledModuleIsNeverDeleted) {
    QTemporaryDir overrideFolder, installedFolder;
    RecordingPlatform platform;
    platform.systemDir = overrideFolder.path().toStdString();
    platform.moduleDir = installedFolder.path().toStdString();
    const QString installed = installedFolder.filePath(QString::fromLatin1(kImageLibraryFileName));
    QFile file(installed);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("damaged");
    file.close();
    ImageLibrary library;
    EXPECT_EQ(errorNumberOf([&] { (void)library.ImgDLLStringInitDLL(""); }), 48);
    EXPECT_FALSE(recoverFromLibraryLoadFailure({}));
    EXPECT_TRUE(QFile::exists(installed));
    EXPECT_EQ(platform.endCount, 0);
}

TEST(LibraryLoadRecovery, OverrideFolderLeadingToTheInstalledOneDeletesNothing) {
    QTemporaryDir base;
    const QString installedFolder = base.filePath(QStringLiteral("installed"));
    ASSERT_TRUE(QDir().mkpath(installedFolder));
    const QString installed =
        installedFolder + QLatin1Char('/') + QString::fromLatin1(kImageLibraryFileName);
    QFile file(installed);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("damaged");
    file.close();
    const QString linkedFolder = base.filePath(QStringLiteral("override"));
    ASSERT_TRUE(QFile::link(installedFolder, linkedFolder));
    for (const QString& overridePath : {installedFolder, linkedFolder}) {
        RecordingPlatform platform;
        platform.systemDir = overridePath.toStdString();
        platform.moduleDir = installedFolder.toStdString();
        EXPECT_FALSE(recoverFromLibraryLoadFailure({})) << overridePath.toStdString();
        EXPECT_TRUE(QFile::exists(installed));
    }
}

// ---------------------------------------------------------------------------
// Threads

TEST(ImageLibraryThreads, FirstCallsOnManyThreadsBindOnce) {
    RecordingPlatform platform;
    const QByteArray path = QFile::encodeName(sample());
    for (int attempt = 0; attempt < 5; ++attempt) {
        ImageLibrary library;
        constexpr int kThreads = 8;
        std::barrier start(kThreads);
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                try {
                    std::int32_t width = 0, height = 0;
                    if (t % 2 == 0) {
                        if (library.ImgDLLStringInitDLL("") != 1) {
                            ++failures;
                        }
                    }
                    GlobalBlock block(
                        library.ImgDLLReadRGBFromJPG(path.constData(), &width, &height));
                    if (!block || width != 227 || height != 149 ||
                        std::string(library.ImgDLLGetLastError()) != "") {
                        ++failures;
                    }
                    GlobalBlock cutOut(
                        library.ImgDLLCropRGB(block.lock(), width, height, 0, 0, 10 + t, 10));
                    if (!cutOut) {
                        ++failures;
                    }
                } catch (...) {
                    ++failures;
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(failures.load(), 0) << "attempt " << attempt;
    }
}

}  // namespace
}  // namespace vellora::test
