// SPDX-License-Identifier: GPL-3.0-or-later
// tavrel-flash's command line takes the GNU forms its users type elsewhere, each meaning the same
// options, and refuses what it cannot take with a message that names the option.
#include "config/Defaults.h"
#include "support/TempFiles.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

QList<QByteArray> Words(std::initializer_list<const char*> words) {
    QList<QByteArray> argv{"tavrel-flash"};
    for (const char* word : words) {
        argv << word;
    }
    return argv;
}

// What a parse made, in one line to compare.
std::string Made(const config::SettingsRead& parsed) {
    if (!parsed) {
        return "refused: " + parsed.error().text.toStdString();
    }
    const config::RunSettings& o = *parsed;
    return QStringLiteral("port=%1 baud=%2 timeout=%3 quiet=%4 json=%5 verbose=%6 image=%7 "
                          "watch=%8:%9 filters=%10 retries=%11")
               .arg(o.ports.join('|'))
               .arg(o.baud)
               .arg(o.timeoutSeconds)
               .arg(o.quiet)
               .arg(o.json)
               .arg(o.verbose)
               .arg(QString::fromLocal8Bit(o.imagePath))
               .arg(o.watch)
               .arg(QString::fromLocal8Bit(o.watchPattern))
               .arg(o.portFilters.size())
               .arg(o.retries)
               .toStdString() +
           " log=" + o.logFile.toStdString();
}

TEST(OptionTable, EveryGnuFormMeansTheSame) {
    const std::vector<std::vector<QList<QByteArray>>> groups{
        {Words({"-p", "/dev/x", "-b", "9600", "-t", "2", "fw.bin"}),
         Words({"--port=/dev/x", "--baud=9600", "--timeout=2", "fw.bin"}),
         Words({"--port", "/dev/x", "--baud", "9600", "--timeout", "2", "fw.bin"}),
         Words({"-p/dev/x", "-b9600", "-t2", "fw.bin"}),
         Words({"--port", "/dev/x", "--bau=9600", "--ti", "2", "fw.bin"}),
         Words({"fw.bin", "-p", "/dev/x", "-b", "9600", "-t", "2"}),
         Words({"-p", "/dev/x", "-b", "9600", "-t", "2", "--", "fw.bin"})},
        {Words({"-q", "-j", "-v", "-v", "fw.bin"}), Words({"-qjvv", "fw.bin"}),
         Words({"--quiet", "--json", "--verbose", "--verb", "fw.bin"})},
        {Words({"-p", "com", "3", "fw.bin"}), Words({"-p", "com 3", "fw.bin"})},
        {Words({"--watch", "/dev/serial/by-id/*", "--port-filter", "vid=0483", "--retries=2",
                "fw.bin"}),
         Words({"--watch=/dev/serial/by-id/*", "--port-filter=vid=0483", "--retr", "2", "fw.bin"})},
        {Words({"--", "-odd-name.bin"}), Words({"-t", "10", "--", "-odd-name.bin"})},
        {Words({"--watch", "--port-filter=vid=0483", "fw.bin"}),
         Words({"--port-filter", "vid=0483", "--watch", "fw.bin"})},
    };
    for (const auto& forms : groups) {
        const std::string first = Made(config::ParseCommandLine(config::kFlash, forms.front()));
        EXPECT_EQ(first.rfind("refused", 0), std::string::npos) << first;
        for (const QList<QByteArray>& form : forms) {
            EXPECT_EQ(Made(config::ParseCommandLine(config::kFlash, form)), first)
                << form.join(' ').toStdString();
        }
    }
}

TEST(OptionTable, RefusalsNameTheOption) {
    const std::vector<std::pair<QList<QByteArray>, const char*>> refused{
        {Words({"--t", "5", "fw.bin"}), "--t is ambiguous: --timeout, --trace"},
        {Words({"--fast", "fw.bin"}), "unknown option --fast"},
        {Words({"-qz", "fw.bin"}), "unknown option -z"},
        {Words({"fw.bin", "--baud"}), "--baud needs a baud rate"},
        {Words({"fw.bin", "-b"}), "-b needs a baud rate"},
        {Words({"--json=yes", "fw.bin"}), "--json takes no value"},
        {Words({"--port-filter", "vid=zz", "fw.bin"}), "--port-filter: vid needs four hex digits"},
        {Words({"-p", "", "fw.bin"}), "-p needs a port"},
        {Words({"-p=/dev/x", "fw.bin"}), "-p takes the port without '='"},
        {Words({"--expect", "ready|", "fw.bin"}), "--expect ready| matches even no text"},
        {Words({"-p", "/dev/x", "--switch-only", "--expect", "v2"}), "--expect checks a new"},
        {Words({"--all", "fw.bin"}), "--all: write --all-ports in full"},
        {Words({"--port-filter", "vid=0483,vid=1", "fw.bin"}), "--port-filter: vid is given twice"},
        {Words({"--network-ports", "rfc2217://a:1", "fw.bin"}),
         "--network-ports goes with --watch"},
        {Words({"--watch", "--network-ports", "a:1", "fw.bin"}), "a:1 is no network port"},
        {Words({"-p", "rfc2217://a", "fw.bin"}), "-p: rfc2217://a is no network port"},
        {Words({"-p", "/dev/x", "--port-filter", "vid=0483", "fw.bin"}),
         "--port-filter chooses among the system's ports"},
        {Words({"--stamp-mac-pool", "02:12:34:00:00:09..02:12:34:00:00:00", "fw.bin"}),
         "--stamp-mac-pool takes [NAME=]FIRST..LAST"},
        {Words({"--stamp-mac-pool", "02:12:34:00:00..02:12:34:00:00:01", "fw.bin"}),
         "--stamp-mac-pool takes [NAME=]FIRST..LAST"},
        {Words({"--stamp-lease", "-1", "fw.bin"}), "--stamp-lease takes a count from 0"},
        {Words({"--stamp-mac-pool", "01:00:5e:00:00:00..01:00:5e:00:00:ff", "fw.bin"}),
         "--stamp-mac-pool: 01:00:5e:00:00:00 is a group"},
    };
    for (const auto& [argv, said] : refused) {
        const config::SettingsRead parsed = config::ParseCommandLine(config::kFlash, argv);
        ASSERT_FALSE(parsed) << argv.join(' ').toStdString();
        EXPECT_TRUE(parsed.error().text.startsWith(QString::fromUtf8(said)))
            << parsed.error().text.toStdString();
    }
}

// Each program takes the options the table gives it, and no other.
TEST(OptionTable, EachProgramTakesTheOptionsListedForIt) {
    for (const config::OptionRow& option : config::OptionTable()) {
        for (const config::Program program : {config::kFlash, config::kStation}) {
            const QByteArray word = QByteArray("--") + option.name;
            const config::SettingsRead read =
                config::ParseCommandLine(program, Words({word.constData(), "x", "fw.bin"}));
            const QString why = read ? QString() : read.error().text;
            EXPECT_EQ(why.startsWith(QStringLiteral("unknown option")),
                      (option.programs & program) == 0)
                << word.constData() << " in program " << program << ": " << why.toStdString();
        }
    }
}

// The environment and the configuration file fill in what the command line leaves, never more:
// not a port where the command line chose ports otherwise, not a log where no image is written.
TEST(OptionTable, DefaultsFillOnlyWhatTheCommandLineLeaves) {
    struct Case {
        const char* name;
        QByteArray file; // tavrel.conf
        QByteArray port; // TAVREL_PORT
        QList<QByteArray> argv;
        QByteArray made;   // part of what the parse made, or of its refusal
        bool fifo = false; // the file is a FIFO, whose reading would block
        config::Program program = config::kFlash;
    };
    TempFiles files;
    const QByteArray folder = QFile::encodeName(files.Path("config"));
    QDir().mkpath(files.Path("config/tavrel"));
    qputenv("XDG_CONFIG_HOME", folder);
    for (const Case& c : {
             Case{"EnvironmentPort", "", "/dev/x", Words({"fw.bin"}), "port=/dev/x "},
             Case{"CommandLineFilterBeatsEnvironmentPort", "", "/dev/x",
                  Words({"--port-filter", "vid=0483", "fw.bin"}), "port= "},
             Case{"FileBaudBelowCommandLine", "baud = 9600\n", "", Words({"-b", "57600", "fw.bin"}),
                  "baud=57600 "},
             Case{"FileWatchPatternForABareWatch", "watch = \"/dev/serial/by-id/*\"\n", "",
                  Words({"--watch", "fw.bin"}), "watch=1:/dev/serial/by-id/*"},
             Case{"NoLogForTheSwitchAlone", "log = /tmp/l.jsonl\nretries = 2\n", "",
                  Words({"-p", "/dev/x", "--switch-only"}), "retries=0"},
             Case{"UnknownKeyIsRefused", "speed = 9600\n", "", Words({"fw.bin"}),
                  "has the key speed"},
             Case{"BadValueNamesItsSource", "timeout = soon\n", "", Words({"fw.bin"}),
                  "tavrel.conf line 1)"},
             // A file held to the command line's rules, whether or not the run uses the value.
             Case{"FolderToWatchIsRefused", "watch = " + folder + "\n", "",
                  Words({"--watch", "fw.bin"}), "is a folder, and a folder is no port"},
             Case{"MalformedNetworkPortIsRefusedUnused", "network-ports = tcp://h:1\n", "",
                  Words({"-p", "/dev/x", "fw.bin"}), "tavrel.conf line 1)"},
             Case{"KeyGivenTwice", "baud = 9600\n; the fast one\nbaud = 57600\n", "",
                  Words({"fw.bin"}), "gives the key baud twice, on lines 1 and 3"},
             Case{"LogNameByItsBytes", "log = \"/tmp/l\xff;.jsonl\"\n", "",
                  Words({"-p", "/dev/x", "fw.bin"}), "log=/tmp/l\xff;.jsonl"},
             Case{"FileFilterUnusedWhenAPortIsNamed", "port-filter = \"vid=0483\"\n", "",
                  Words({"-p", "/dev/x", "fw.bin"}), "watch=0: filters=0"},
             // What QSettings took stays taken: its [General] root, quoted lists, escapes.
             Case{"QSettingsForms", "[General]\nlog = \"/tmp/a\\tb\", \"c\" ; note\n", "",
                  Words({"-p", "/dev/x", "fw.bin"}), "log=/tmp/a\tb,c"},
             Case{"FifoIsRefusedAtOnce", "", "", Words({"fw.bin"}), "not a regular file", true},
             // The station reads the same files and the same environment, by the same rules.
             Case{
                 "StationFileBaudAndWatch", "baud = 9600\nwatch = \"/dev/serial/by-id/*\"\n", "",
                 Words({}),
                 "baud=9600 timeout=10 quiet=0 json=0 verbose=0 image= watch=0:/dev/serial/by-id/*",
                 false, config::kStation},
             Case{"StationCommandLineBeatsFile", "baud = 9600\n", "", Words({"-b", "57600"}),
                  "baud=57600 ", false, config::kStation},
             Case{"StationTakesNoPortFromTheEnvironment", "retries = 2\n", "/dev/x", Words({}),
                  "port= baud=115200", false, config::kStation},
             Case{"StationChecksFileValues", "expect = \"ready|\"\n", "", Words({}),
                  "--expect ready| matches even no text", false, config::kStation},
         }) {
        const QString path = files.Path("config/tavrel/tavrel.conf");
        QFile::remove(path);
        if (c.fifo) {
            ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else {
            QFile conf(path);
            ASSERT_TRUE(conf.open(QIODevice::WriteOnly | QIODevice::Truncate));
            conf.write(c.file);
        }
        if (c.port.isEmpty()) {
            qunsetenv("TAVREL_PORT");
        } else {
            qputenv("TAVREL_PORT", c.port);
        }
        QStringList told;
        const std::string made = Made(config::ReadSettings(c.program, c.argv, &told));
        EXPECT_NE(made.find(c.made.toStdString()), std::string::npos) << c.name << ": " << made;
    }
    qunsetenv("TAVREL_PORT");
    qunsetenv("XDG_CONFIG_HOME");
}

} // namespace
