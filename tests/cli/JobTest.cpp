// SPDX-License-Identifier: GPL-3.0-or-later
// A job made, signed and followed by tavrel-flash against the simulated boot loader; each way of
// tampering with it is refused before any port is opened.
#include "config/Job.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <functional>
#include <gtest/gtest.h>

namespace {

struct Finished {
    int exitCode = -1;
    QString said;
};

Finished Start(const char* program, const QStringList& arguments, const QString& configHome) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
    process.setProcessEnvironment(environment);
    process.start(QString::fromUtf8(program), arguments);
    process.waitForFinished(60000);
    return {
        process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
        QString::fromLocal8Bit(process.readAllStandardOutput() + process.readAllStandardError())};
}

void Change(const QString& path, const QByteArray& from, const QByteArray& to) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    QByteArray content = file.readAll();
    ASSERT_TRUE(content.contains(from));
    content.replace(from, to);
    file.resize(0);
    file.write(content);
}

struct JobCase {
    const char* name;
    std::function<void(TempFiles&)> tamper;
    QStringList extra; // more words for tavrel-flash
    int exitCode;
    const char* said;
};

class FollowedJob : public ::testing::TestWithParam<JobCase> {};

// A key trusted in the configuration folder `home`, and fw.job made with `settings` for fw.bin
// and signed with it.
void MakeSignedJob(TempFiles& files, const QString& home, const QStringList& settings) {
    ASSERT_TRUE(QDir().mkpath(home + QStringLiteral("/tavrel/job-keys")));
    const QString image = files.Write("fw.bin", PatternBytes(3000, 5));
    const QString key = files.Path("eng");
    const QString job = files.Path("fw.job");
    ASSERT_EQ(Start(TAVREL_JOB_PATH, {"keygen", key}, home).exitCode, 0);
    ASSERT_TRUE(QFile::copy(key + QStringLiteral(".pub"),
                            home + QStringLiteral("/tavrel/job-keys/eng.pub")));
    const Finished made =
        Start(TAVREL_JOB_PATH,
              QStringList{"create", "fw", "--output", job} + settings + QStringList{image}, home);
    ASSERT_EQ(made.exitCode, 0) << made.said.toStdString();
    ASSERT_EQ(Start(TAVREL_JOB_PATH, {"sign", job, key + QStringLiteral(".key")}, home).exitCode,
              0);
}

TEST_P(FollowedJob, FlashesOnlyWhatWasSigned) {
    TempFiles files;
    const QString home = files.Path("config");
    const QString job = files.Path("fw.job");
    ASSERT_NO_FATAL_FAILURE(MakeSignedJob(
        files, home,
        {"--job-version", "2", "--baud", "57600", "--require", "operator,work-order"}));
    GetParam().tamper(files);
    const QString out = files.Path("received.bin");
    const QString log = files.Path("log.jsonl");
    SimProcess sim({"--out", out});
    const Finished run = Start(
        TAVREL_FLASH_PATH,
        QStringList{"--job", job, "-p", sim.PortPath(), "--log", log} + GetParam().extra, home);
    EXPECT_EQ(run.exitCode, GetParam().exitCode) << run.said.toStdString();
    EXPECT_TRUE(run.said.contains(QString::fromUtf8(GetParam().said))) << run.said.toStdString();
    sim.Stop();
    QFile received(out);
    const qint64 blocks = received.open(QIODevice::ReadOnly) ? received.size() / 1024 : 0;
    EXPECT_EQ(blocks > 0, GetParam().exitCode == 0) << "blocks sent only for a job that holds";
    if (GetParam().exitCode == 0) {
        QFile records(log);
        ASSERT_TRUE(records.open(QIODevice::ReadOnly));
        const QJsonObject record = QJsonDocument::fromJson(records.readLine()).object();
        QFile jobFile(job);
        ASSERT_TRUE(jobFile.open(QIODevice::ReadOnly));
        EXPECT_EQ(record.value("job").toString(), "fw 2");
        EXPECT_EQ(record.value("job_sha256").toString().toLatin1(),
                  config::Sha256Hex(jobFile.readAll()));
        EXPECT_EQ(record.value("operator").toString(), "ann");
        EXPECT_EQ(record.value("work_order").toString(), "WO-7");
    }
}

const QStringList kOperator{"--operator", "ann", "--work-order", "WO-7"};

INSTANTIATE_TEST_SUITE_P(
    Cases, FollowedJob,
    ::testing::Values(
        JobCase{"Signed", [](TempFiles&) {}, kOperator, 0, "Wrote 3000 bytes"},
        JobCase{"OneByteOfTheJob", [](TempFiles& f) { Change(f.Path("fw.job"), "57600", "57601"); },
                kOperator, 1, "was changed after it was signed"},
        JobCase{"OneByteOfTheImage",
                [](TempFiles& f) { Change(f.Path("fw.bin"), QByteArray(1, '\x05'), "x"); },
                kOperator, 2, "is not the one job fw 2 names"},
        JobCase{"AKeyNotTrusted",
                [](TempFiles& f) { QFile::remove(f.Path("config/tavrel/job-keys/eng.pub")); },
                kOperator, 1, "which this station does not trust"},
        JobCase{"Unsigned", [](TempFiles& f) { Change(f.Path("fw.job"), "\nsignature =", "\n#"); },
                kOperator, 1, "is not signed"},
        JobCase{"PinnedOptionGiven", [](TempFiles&) {}, kOperator + QStringList{"-b", "9600"}, 1,
                "--baud is set by job fw 2"},
        JobCase{
            "RequiredOperatorMissing", [](TempFiles&) {}, {}, 1, "job fw 2 requires --operator"}),
    [](const auto& info) { return std::string(info.param.name); });

// A job that may make two boards makes two, across runs, counted in the station's store; the
// third board is refused before a block is sent, and says why.
TEST(JobLimit, MakesNoMoreBoardsThanItMay) {
    TempFiles files;
    const QString home = files.Path("config");
    const QString job = files.Path("fw.job");
    ASSERT_NO_FATAL_FAILURE(MakeSignedJob(files, home, {"--max-boards", "2"}));
    SimProcess boards({"--count", "4", "--out", files.Path("out%d.bin")});
    const QString store = QStringLiteral("sqlite:") + files.Path("records.sqlite");
    const Finished three = Start(TAVREL_FLASH_PATH,
                                 {"--job", job, "--store", store, "-p", boards.PortPaths()[0], "-p",
                                  boards.PortPaths()[1], "-p", boards.PortPaths()[2]},
                                 home);
    EXPECT_EQ(three.exitCode, 6) << three.said.toStdString();
    EXPECT_TRUE(three.said.contains("has made all the boards it may (max-boards 2)"))
        << three.said.toStdString();
    const Finished fourth = Start(
        TAVREL_FLASH_PATH, {"--job", job, "--store", store, "-p", boards.PortPaths()[3]}, home);
    EXPECT_EQ(fourth.exitCode, 1) << fourth.said.toStdString();
    boards.Stop();
    int flashed = 0;
    for (int n = 1; n <= 4; ++n) {
        flashed += QFile::exists(files.Path(QStringLiteral("out%1.bin").arg(n)));
    }
    EXPECT_EQ(flashed, 2);
}

// A board that failed before it took the image gives its place back; one that took it and then
// failed keeps it: its program said nothing, or its port was lost before the switch and the
// retry found no board.
TEST(JobLimit, OnlyABoardThatNeverTookTheImageGivesItsPlaceBack) {
    TempFiles files;
    const QString home = files.Path("config");
    const QString job = files.Path("fw.job");
    ASSERT_NO_FATAL_FAILURE(MakeSignedJob(
        files, home, {"--max-boards", "1", "--expect", "ready", "--expect-within", "1"}));
    struct Board {
        QString store;
        QStringList simulator;
        int exitCode;
    };
    for (const Board& board : {
             Board{"a", {"--silent-after", "0"}, 4},
             Board{"a", {}, 7},
             Board{"a", {"--after-switch", "100:ready\\n"}, 1},
             Board{"b", {"--hangup-after", "3"}, 3},
             Board{"b", {"--after-switch", "100:ready\\n"}, 1},
         }) {
        SimProcess sim(board.simulator);
        const Finished run = Start(TAVREL_FLASH_PATH,
                                   {"--job", job, "--store", "sqlite:" + files.Path(board.store),
                                    "-t", "1", "--retries", "1", "-p", sim.PortPath()},
                                   home);
        EXPECT_EQ(run.exitCode, board.exitCode)
            << board.simulator.join(' ').toStdString() << run.said.toStdString();
    }
}

} // namespace
