// SPDX-License-Identifier: GPL-3.0-or-later
// tavrel-flash with boards on a serial server: Debian's ser2net on 127.0.0.1 in front of the
// simulated boot loader, reached as rfc2217:// and socket:// ports.
#include "serial/NetworkLine.h"
#include "serial/PortResolver.h"
#include "support/ConnectionCounter.h"
#include "support/Ser2NetProcess.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

namespace {

using Scheme = Ser2NetProcess::Scheme;

struct FlashRun {
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs tavrel-flash; `watch` sees each line of its standard output as it comes.
FlashRun RunFlash(const QStringList& arguments,
                  const std::function<void(const QByteArray&)>& watch = nullptr) {
    QProcess flash;
    flash.start(QStringLiteral(TAVREL_FLASH_PATH), arguments);
    FlashRun run;
    QByteArray out;
    while (flash.state() != QProcess::NotRunning || flash.bytesAvailable() > 0) {
        flash.waitForReadyRead(100);
        while (flash.canReadLine()) {
            const QByteArray line = flash.readLine();
            out += line;
            if (watch) {
                watch(line);
            }
        }
        if (flash.state() == QProcess::NotRunning && !flash.canReadLine()) {
            out += flash.readAll();
            break;
        }
    }
    run.exitCode = flash.exitStatus() == QProcess::NormalExit ? flash.exitCode() : -1;
    run.out = QString::fromUtf8(out);
    run.err = QString::fromUtf8(flash.readAllStandardError());
    return run;
}

class NetworkFlash : public ::testing::TestWithParam<Scheme> {};

TEST_P(NetworkFlash, WritesByteExactAndExitsZero) {
    TempFiles files;
    const QByteArray image = PatternBytes(20 * 1024 + 5, 3);
    SimProcess sim({"--out", files.Path("received.bin")});
    Ser2NetProcess server({sim.PortPath()}, GetParam());
    const FlashRun run =
        RunFlash({"-p", server.PortName(), "-b", "115200", files.Write("fw.bin", image)});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(
        run.err.contains(QStringLiteral("Wrote 20485 bytes (21 blocks) to %1 at 115200 baud")
                             .arg(server.PortName())))
        << run.err.toStdString();
    EXPECT_EQ(sim.Stop(), 0) << sim.ErrorOutput().toStdString();
    EXPECT_EQ(ReadFile(files.Path("received.bin")), PaddedImage(image));
}

INSTANTIATE_TEST_SUITE_P(Schemes, NetworkFlash, ::testing::Values(Scheme::Rfc2217, Scheme::Socket),
                         [](const auto& info) {
                             return info.param == Scheme::Rfc2217 ? "Rfc2217" : "Socket";
                         });

// What a refusal case sets up and keeps for the length of its run.
struct Fixture {
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<Ser2NetProcess> server;
    NetworkLine holder;
    QString Serve(Scheme scheme, const QStringList& simArguments = {}) {
        sim = std::make_unique<SimProcess>(simArguments);
        server = std::make_unique<Ser2NetProcess>(QStringList{sim->PortPath()}, scheme);
        return server->PortName();
    }
};

struct RefusalCase {
    const char* name;
    std::function<QStringList(Fixture&)> arguments;
    int exitCode;
    const char* errorPart;
};

class NetworkRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(NetworkRefusal, ExitsWithItsStatusAndMessage) {
    TempFiles files;
    Fixture setup;
    const FlashRun run = RunFlash(GetParam().arguments(setup) +
                                  QStringList{files.Write("fw.bin", PatternBytes(4000))});
    EXPECT_EQ(run.exitCode, GetParam().exitCode) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QString::fromUtf8(GetParam().errorPart))) << run.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Ports, NetworkRefusal,
    ::testing::Values(
        RefusalCase{"ConnectionRefused",
                    [](Fixture& setup) {
                        // The server's port, once the server is gone: nothing listens there.
                        const QString name = setup.Serve(Scheme::Rfc2217);
                        setup.server->Kill();
                        return QStringList{"-p", name};
                    },
                    3, "the connection was refused"},
        RefusalCase{"UnknownHost",
                    [](Fixture&) {
                        return QStringList{"-p", "socket://no-such-host.invalid:7000"};
                    },
                    3, "the host no-such-host.invalid is not known"},
        RefusalCase{"UnknownScheme",
                    [](Fixture&) {
                        return QStringList{"-p", "telnet://127.0.0.1:7000"};
                    },
                    1, "knows the schemes rfc2217 and socket, not telnet"},
        RefusalCase{"InUse",
                    [](Fixture& setup) {
                        const QString name = setup.Serve(Scheme::Rfc2217);
                        EXPECT_TRUE(setup.holder.Open(*ResolvePort(name), SerialSettings{}, true));
                        return QStringList{"-p", name};
                    },
                    3, "Another program (a terminal, another flasher)"},
        RefusalCase{"SilentConnection",
                    [](Fixture& setup) {
                        return QStringList{"-t", "1", "-p",
                                           setup.Serve(Scheme::Socket, {"--silent-after", "2"})};
                    },
                    4, "no ACK for block 2"},
        RefusalCase{"Rfc2217OnARawTcpPort",
                    [](Fixture& setup) {
                        const QString raw = setup.Serve(Scheme::Socket);
                        return QStringList{"-p", QString(raw).replace("socket://", "rfc2217://")};
                    },
                    3, "for a raw TCP port, name it socket://"},
        // A Telnet port without RFC 2217: silent on the rate as other silent servers are, and
        // named socket:// it is told for what it is rather than its Telnet bytes shown.
        RefusalCase{"Rfc2217ServerSilentOnTheRate",
                    [](Fixture& setup) {
                        return QStringList{"-p", setup.Serve(Scheme::Telnet)};
                    },
                    3, "did not answer the request for 115200 baud within 2 s"},
        RefusalCase{
            "SocketOnATelnetPort",
            [](Fixture& setup) {
                const QString telnet = setup.Serve(Scheme::Telnet);
                return QStringList{"-p", QString(telnet).replace("rfc2217://", "socket://")};
            },
            3, "answers in Telnet; name it rfc2217://"},
        // One server port under two names is one board: refused before anything is opened.
        RefusalCase{
            "OneServerPortUnderTwoNames",
            [](Fixture&) {
                return QStringList{"-p", "rfc2217://127.1:7001", "-p", "socket://[::1]:7001"};
            },
            1, "is given twice (also as rfc2217://127.1:7001)"},
        // Another loopback address is a listener of its own: two boards, each tried.
        RefusalCase{"OtherLoopbackAddressIsAnotherBoard",
                    [](Fixture&) {
                        return QStringList{"-p", "socket://127.0.0.1:7001", "-p",
                                           "socket://127.0.0.2:7001"};
                    },
                    6, "socket://127.0.0.2:7001: the connection was refused"},
        RefusalCase{
            "ModemLinesOverRawTcp",
            [](Fixture& setup) {
                return QStringList{"--before", "reset-dtr", "-p", setup.Serve(Scheme::Socket)};
            },
            3, "a raw TCP port carries no modem lines"}),
    [](const auto& info) { return std::string(info.param.name); });

// Ctrl-C while a connection is being set up (a server that is slow to answer) ends the run at
// once, as during an update.
TEST(NetworkStop, CtrlCEndsAnOpeningAtOnce) {
    TempFiles files;
    SimProcess sim;
    Ser2NetProcess server({sim.PortPath()}, Scheme::Socket);
    QProcess flash;
    // A raw TCP port named as RFC 2217: the Telnet negotiation waits for an answer that never
    // comes.
    flash.start(QStringLiteral(TAVREL_FLASH_PATH),
                {"-p", QString(server.PortName()).replace("socket://", "rfc2217://"),
                 files.Write("fw.bin", PatternBytes(3000))});
    ASSERT_TRUE(flash.waitForStarted());
    QByteArray said;
    const QDeadlineTimer started(10000);
    while (!said.contains("started, attempt 1") && !started.hasExpired()) {
        flash.waitForReadyRead(50);
        said += flash.readAllStandardError();
    }
    QTest::qWait(300); // in the middle of the negotiation
    ASSERT_EQ(flash.state(), QProcess::Running) << said.toStdString();
    QElapsedTimer stopping;
    stopping.start();
    ::kill(static_cast<pid_t>(flash.processId()), SIGINT);
    ASSERT_TRUE(flash.waitForFinished(10000));
    EXPECT_LT(stopping.elapsed(), 1000) << flash.readAllStandardError().toStdString();
    EXPECT_EQ(flash.exitCode(), 130);
}

// Eight boards on two servers in one station run; the second server (one board) is killed in
// the middle of its update, or left alone.
class NetworkStation : public ::testing::TestWithParam<bool> {};

TEST_P(NetworkStation, EightPortsAndAKilledServerFailsOnlyItsBoard) {
    const bool kill = GetParam();
    TempFiles files;
    const QByteArray image = PatternBytes(40 * 1024, 5);
    SimProcess sims({"--count", "8", "--ack-delay", "5", "--out", files.Path("out%d.bin")});
    Ser2NetProcess seven(sims.PortPaths().mid(0, 7), Scheme::Rfc2217);
    Ser2NetProcess last(sims.PortPaths().mid(7), Scheme::Socket);
    QStringList arguments{"--json", "-t", "5"};
    for (const QString& port : seven.PortNames() + last.PortNames()) {
        arguments << "-p" << port;
    }
    const FlashRun run = RunFlash(
        arguments + QStringList{files.Write("fw.bin", image)}, [&](const QByteArray& line) {
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            if (kill && record["port"] == last.PortName() && record["event"] == "block" &&
                record["sent"].toInt() == 5) {
                last.Kill();
            }
        });
    EXPECT_EQ(run.exitCode, kill ? 6 : 0) << run.err.toStdString();
    const QStringList lines = run.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_FALSE(lines.isEmpty());
    const QJsonObject summary = QJsonDocument::fromJson(lines.last().toUtf8()).object();
    EXPECT_EQ(summary["passed"].toInt(), kill ? 7 : 8) << run.out.toStdString();
    EXPECT_EQ(summary["failed"].toInt(), kill ? 1 : 0);
    for (int n = 1; n <= (kill ? 7 : 8); ++n) {
        EXPECT_EQ(ReadFile(files.Path(QStringLiteral("out%1.bin").arg(n))), PaddedImage(image))
            << n;
    }
    QStringList failures; // port: failure, of every attempt that failed
    for (const QString& line : lines) {
        const QJsonObject record = QJsonDocument::fromJson(line.toUtf8()).object();
        if (!record["failure"].toString().isEmpty()) {
            failures << record["port"].toString() + ": " + record["failure"].toString();
        }
    }
    EXPECT_EQ(failures, kill ? QStringList{last.PortName() + ": port_lost"} : QStringList{})
        << run.out.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Servers, NetworkStation, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "OneKilled" : "AllServe"; });

// A watch tries the network ports of the configuration file until their server answers, and
// flashes each board once, on the connection that found it (every connection opens the server's
// port, and may reset the board), also when the file names the board twice.
TEST(NetworkWatch, FlashesEachBoardOnceOnTheConnectionThatFoundIt) {
    TempFiles files;
    SimProcess sim({"--out", files.Path("received.bin")});
    Ser2NetProcess server({sim.PortPath()}, Scheme::Rfc2217);
    ConnectionCounter counter(server.PortName().section(':', -1).toUShort());
    QDir().mkpath(files.Path("config/tavrel"));
    files.Write("config/tavrel/tavrel.conf",
                QStringLiteral("network-ports = rfc2217://127.0.0.1:%1, rfc2217://localhost:%1\n")
                    .arg(counter.Port())
                    .toUtf8());
    QProcess flash;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", files.Path("config"));
    flash.setProcessEnvironment(environment);
    const QByteArray image = PatternBytes(3000, 7);
    flash.start(QStringLiteral(TAVREL_FLASH_PATH),
                {"--json", "--watch", files.Path("none/*"), files.Write("fw.bin", image)});
    ASSERT_TRUE(flash.waitForStarted());
    QTest::qWait(1500); // refused meanwhile: nothing flashed, nothing failed
    counter.Listen();
    QByteArray out;
    const QDeadlineTimer deadline(20000);
    while (!out.contains("\"event\":\"done\"") && !deadline.hasExpired()) {
        flash.waitForReadyRead(100);
        out += flash.readAllStandardOutput();
    }
    QTest::qWait(1500); // the board stays: not flashed again
    ASSERT_EQ(flash.state(), QProcess::Running) << out.toStdString();
    ::kill(static_cast<pid_t>(flash.processId()), SIGINT);
    ASSERT_TRUE(flash.waitForFinished(10000));
    out += flash.readAllStandardOutput();
    EXPECT_EQ(flash.exitCode(), 0) << out.toStdString();
    EXPECT_EQ(out.count("\"event\":\"start\""), 1) << out.toStdString();
    EXPECT_EQ(counter.Connections(), 1);
    EXPECT_EQ(ReadFile(files.Path("received.bin")), PaddedImage(image));
}

} // namespace
