// SPDX-License-Identifier: GPL-3.0-or-later
// The station window as a production line meets it: real widgets (offscreen), simulated boot
// loaders on real ptys, plugged and unplugged as symlinks appearing in a watched folder.
#include "ui/station/StationWindow.h"
#include "serial/CMscomm1.h"
#include "support/ModalWatcher.h"
#include "support/Ser2NetProcess.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"
#include "ui/station/PortTile.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>

namespace {

class StationWindowTest : public ::testing::Test {
  protected:
    void Open(bool autoMode, qint64 imageBytes = 6000, const QStringList& networkPorts = {},
              const std::optional<config::Job>& job = {}) {
        QDir().mkpath(files.Path("ports"));
        image = PatternBytes(imageBytes, 3);
        StationWindow::Options options;
        options.watchPattern = QFile::encodeName(files.Path("ports/*"));
        options.logFile = QFile::encodeName(files.Path("log.jsonl"));
        options.imagePath = QFile::encodeName(files.Write("fw.bin", image));
        options.autoMode = autoMode;
        options.timeoutSeconds = 2;
        options.networkPorts = networkPorts;
        options.job = job;
        window = std::make_unique<StationWindow>(options);
        window->show();
    }
    QString Plug(const QString& name, const QString& pty) {
        const QString link = files.Path("ports/" + name);
        EXPECT_TRUE(QFile::link(pty, link));
        window->PollPorts();
        return link;
    }
    void Unplug(const QString& link) {
        EXPECT_TRUE(QFile::remove(link));
        window->PollPorts();
    }
    QString State(const QString& link) const {
        PortTile* tile = window->Tile(link);
        return tile == nullptr ? QStringLiteral("(no tile)") : tile->StateText();
    }
    bool WaitForState(const QString& link, const QString& start, int msecs = 20000) {
        return QTest::qWaitFor([&] { return State(link).startsWith(start); }, msecs);
    }
    QStringList LogResults() const {
        QStringList results;
        for (const QByteArray& line : ReadFile(files.Path("log.jsonl")).split('\n')) {
            if (!line.isEmpty()) {
                const QJsonObject r = QJsonDocument::fromJson(line).object();
                results << r["port"].toString().section('/', -1) + ":" + r["result"].toString();
            }
        }
        return results;
    }
    TempFiles files;
    QByteArray image;
    ModalWatcher watcher;
    std::unique_ptr<StationWindow> window;
};

// Tiles come and go with the devices; Auto flashes each new device once, and again only after
// it has gone and come back; the counters and the log agree.
TEST_F(StationWindowTest, AutoFlashesEachNewDeviceOnceAndTilesFollowTheDevices) {
    SimProcess sims({"--count", "2"});
    Open(true);
    EXPECT_TRUE(window->Tiles().isEmpty());
    const QString a = Plug("board-a", sims.PortPaths()[0]);
    ASSERT_TRUE(WaitForState(a, "passed")) << State(a).toStdString();
    const QString b = Plug("board-b", sims.PortPaths()[1]);
    ASSERT_TRUE(WaitForState(b, "passed")) << State(b).toStdString();
    QTest::qWait(1200);
    window->PollPorts();
    EXPECT_EQ(LogResults(), QStringList({"board-a:passed", "board-b:passed"}));
    Unplug(a);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            window->PollPorts();
            return window->Tile(a) == nullptr;
        },
        6000))
        << "the tile goes with the device";
    EXPECT_EQ(window->Tiles().size(), 1);
    Plug("board-a", sims.PortPaths()[0]);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->Passed() == 3; }, 20000));
    EXPECT_EQ(LogResults().size(), 3);
    EXPECT_EQ(window->Failed(), 0);
    EXPECT_EQ(sims.Stop(), 0) << sims.ErrorOutput().toStdString();
}

// A port on a serial server gets its tile once the server answers, and Auto flashes it.
TEST_F(StationWindowTest, ANetworkPortIsFlashedOnceItsServerAnswers) {
    SimProcess sim({"--out", files.Path("received.bin")});
    Ser2NetProcess server({sim.PortPath()}, Ser2NetProcess::Scheme::Rfc2217);
    Open(true, 6000, {server.PortName()});
    ASSERT_TRUE(WaitForState(server.PortName(), "passed"))
        << State(server.PortName()).toStdString();
    EXPECT_EQ(LogResults(),
              QStringList{"127.0.0.1:" + server.PortName().section(':', -1) + ":passed"});
    EXPECT_EQ(ReadFile(files.Path("received.bin")), PaddedImage(image));
}

// A board that drops its port right after passing and comes back is restarting with its new
// program: its tile stays green and says so, and it is not flashed again.
TEST_F(StationWindowTest, ABoardThatRestartsAfterPassingIsNotFlashedAgain) {
    SimProcess sims({"--count", "1"});
    Open(true);
    const QString board = Plug("board", sims.PortPaths()[0]);
    ASSERT_TRUE(WaitForState(board, "passed")) << State(board).toStdString();
    Unplug(board);
    QTest::qWait(4000); // longer than the tile of a board that is gone stays
    Plug("board", sims.PortPaths()[0]);
    QTest::qWait(1500);
    EXPECT_EQ(LogResults(), QStringList{"board:passed"});
    EXPECT_TRUE(State(board).contains("taken for the same board")) << State(board).toStdString();
}

// A board swapped for another a while after passing: the next board gets a fresh tile and its
// own update, however quick the operator's hands.
TEST_F(StationWindowTest, AQuickSwapAfterPassingFlashesTheNextBoard) {
    SimProcess sims({"--count", "2", "--out", files.Path("out%d.bin")});
    Open(true);
    const QString board = Plug("board", sims.PortPaths()[0]);
    ASSERT_TRUE(WaitForState(board, "passed")) << State(board).toStdString();
    QTest::qWait(2500);                // past the moments in which a board restarts
    ASSERT_TRUE(QFile::remove(board)); // the window sees it on its own looks only
    QTest::qWait(450);                 // a quick hand
    ASSERT_TRUE(QFile::link(sims.PortPaths()[1], board));
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->Passed() == 2; }, 20000))
        << State(board).toStdString();
    EXPECT_EQ(LogResults(), QStringList({"board:passed", "board:passed"}));
    EXPECT_EQ(sims.Stop(), 0) << sims.ErrorOutput().toStdString();
    EXPECT_EQ(ReadFile(files.Path("out1.bin")), PaddedImage(image)) << "the second board";
}

// Start flashes every waiting port: the good ones turn green with the image byte-exact, the
// one that hangs up turns red with its reason; the counters and the log agree.
TEST_F(StationWindowTest, StartFlashesEveryWaitingPortAndAFailureShowsItsReason) {
    SimProcess good({"--count", "2", "--out", files.Path("out%d.bin")});
    SimProcess lost({"--hangup-after", "2"});
    Open(false);
    const QString a = Plug("board-a", good.PortPaths()[0]);
    const QString b = Plug("board-b", good.PortPaths()[1]);
    const QString c = Plug("board-c", lost.PortPath());
    EXPECT_EQ(window->Tiles().size(), 3);
    EXPECT_TRUE(State(a).startsWith("waiting"));
    QTest::qWait(700);
    EXPECT_TRUE(LogResults().isEmpty()) << "nothing is flashed before Start";
    window->OnStart();
    // The lost board first: it fails at once, and its tile goes a few seconds after its port.
    ASSERT_TRUE(WaitForState(c, "failed"));
    EXPECT_TRUE(State(c).contains("was lost")) << State(c).toStdString();
    ASSERT_TRUE(WaitForState(a, "passed"));
    ASSERT_TRUE(WaitForState(b, "passed"));
    EXPECT_EQ(good.Stop(), 0);
    for (int n = 1; n <= 2; ++n) {
        EXPECT_EQ(ReadFile(files.Path(QStringLiteral("out%1.bin").arg(n))), PaddedImage(image));
    }
    EXPECT_EQ(window->Passed(), 2);
    EXPECT_EQ(window->Failed(), 1);
    QStringList results = LogResults();
    results.sort();
    EXPECT_EQ(results, QStringList({"board-a:passed", "board-b:passed", "board-c:failed"}));
    EXPECT_TRUE(window->ImageText().contains("6000 bytes, 6 blocks, SHA-256 "))
        << window->ImageText().toStdString();
}

// Each board gets its own number and address, shown on its tile; the window shows how many are
// left, as an alarm once 5 % or fewer are.
TEST_F(StationWindowTest, StampsEachBoardAndShowsTheNumbersLeft) {
    SimProcess boards({"--out", files.Path("out.bin")});
    QDir().mkpath(files.Path("ports"));
    image = PatternBytes(3000, 3);
    image.replace(0x10, 10, QByteArray(10, '\xff'));
    StationWindow::Options options;
    options.watchPattern = QFile::encodeName(files.Path("ports/*"));
    options.logFile = QFile::encodeName(files.Path("log.jsonl"));
    options.imagePath = QFile::encodeName(files.Write("fw.bin", image));
    options.autoMode = true;
    options.records = *records::Recorder::Open(
        *records::ParseStoreUrl(QStringLiteral("sqlite:") + files.Path("r.sqlite")), "st");
    options.stamper = *station::BoardStamper::Make(
        {*ParseStampRecipe("serial@0x10:u32be;mac@0x14"), StampCounter{"sn", 41, 60},
         StampCounter{"mac", 0x0212340000aa, 0x0212340000aa}, options.records, "st"});
    window = std::make_unique<StationWindow>(options);
    window->show();
    const auto* numbers = window->findChild<QLabel*>("records");
    EXPECT_TRUE(numbers->text().contains("sn left: 20 of 20")) << numbers->text().toStdString();
    EXPECT_EQ(numbers->palette().color(QPalette::WindowText),
              window->palette().color(QPalette::WindowText))
        << "not yet an alarm";
    const QString board = Plug("board", boards.PortPath());
    ASSERT_TRUE(WaitForState(board, "passed"));
    EXPECT_TRUE(State(board).contains("SN 41\nMAC 02:12:34:00:00:AA"))
        << State(board).toStdString();
    EXPECT_EQ(ReadFile(files.Path("out.bin")).mid(0x10, 10),
              QByteArray("\x00\x00\x00\x29\x02\x12\x34\x00\x00\xaa", 10));
    EXPECT_TRUE(QTest::qWaitFor([&] { return numbers->text().contains("mac left: 0 of 1"); }));
    EXPECT_TRUE(numbers->text().contains("sn left: 19 of 20")) << numbers->text().toStdString();
    EXPECT_NE(numbers->palette().color(QPalette::WindowText),
              window->palette().color(QPalette::WindowText))
        << "the spent pool is an alarm";
    // The next board gets no address: it is refused, and the line stops.
    SimProcess next;
    const QString second = Plug("next", next.PortPath());
    ASSERT_TRUE(WaitForState(second, "failed"));
    EXPECT_TRUE(State(second).contains("no MAC address: the counter mac is spent"))
        << State(second).toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !watcher.Messages().isEmpty(); }));
    EXPECT_TRUE(watcher.Messages().join("").contains("Auto is off"));
    EXPECT_FALSE(window->findChild<QPushButton*>("auto")->isChecked());
}

// A job shows in large type and fixes its image and rate; a board waits for the operator the job
// requires, and its record carries both.
TEST_F(StationWindowTest, AJobFixesItsImageAndRateAndWaitsForItsOperator) {
    SimProcess board;
    config::Job job;
    job.name = QStringLiteral("fw");
    job.version = QStringLiteral("2");
    job.sha256 = "ab";
    job.imageSha256 = config::Sha256Hex(PatternBytes(6000, 3));
    job.pinned = {{QStringLiteral("baud"), "115200"}};
    job.required = {QStringLiteral("operator")};
    Open(false, 6000, {}, job);
    EXPECT_EQ(window->findChild<QLabel*>("job")->text(), "Job fw 2");
    EXPECT_FALSE(window->LoadImage(files.Write("other.bin", "other")));
    const QString link = Plug("board", board.PortPath());
    window->OnStart();
    QTest::qWait(500);
    EXPECT_TRUE(LogResults().isEmpty()) << "no board before the operator is given";
    window->findChild<QLineEdit*>("operator")->setText("ann");
    window->OnStart();
    ASSERT_TRUE(WaitForState(link, "passed"));
    const QJsonObject record =
        QJsonDocument::fromJson(ReadFile(files.Path("log.jsonl")).split('\n').first()).object();
    EXPECT_EQ(record["job"].toString(), "fw 2");
    EXPECT_EQ(record["operator"].toString(), "ann");
    EXPECT_EQ(watcher.Messages().join("|").count("is not the one job fw 2 names"), 1)
        << watcher.Messages().join("|").toStdString();
    EXPECT_EQ(watcher.Messages().join("|").count("requires the operator"), 1);
    for (QWidget* fixed : {static_cast<QWidget*>(window->findChild<QComboBox*>()),
                           static_cast<QWidget*>(window->findChild<QPushButton*>("image"))}) {
        ASSERT_NE(fixed, nullptr);
        EXPECT_FALSE(fixed->isEnabled());
    }
}

// A failed board's tile stays, red, after the board has gone, until the operator acknowledges
// it; the next board on that port gets a fresh tile beside it. Resetting the counters writes the
// counts to the log first.
TEST_F(StationWindowTest, AFailureStaysUntilAcknowledgedAndCountersResetIntoTheLog) {
    SimProcess lost({"--hangup-after", "2"});
    SimProcess good;
    Open(true);
    const QString board = Plug("board", lost.PortPath());
    ASSERT_TRUE(WaitForState(board, "failed")) << State(board).toStdString();
    EXPECT_EQ(window->Tile(board)->Word(), "FAIL");
    // The operator unplugs it (the pty's number may soon serve another test's device).
    ASSERT_TRUE(QFile::remove(board));
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->Tile(board) == nullptr; }, 8000))
        << "the port's slot is freed when the board has gone";
    // (A slow machine may see the simulator's port come back and fail once more: each failure
    // keeps a tile of its own.)
    const QList<PortTile*> kept = window->Tiles();
    ASSERT_FALSE(kept.isEmpty()) << "the failure is still in view";
    EXPECT_TRUE(kept.last()->StateText().contains("(unplugged)"));
    EXPECT_EQ(window->Unacknowledged(), kept.size());
    Plug("board", good.PortPath());
    ASSERT_TRUE(WaitForState(board, "passed")) << State(board).toStdString();
    EXPECT_EQ(window->Tiles().size(), kept.size() + 1) << "a fresh tile beside the failure";
    EXPECT_EQ(window->SoundsPlayed().Asked().first(), "dialog-error");
    EXPECT_EQ(window->SoundsPlayed().Asked().last(), "complete");
    window->AcknowledgeAll();
    EXPECT_EQ(window->Tiles().size(), 1);
    EXPECT_EQ(window->Unacknowledged(), 0);
    window->OnResetCounters();
    EXPECT_EQ(window->Passed() + window->Failed(), 0);
    const QJsonObject counts =
        QJsonDocument::fromJson(ReadFile(files.Path("log.jsonl")).trimmed().split('\n').last())
            .object();
    EXPECT_EQ(counts["record"].toString(), "counters");
    EXPECT_EQ(counts["passed"].toInt(), 1);
    EXPECT_EQ(counts["failed"].toInt(), kept.size());
}

// Eight boards, two of them failed, are all in view at the window's default size on a 1280x800
// screen, in the fixture's order (board-2 before board-10); the tiles reflow to any width with no
// column behind a scroll bar, and where they do not all fit, the failures are the ones in view.
TEST_F(StationWindowTest, EightBoardsInViewInOrderAndFailuresNeverBelowTheFold) {
    SimProcess good({"--count", "6"});
    SimProcess lost({"--count", "2", "--silent-after", "1"});
    Open(false);
    const QStringList names{"board-10", "board-9", "board-8", "board-7",
                            "board-5",  "board-3", "board-2", "board-1"};
    const QStringList ports = good.PortPaths() + lost.PortPaths(); // board-3, board-10 fail
    for (int n = 0; n < 8; ++n) {
        Plug(names[(n + 2) % 8], ports[n]);
    }
    // Too small for all: the failures come into view as they happen, with no resize.
    window->resize(600, 400);
    QCoreApplication::processEvents();
    window->OnStart();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->Passed() + window->Failed() == 8; }, 20000));
    const QSize size = window->DefaultSize(QSize(1280, 800));
    EXPECT_TRUE(size.width() <= 1280 && size.height() <= 800);
    for (const QSize& at : {QSize(), size, QSize(1800, 800), QSize(900, 500), QSize(600, 400)}) {
        if (at.isValid()) {
            window->resize(at);
        }
        QCoreApplication::processEvents();
        QMap<std::pair<int, int>, QString> order; // by row, then column
        for (PortTile* tile : window->Tiles()) {
            const QRect shown(tile->mapTo(window.get(), QPoint(0, 0)), tile->size());
            order[{shown.y(), shown.x()}] = tile->Port().section('/', -1);
            EXPECT_LE(shown.right(), window->width()) << at.width() << " no column hidden";
            if (tile->State() == station::PortState::Failed || at == size) {
                EXPECT_TRUE(tile->isVisible() && shown.bottom() <= window->height())
                    << at.width() << "x" << at.height() << " " << tile->Port().toStdString();
            }
        }
        if (at == size) {
            EXPECT_EQ(order.values(), QStringList({"board-1", "board-2", "board-3", "board-5",
                                                   "board-7", "board-8", "board-9", "board-10"}));
        }
    }
}

// Stop, for an update that Start or Auto began, ends every update under way: the port is closed
// (another program can open it) and the device is sent nothing more.
class StationWindowStop : public StationWindowTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StationWindowStop, ClosesEveryPortAndWritesNothingMore) {
    SimProcess slow({"--ack-delay", "40", "-v"});
    Open(GetParam(), 100 * 1024);
    const QString a = Plug("board-a", slow.PortPath());
    if (!GetParam()) {
        window->OnStart();
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return State(a) == "flashing"; }, 5000));
    QTest::qWait(400);
    QAbstractButton* stop = nullptr;
    for (QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
        stop = button->text() == QStringLiteral("S&top") ? button : stop;
    }
    ASSERT_NE(stop, nullptr);
    ASSERT_TRUE(stop->isEnabled()) << "Stop is there while an update runs";
    stop->click();
    ASSERT_TRUE(WaitForState(a, "failed: stopped", 3000)) << State(a).toStdString();
    QTest::qWait(300);
    window->PollPorts();
    CMscomm1 other;
    other.SetDevicePath(slow.PortPath());
    other.put_Settings(QStringLiteral("115200,n,8,1"));
    EXPECT_NO_THROW(other.put_PortOpen(true)) << "the station let the port go";
    other.put_PortOpen(false);
    slow.Stop();
    const QString verbose = slow.ErrorOutput();
    const auto blocks = verbose.count(" block 0x");
    EXPECT_GT(blocks, 2);
    EXPECT_LT(blocks, 100) << "the update did not run on after Stop";
    EXPECT_EQ(window->Failed(), 1);
    const QByteArray log = ReadFile(files.Path("log.jsonl"));
    EXPECT_TRUE(log.contains("stopped by the operator")) << log.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Starts, StationWindowStop, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Auto" : "Start"; });

// The program as a line starts it: preloaded, watching a folder, in Auto.
TEST(StationProgram, StartsPreloadedWatchingInAuto) {
    TempFiles files;
    SimProcess sim;
    QDir().mkpath(files.Path("ports"));
    const QString log = files.Path("log.jsonl");
    QProcess station;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_DATA_HOME", files.Path("data"));
    station.setProcessEnvironment(environment);
    station.start(QStringLiteral(TAVREL_STATION_PATH),
                  {"--watch", files.Path("ports/*"), "--auto", "--baud", "115200", "--log", log,
                   files.Write("fw.bin", PatternBytes(3000))});
    ASSERT_TRUE(station.waitForStarted());
    QTest::qWait(500);
    ASSERT_TRUE(QFile::link(sim.PortPath(), files.Path("ports/board")));
    EXPECT_TRUE(QTest::qWaitFor([&] { return ReadFile(log).contains("\"passed\""); }, 20000))
        << station.readAllStandardError().toStdString();
    // The station keeps its records in its own store as well, by default (written just after
    // the log).
    const auto stored = [&] {
        QProcess store;
        store.start("sqlite3",
                    {files.Path("data/tavrel/records.sqlite"), "SELECT result FROM records"});
        store.waitForFinished(10000);
        return store.readAllStandardOutput();
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return stored() == "passed\n"; }, 10000))
        << stored().toStdString();
    station.kill();
    station.waitForFinished();
    EXPECT_EQ(sim.Stop(), 0);
}

// An empty name (a script's unset variable) is refused at once; no window opens.
// The command line is read before any window exists: help and version need no display, and
// what it refuses (an empty name, an unknown option, a bad filter) opens nothing.
TEST(StationProgram, CommandLineNeedsNoDisplay) {
    struct Case {
        QStringList arguments;
        int exitCode;
        const char* said;
    };
    for (const Case& c : {Case{{"--help"}, 0, "Usage: tavrel-station [options] [IMAGE]"},
                          Case{{"-V"}, 0, "tavrel-station " TAVREL_VERSION},
                          Case{{"--log", ""}, 1, "--log needs a file"},
                          Case{{"--watch="}, 1, "--watch= needs a pattern"},
                          Case{{"--fast"}, 1, "unknown option --fast"},
                          Case{{"-p", "/dev/ttyUSB0"}, 1, "names a port on a serial server"},
                          Case{{"a.bin", "b.bin"}, 1, "give one IMAGE"},
                          Case{{"--port=rfc2217://host"}, 1, "HOST:PORT and nothing else"},
                          Case{{"--port-filter", "vid=x"}, 1, "vid needs four hex digits"}}) {
        QProcess station;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        station.setProcessEnvironment(environment);
        station.start(QStringLiteral(TAVREL_STATION_PATH), c.arguments);
        const bool ended = station.waitForFinished(10000);
        if (!ended) {
            station.kill();
            station.waitForFinished();
        }
        const QString said = station.readAllStandardOutput() + station.readAllStandardError();
        ASSERT_TRUE(ended) << c.arguments.join(' ').toStdString();
        EXPECT_EQ(station.exitCode(), c.exitCode) << said.toStdString();
        EXPECT_TRUE(said.contains(c.said)) << said.toStdString();
    }
}

// A signal ends the program the orderly way: the update under way stops, its record says why,
// and the status is the signal's.
struct SignalCase {
    int signal;
    const char* said;
};

class StationProgramSignal : public ::testing::TestWithParam<SignalCase> {};

TEST_P(StationProgramSignal, StopsUpdatesAndWritesTheirRecords) {
    TempFiles files;
    SimProcess slow({"--ack-delay", "40"});
    QDir().mkpath(files.Path("ports"));
    const QString log = files.Path("log.jsonl");
    ASSERT_TRUE(QFile::link(slow.PortPath(), files.Path("ports/board")));
    QProcess station;
    station.start(QStringLiteral(TAVREL_STATION_PATH),
                  {"--watch", files.Path("ports/*"), "--auto", "--log", log,
                   files.Write("fw.bin", PatternBytes(100 * 1024))});
    ASSERT_TRUE(station.waitForStarted());
    QTest::qWait(1500);
    ::kill(static_cast<pid_t>(station.processId()), GetParam().signal);
    ASSERT_TRUE(station.waitForFinished(5000));
    EXPECT_EQ(station.exitCode(), 128 + GetParam().signal);
    const QByteArray records = ReadFile(log);
    EXPECT_EQ(records.count('\n'), 1) << records.toStdString();
    EXPECT_TRUE(records.contains(GetParam().said)) << records.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Signals, StationProgramSignal,
                         ::testing::Values(SignalCase{SIGTERM, "stopped by SIGTERM"},
                                           SignalCase{SIGHUP, "stopped by SIGHUP"},
                                           SignalCase{SIGINT, "stopped by Ctrl-C"}),
                         [](const auto& info) { return std::to_string(info.param.signal); });

// Every action has a key of its own and takes the focus; no text is cut short.
TEST_F(StationWindowTest, EveryActionHasAKeyAndNoTextIsClipped) {
    Open(false);
    QSet<QChar> keys;
    for (QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
        const QString text = button->text();
        const qsizetype amp = text.indexOf('&');
        ASSERT_GE(amp, 0) << text.toStdString() << " has no key";
        EXPECT_FALSE(keys.contains(text.at(amp + 1).toLower())) << text.toStdString();
        keys.insert(text.at(amp + 1).toLower());
        EXPECT_EQ(button->focusPolicy() & Qt::TabFocus, Qt::TabFocus) << text.toStdString();
        EXPECT_GE(button->width(), button->sizeHint().width()) << text.toStdString();
        EXPECT_TRUE(button->toolTip().contains(
            QKeySequence::mnemonic(text).toString(QKeySequence::NativeText)))
            << text.toStdString() << ": the tooltip names the key";
    }
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (label->isVisible() && !label->wordWrap()) {
            EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
        }
    }
}

} // namespace
