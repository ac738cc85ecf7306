// SPDX-License-Identifier: GPL-3.0-or-later
// A signed job read as a station reads it: each change after signing, and each key the station
// should not trust, is refused.
#include "config/Defaults.h"
#include "config/Job.h"
#include "support/TempFiles.h"

#include <QDir>
#include <QFile>
#include <functional>
#include <gtest/gtest.h>

namespace {

void Replace(const QString& path, const QByteArray& from, const QByteArray& to) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const QByteArray content = file.readAll();
    file.resize(0);
    file.write(QByteArray(content).replace(from, to));
}

struct ReadCase {
    const char* name;
    std::function<void(TempFiles&)> change;
    const char* refusal; // empty: accepted
};

class SignedJob : public ::testing::TestWithParam<ReadCase> {};

TEST_P(SignedJob, IsTakenOnlyAsItWasSigned) {
    TempFiles files;
    for (const char* folder : {"system", "user/tavrel/job-keys"}) {
        ASSERT_TRUE(QDir().mkpath(files.Path(folder)));
    }
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(files.Path("user")));
    const QString job = files.Path("fw.job");
    ASSERT_TRUE(config::MakeKeyPair(files.Path("user/tavrel/job-keys/eng")));
    files.Write("fw.job", config::JobText("fw", "2", "fw.bin", QByteArray(64, 'a'),
                                          {{"baud", "57600"}, {"slots", "slots.txt"}}, {}));
    ASSERT_TRUE(config::SignJob(job, files.Path("user/tavrel/job-keys/eng.key")));
    GetParam().change(files);
    const auto read = config::ReadJob(job, config::TrustedKeyFolders(files.Path("system")));
    if (*GetParam().refusal == '\0') {
        ASSERT_TRUE(read) << read.error().text.toStdString();
        // What the job names lies beside it, whatever the station's current folder.
        QStringList told;
        const config::SettingsRead settings = config::ReadSettings(
            config::kFlash, {"tavrel-flash", "--job", QFile::encodeName(job), "--operator", "a"},
            &told);
        ASSERT_TRUE(settings) << settings.error().text.toStdString();
        EXPECT_EQ(settings->slotsFile, files.Path("slots.txt"));
        // A job the configuration file names brings its image too.
        files.Write("user/tavrel/tavrel.conf", "job = \"" + QFile::encodeName(job) + "\"\n");
        const config::SettingsRead fromFile =
            config::ReadSettings(config::kFlash, {"tavrel-flash", "--operator", "a"}, &told);
        ASSERT_TRUE(fromFile) << fromFile.error().text.toStdString();
        EXPECT_EQ(fromFile->imagePath, QFile::encodeName(files.Path("fw.bin")));
    } else {
        ASSERT_FALSE(read);
        EXPECT_TRUE(read.error().text.contains(QString::fromUtf8(GetParam().refusal)))
            << read.error().text.toStdString();
    }
    qunsetenv("XDG_CONFIG_HOME");
}

INSTANTIATE_TEST_SUITE_P(
    Changes, SignedJob,
    ::testing::Values(
        ReadCase{"Untouched", [](TempFiles&) {}, ""},
        ReadCase{"SignatureSpelledAnew",
                 [](TempFiles& f) { Replace(f.Path("fw.job"), "==\n", "==!!!\n"); },
                 "its signature line"},
        ReadCase{
            "ALineAdded",
            [](TempFiles& f) { Replace(f.Path("fw.job"), "signed-by", "retries = 9\nsigned-by"); },
            "was changed after it was signed"},
        // Once the line's administrator trusts a key, the operator's own keys count for nothing.
        ReadCase{"OperatorsOwnKeyUnderAnAdministeredLine",
                 [](TempFiles& f) { ASSERT_TRUE(config::MakeKeyPair(f.Path("system/line"))); },
                 "which this station does not trust"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
