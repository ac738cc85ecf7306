// SPDX-License-Identifier: GPL-3.0-or-later
#include "update/ImageStore.h"
#include "support/LockHolder.h"
#include "support/TempFiles.h"

#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray StoredBlock(const ImageStore& store, int index) {
    const auto block = store.Block(static_cast<std::uint8_t>(index));
    return QByteArray(reinterpret_cast<const char*>(block.data()), 1024);
}

QByteArray StoredBlocks(const ImageStore& store, int count) {
    QByteArray bytes;
    for (int b = 0; b < count; ++b) {
        bytes += StoredBlock(store, b);
    }
    return bytes;
}

struct SizeCase {
    qint64 size;
    int lastBlock;
};

class LoadSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(LoadSizeTest, CutsIntoBlocksPaddedWithFF) {
    TempFiles files;
    const QByteArray content = PatternBytes(GetParam().size);
    ImageStore store;
    const LoadResult result = store.LoadImageFile(files.Write("image.bin", content));
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    EXPECT_EQ(store.m_lastBlock, GetParam().lastBlock);
    EXPECT_EQ(store.m_imageReady, 1);
    EXPECT_EQ(StoredBlocks(store, GetParam().lastBlock + 1), PaddedImage(content));
}

INSTANTIATE_TEST_SUITE_P(FileSizes, LoadSizeTest,
                         ::testing::Values(SizeCase{0, 0}, SizeCase{1, 0}, SizeCase{1023, 0},
                                           SizeCase{1024, 1}, SizeCase{1025, 1}, SizeCase{3000, 2},
                                           SizeCase{241663, 235}),
                         [](const auto& info) {
                             return "Bytes" + std::to_string(info.param.size);
                         });

TEST(ImageStore, BlocksLiveInTheRowOfTheirBlockNumber) {
    TempFiles files;
    ImageStore store;
    ASSERT_TRUE(store.LoadImageFile(files.Write("a.bin", QByteArray(2048, 'x'))).ok);
    EXPECT_EQ(store.m_image[20][0], 'x');
    EXPECT_EQ(store.m_image[21][1023], 'x');
    EXPECT_EQ(store.m_image[22][0], 0xFF);
    for (int row = 0; row < 20; ++row) {
        EXPECT_EQ(store.m_image[static_cast<std::size_t>(row)], ImageStore::Row{}) << "row " << row;
    }
}

TEST(ImageStore, ShorterImageKeepsLaterBlocksOfTheEarlierOne) {
    TempFiles files;
    ImageStore store;
    const QByteArray ten = PatternBytes(10 * 1024 - 5, 3);
    const QByteArray two = PatternBytes(1500, 9);
    ASSERT_TRUE(store.LoadImageFile(files.Write("ten.bin", ten)).ok);
    ASSERT_TRUE(store.LoadImageFile(files.Write("two.bin", two)).ok);
    EXPECT_EQ(store.m_lastBlock, 1);
    EXPECT_EQ(StoredBlocks(store, 2), PaddedImage(two));
    EXPECT_EQ(StoredBlocks(store, 10).mid(2048), PaddedImage(ten).mid(2048, 8 * 1024));
}

TEST(ImageStore, ReadOnlyFileLoads) {
    TempFiles files;
    const QString path = files.Write("ro.bin", "firmware");
    ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup));
    ImageStore store;
    EXPECT_TRUE(store.LoadImageFile(path).ok);
    EXPECT_EQ(QFile(path).size(), 8) << "the file must never be changed";
}

TEST(ImageStore, LoadLeavesFileUntouched) {
    TempFiles files;
    const QByteArray content = PatternBytes(3000);
    const QString path = files.Write("keep.bin", content);
    ImageStore store;
    ASSERT_TRUE(store.LoadImageFile(path).ok);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), content);
}

// The file is read to its end, whatever size the system reports (a /proc file reports none),
// and by the exact bytes of its name, valid UTF-8 or not, also when the name came as text.
TEST(ImageStore, ReadsToTheEndByTheNamesBytes) {
    ImageStore store;
    QFile version(QStringLiteral("/proc/version"));
    ASSERT_TRUE(version.open(QIODevice::ReadOnly));
    const QByteArray expected = version.readAll();
    ASSERT_FALSE(expected.isEmpty());
    const LoadResult proc = store.LoadImageFile(QStringLiteral("/proc/version"));
    ASSERT_TRUE(proc.ok) << proc.message.toStdString();
    EXPECT_EQ(proc.bytes, expected.size());
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(store.Block(0).data()), 1024),
              PaddedImage(expected).left(1024));

    TempFiles files;
    const QByteArray content = PatternBytes(1500);
    const QByteArray name = files.WriteByName("fw-\xff.bin", content);
    for (const LoadResult& result :
         {store.LoadImageFile(name), store.LoadImageFile(QFile::decodeName(name))}) {
        EXPECT_TRUE(result.ok) << result.message.toStdString();
        EXPECT_EQ(result.bytes, 1500);
        EXPECT_EQ(store.m_lastBlock, 1);
    }
    const LoadResult missing = store.LoadImageFile(QByteArray(name).replace("\xff", "\xfe"));
    EXPECT_TRUE(missing.message.contains("fw-\\xfe.bin")) << "shown readably";
}

// Every refusal leaves the store as it was and names the file and the reason.
struct RefusalCase {
    const char* name;
    std::function<QString(TempFiles&)> makePath;
    const char* reasonPart;
};

class RefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RefusalTest, StoreUnchangedAndMessageNamesFileAndReason) {
    TempFiles files;
    ImageStore store;
    const QByteArray earlier = PatternBytes(5000, 4);
    ASSERT_TRUE(store.LoadImageFile(files.Write("earlier.bin", earlier)).ok);
    store.m_imageReady = 0; // a refusal must not set it either
    const auto before = store.m_image;

    const QString path = GetParam().makePath(files);
    const LoadResult result = store.LoadImageFile(path);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.message.contains(path)) << result.message.toStdString();
    EXPECT_TRUE(result.message.contains(QString::fromUtf8(GetParam().reasonPart)))
        << result.message.toStdString();
    EXPECT_EQ(store.m_imageReady, 0);
    EXPECT_EQ(store.m_lastBlock, 4);
    EXPECT_TRUE(store.m_image == before);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RefusalTest,
    ::testing::Values(
        RefusalCase{"Missing", [](TempFiles& f) { return f.Path("missing.bin"); }, "No such file"},
        RefusalCase{"Folder", [](TempFiles& f) { return f.Path(""); }, "folder"},
        RefusalCase{"OneBlockTooMany",
                    [](TempFiles& f) { return f.Write("big.bin", PatternBytes(241664)); },
                    "241,664 bytes; the largest image that fits is 241,663 bytes"},
        RefusalCase{"FiveGiB", [](TempFiles& f) { return f.Sparse("5g.bin", 5LL << 30); },
                    "5,368,709,120 bytes"},
        // A 32-bit size would make this look like a 100-byte file.
        RefusalCase{"FourGiBPlus100",
                    [](TempFiles& f) { return f.Sparse("4g.bin", (4LL << 30) + 100); },
                    "4,294,967,396 bytes"},
        RefusalCase{"Device", [](TempFiles&) { return QStringLiteral("/dev/zero"); },
                    "not a regular file"}),
    [](const auto& info) { return std::string(info.param.name); });

// Root reads every file, so when the suite runs as root the load runs in a child that has
// become an ordinary user first.
TEST(ImageStore, FileWithoutReadPermissionIsRefused) {
    TempFiles files;
    const QString path = files.Write("secret.bin", "x");
    ASSERT_TRUE(QFile::setPermissions(path, QFile::WriteOwner));
    ASSERT_EQ(::chmod(QFile::encodeName(files.Path("")).constData(), 0755), 0);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(2);
        }
        ImageStore store;
        const LoadResult result = store.LoadImageFile(path);
        const QByteArray report = (result.ok ? QByteArray("loaded") : result.message.toUtf8());
        [[maybe_unused]] auto n =
            ::write(pipeFds[1], report.constData(), static_cast<size_t>(report.size()));
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    QByteArray report;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) {
        report.append(buffer, n);
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "could not become an ordinary user";
    EXPECT_TRUE(report.contains("Permission denied")) << report.toStdString();
    EXPECT_TRUE(report.contains("secret.bin")) << report.toStdString();
}

// Another process holds the file locked while the tool tries to load it: a writer's whole-file
// lock (flock) or POSIX record lock refuses it; another reader's shared lock never does.
struct LockCase {
    const char* name;
    LockHolder::Kind kind;
    bool refused;
};

class LockedFileTest : public ::testing::TestWithParam<LockCase> {};

TEST_P(LockedFileTest, RefusedOnlyWhileAWriterHoldsIt) {
    TempFiles files;
    const QString path = files.Write("locked.bin", PatternBytes(2000));
    LockHolder holder(path, GetParam().kind);
    ASSERT_TRUE(holder.Locked());
    ImageStore store;
    const LoadResult result = store.LoadImageFile(path);
    EXPECT_EQ(result.ok, !GetParam().refused) << result.message.toStdString();
    EXPECT_EQ(result.message.contains("another program has locked the file"), GetParam().refused)
        << result.message.toStdString();
    holder.Release();
    EXPECT_TRUE(store.LoadImageFile(path).ok) << "loads once the lock is gone";
}

INSTANTIATE_TEST_SUITE_P(
    Locks, LockedFileTest,
    ::testing::Values(LockCase{"Flock", LockHolder::Kind::WholeFile, true},
                      LockCase{"PosixRecordLock", LockHolder::Kind::PosixRecord, true},
                      LockCase{"ReadersSharedFlock", LockHolder::Kind::SharedWholeFile, false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
