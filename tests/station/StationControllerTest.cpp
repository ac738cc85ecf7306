// SPDX-License-Identifier: GPL-3.0-or-later
// The station's controller over scripted devices on in-memory lines: what it tells of each port,
// how it counts, when it says it is idle, and how a stop ends every update.
#include "station/StationController.h"
#include "support/InMemoryLine.h"
#include "support/TempFiles.h"

#include <QTest>
#include <gtest/gtest.h>

namespace {

using station::Failure;
using station::StationEvent;

struct PortCase {
    QString port;
    InMemoryLine::Script device;
    Failure failure;
};

InMemoryLine::Answer Ack(int, const QByteArray&) {
    return {"ACK"};
}

class ControllerRun {
  public:
    explicit ControllerRun(const QList<PortCase>& cases, double timeoutSeconds = 0.2,
                           const QByteArray& slots = {})
        : controller(stop) {
        image.store.LoadImageBytes(PatternBytes(3000));
        image.bytes = 3000;
        station::Station::Settings settings;
        settings.slots = *SlotLabels::Read(files.Write("slots.txt", slots));
        settings.update.timeoutSeconds = timeoutSeconds;
        settings.lineTo = [cases](const QString& port) {
            for (const PortCase& c : cases) {
                if (c.port == port) {
                    return std::make_unique<InMemoryLine>(c.device);
                }
            }
            return std::make_unique<InMemoryLine>(Ack);
        };
        EXPECT_EQ(controller.Configure(settings, image), QString());
        QObject::connect(&controller, &station::StationController::PortEvent,
                         [this](const StationEvent& e) { events[e.status.port] << e; });
        QObject::connect(&controller, &station::StationController::Idle, [this] { ++idle; });
    }
    bool WaitForIdle() {
        return QTest::qWaitFor([this] { return idle > 0; }, 5000);
    }
    TempFiles files;
    StopFlag stop{0};
    LoadedImage image;
    station::StationController controller;
    QMap<QString, QList<StationEvent>> events;
    int idle = 0;
};

TEST(StationController, TellsEachPortsUpdateInOrderAndCountsTheirEnds) {
    const QList<PortCase> cases{
        {"/dev/in-memory-good", Ack, Failure::None},
        {"/dev/in-memory-silent",
         [](int n, const QByteArray&) { return InMemoryLine::Answer{n == 0 ? "ACK" : ""}; },
         Failure::NoAck},
        {"/dev/in-memory-unplugged",
         [](int n, const QByteArray&) {
             return InMemoryLine::Answer{"ACK", n == 1};
         },
         Failure::PortLost},
    };
    ControllerRun run(cases, 0.2, "# the fixture\n*-good = Slot 1\n/dev/in-memory-* = Slot 2\n");
    run.controller.Flash({cases[0].port, cases[1].port, cases[2].port});
    EXPECT_TRUE(run.controller.Busy());
    ASSERT_TRUE(run.WaitForIdle());
    EXPECT_FALSE(run.controller.Busy());
    EXPECT_EQ(run.idle, 1) << "idle once, when the last port ended";
    EXPECT_EQ(run.controller.Passed(), 1);
    EXPECT_EQ(run.controller.Failed(), 2);
    for (const PortCase& c : cases) {
        const QList<StationEvent>& told = run.events[c.port];
        ASSERT_GE(told.size(), 2) << c.port.toStdString();
        EXPECT_EQ(told.first().kind, StationEvent::Kind::Started);
        EXPECT_EQ(told.last().kind, StationEvent::Kind::Ended);
        EXPECT_EQ(told.last().status.ending.failure, c.failure) << c.port.toStdString();
        EXPECT_EQ(told.last().status.slot, c.port.endsWith("good") ? "Slot 1" : "Slot 2");
        int sent = 0;
        for (const StationEvent& e : told.mid(1, told.size() - 2)) {
            EXPECT_EQ(e.kind, StationEvent::Kind::Progress);
            EXPECT_GE(e.status.blocksSent, sent) << "progress only goes forward";
            sent = e.status.blocksSent;
        }
    }
    EXPECT_EQ(run.controller.Ports().size(), 3);
}

TEST(StationController, OperatorStopEndsEveryUpdateAndIsLiftedOnceAllHaveEnded) {
    const auto silent = [](int, const QByteArray&) { return InMemoryLine::Answer{}; };
    ControllerRun run({{"/dev/in-memory-a", silent, Failure::Stopped},
                       {"/dev/in-memory-b", silent, Failure::Stopped}},
                      0); // waits for each ACK forever
    run.controller.Flash({"/dev/in-memory-a", "/dev/in-memory-b"});
    run.controller.Stop(kStopByOperator);
    EXPECT_TRUE(run.controller.Stopping());
    ASSERT_TRUE(run.WaitForIdle());
    EXPECT_FALSE(run.controller.Stopping()) << "the next start may run";
    for (const char* port : {"/dev/in-memory-a", "/dev/in-memory-b"}) {
        const station::Ending ending = run.events[port].last().status.ending;
        EXPECT_EQ(ending, (station::Ending{Failure::Stopped, kStopByOperator}));
    }
    EXPECT_TRUE(run.controller.Cut());
}

} // namespace
