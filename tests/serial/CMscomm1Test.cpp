// SPDX-License-Identifier: GPL-3.0-or-later
// The serial control over real pseudo-terminals.
#include "serial/CMscomm1.h"
#include "support/PtyPair.h"
#include "support/QtPrinters.h"
#include "support/SimProcess.h"
#include "update/Packets.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {

// Sets TAVREL_COM<n> for the length of a test.
class ComMapping {
  public:
    ComMapping(int number, const QString& device)
        : m_name(QStringLiteral("TAVREL_COM%1").arg(number).toLatin1()) {
        qputenv(m_name.constData(), device.toLocal8Bit());
    }
    ~ComMapping() { qunsetenv(m_name.constData()); }

  private:
    QByteArray m_name;
};

void SetUpAsTheWindowDoes(CMscomm1& comm, short port, const QString& settings) {
    comm.put_CommPort(port);
    comm.put_InputMode(1);
    comm.put_Settings(settings);
    comm.put_InputLen(5000);
    comm.put_RThreshold(1);
    comm.put_RTSEnable(true);
}

// Sets the control up as the window does and opens `device` as com 1.
void OpenOn(CMscomm1& comm, const QString& device, const QString& settings = "115200,n,8,1") {
    const ComMapping com1(1, device);
    SetUpAsTheWindowDoes(comm, 1, settings);
    comm.put_PortOpen(true);
}

// Collects every OnComm: the event code and, for received data, what Input gave.
struct EventLog {
    explicit EventLog(CMscomm1& comm) {
        QObject::connect(&comm, &CMscomm1::OnComm, [this, &comm] {
            const short event = comm.get_CommEvent();
            events.push_back(event);
            if (event == comEvReceive) {
                reads.push_back(comm.get_Input());
            }
        });
    }
    QByteArray All() const {
        QByteArray all;
        for (const QByteArray& r : reads) {
            all += r;
        }
        return all;
    }
    std::vector<short> events;
    std::vector<QByteArray> reads;
};

TEST(CMscomm1, StartsWithStoredProperties) {
    CMscomm1 comm;
    EXPECT_EQ(comm.get_CommPort(), 1);
    EXPECT_EQ(comm.get_Settings(), "9600,n,8,1");
    EXPECT_EQ(comm.get_InBufferSize(), 1024);
    EXPECT_EQ(comm.get_OutBufferSize(), 512);
    EXPECT_EQ(comm.get_ParityReplace(), "?");
    EXPECT_FALSE(comm.get_PortOpen());
}

TEST(CMscomm1, BlockPacketIsAnsweredThroughOnCommAndInput) {
    SimProcess sim;
    CMscomm1 comm;
    EventLog log(comm);
    OpenOn(comm, sim.PortPath());
    ASSERT_TRUE(comm.get_PortOpen());
    EXPECT_EQ(comm.DevicePath(), sim.PortPath());
    std::array<std::uint8_t, 1024> block{};
    comm.put_Output(BuildBlockPacket(0, block));
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.All() == "ACK"; }, 5000))
        << log.All().toStdString();
    EXPECT_EQ(log.events.front(), comEvReceive);
}

TEST(CMscomm1, PacketIsWithTheDriverWholeBeforeOutputReturns) {
    PtyPair pty;
    CMscomm1 comm;
    OpenOn(comm, pty.SlavePath());
    std::array<std::uint8_t, 1024> block{};
    block.fill(0x3C);
    const QByteArray packet = BuildBlockPacket(7, block);
    comm.put_Output(packet);
    // No event loop has run since: the bytes must already be on their way.
    EXPECT_EQ(pty.Receive(0), packet);
}

TEST(CMscomm1, MoreThanInputLenBytesComeInSeveralEventsWithNothingLost) {
    PtyPair pty;
    CMscomm1 comm;
    EventLog log(comm);
    OpenOn(comm, pty.SlavePath());
    QByteArray sent;
    for (int i = 0; i < 12000; ++i) {
        sent.append(static_cast<char>('a' + i % 26));
    }
    pty.Send(sent);
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.All().size() >= sent.size(); }, 5000));
    EXPECT_EQ(log.All(), sent);
    for (const QByteArray& read : log.reads) {
        EXPECT_LE(read.size(), 5000);
    }
    EXPECT_GE(log.reads.size(), 3u);
}

TEST(CMscomm1, OddBaudRatesOpen) {
    for (const char* settings : {"43000,n,8,1", "56000,n,8,1", "300,n,8,1", "921600,n,8,1"}) {
        PtyPair pty;
        CMscomm1 comm;
        EXPECT_NO_THROW(OpenOn(comm, pty.SlavePath(), settings)) << settings;
        EXPECT_TRUE(comm.get_PortOpen()) << settings;
    }
}

TEST(CMscomm1, ReopensAfterClose) {
    SimProcess sim;
    ComMapping com1(1, sim.PortPath());
    CMscomm1 comm;
    EventLog log(comm);
    SetUpAsTheWindowDoes(comm, 1, "115200,n,8,1");
    for (int round = 0; round < 3; ++round) {
        comm.put_PortOpen(true);
        ASSERT_TRUE(comm.get_PortOpen());
        std::array<std::uint8_t, 1024> block{};
        comm.put_Output(BuildBlockPacket(0, block));
        ASSERT_TRUE(QTest::qWaitFor([&] { return log.All().size() == 3 * (round + 1); }, 5000));
        comm.put_PortOpen(false);
        EXPECT_FALSE(comm.get_PortOpen());
    }
}

TEST(CMscomm1, FarEndHangingUpClosesThePortWithOneEvent) {
    SimProcess sim({"--hangup-after", "1"});
    CMscomm1 comm;
    EventLog log(comm);
    OpenOn(comm, sim.PortPath());
    std::array<std::uint8_t, 1024> block{};
    comm.put_Output(BuildBlockPacket(0, block));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !comm.get_PortOpen(); }, 5000));
    QTest::qWait(200);
    EXPECT_EQ(std::count(log.events.begin(), log.events.end(), comEventPortLost), 1);
    EXPECT_EQ(log.All(), "ACK") << "what arrived before the hang-up is kept";
    EXPECT_THROW(comm.put_Output("x"), CommError);
}

// Every refusal is a CommError of its kind whose description names what to do.
struct RefusalCase {
    const char* name;
    CommError::Kind kind;
    const char* messagePart;
    std::function<void(CMscomm1&)> act;
};

class RefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RefusalTest, ThrowsCommErrorWithAdvice) {
    PtyPair pty;
    ComMapping com1(1, pty.SlavePath());
    CMscomm1 comm;
    SetUpAsTheWindowDoes(comm, 1, "115200,n,8,1");
    try {
        GetParam().act(comm);
        FAIL() << "no CommError";
    } catch (const CommError& error) {
        EXPECT_EQ(error.kind(), GetParam().kind) << error.description().toStdString();
        EXPECT_TRUE(error.description().contains(QString::fromUtf8(GetParam().messagePart)))
            << error.description().toStdString();
    }
}

void OpenWith(CMscomm1& comm, const QString& device) {
    ComMapping com2(2, device);
    comm.put_CommPort(2);
    comm.put_PortOpen(true);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusalTest,
    ::testing::Values(RefusalCase{"MissingDevice", CommError::Kind::NoSuchPort,
                                  "/dev/ttyNOPE9 (from TAVREL_COM2), and it does not exist",
                                  [](CMscomm1& c) { OpenWith(c, "/dev/ttyNOPE9"); }},
                      RefusalCase{"UnmappedCom15", CommError::Kind::NoSuchPort, "TAVREL_COM15",
                                  [](CMscomm1& c) {
                                      qunsetenv("TAVREL_COM15");
                                      c.put_CommPort(15);
                                      c.put_PortOpen(true);
                                  }},
                      RefusalCase{"InUse", CommError::Kind::PortInUse, "in use by another program",
                                  [](CMscomm1& c) {
                                      c.put_PortOpen(true);
                                      CMscomm1 other;
                                      other.put_PortOpen(true);
                                  }},
                      RefusalCase{"BadSettings", CommError::Kind::InvalidSettings,
                                  "Invalid settings \"9600,q,8,1\"",
                                  [](CMscomm1& c) { c.put_Settings("9600,q,8,1"); }},
                      RefusalCase{"PortChangeWhileOpen", CommError::Kind::PortAlreadyOpen,
                                  "Close the port first",
                                  [](CMscomm1& c) {
                                      c.put_PortOpen(true);
                                      c.put_CommPort(3);
                                  }},
                      RefusalCase{"OpenTwice", CommError::Kind::PortAlreadyOpen, "open already",
                                  [](CMscomm1& c) {
                                      c.put_PortOpen(true);
                                      c.put_PortOpen(true);
                                  }},
                      RefusalCase{"OutputClosed", CommError::Kind::PortNotOpen,
                                  "Open the port first", [](CMscomm1& c) { c.put_Output("x"); }},
                      RefusalCase{"InputClosed", CommError::Kind::PortNotOpen,
                                  "Open the port first", [](CMscomm1& c) { c.get_Input(); }},
                      RefusalCase{"PortZero", CommError::Kind::InvalidValue, "Select a port",
                                  [](CMscomm1& c) { c.put_CommPort(0); }},
                      RefusalCase{"RegularFile", CommError::Kind::OpenFailed,
                                  "is not a serial port (a regular file)",
                                  [](CMscomm1& c) {
                                      QTemporaryDir dir;
                                      const QString file = dir.filePath("not-a-port");
                                      QFile f(file);
                                      f.open(QIODevice::WriteOnly);
                                      f.close();
                                      OpenWith(c, file);
                                  }},
                      RefusalCase{"Directory", CommError::Kind::OpenFailed, "is not a serial port",
                                  [](CMscomm1& c) { OpenWith(c, QDir::tempPath()); }},
                      RefusalCase{"RateNoPortRuns", CommError::Kind::InvalidSettings,
                                  "the port does not run at 2147483647 baud",
                                  [](CMscomm1& c) { c.put_Settings("2147483647,n,8,1"); }},
                      RefusalCase{"DevNull", CommError::Kind::OpenFailed,
                                  "it is a device, but not a serial port",
                                  [](CMscomm1& c) { OpenWith(c, "/dev/null"); }}),
    [](const auto& info) { return std::string(info.param.name); });

// Another name for the same device (a /dev/serial/by-id link) gets no second user, root or not.
TEST(CMscomm1, TheSameDeviceThroughALinkIsInUse) {
    PtyPair pty;
    QTemporaryDir dir;
    const QString link = dir.filePath("by-id-device");
    ASSERT_TRUE(QFile::link(pty.SlavePath(), link));
    CMscomm1 first;
    OpenOn(first, pty.SlavePath());
    ASSERT_TRUE(first.get_PortOpen());
    CMscomm1 second;
    second.SetDevicePath(link);
    SetUpAsTheWindowDoes(second, 1, "115200,n,8,1");
    try {
        second.put_PortOpen(true);
        FAIL() << "the device was opened twice";
    } catch (const CommError& error) {
        EXPECT_EQ(error.kind(), CommError::Kind::PortInUse) << error.description().toStdString();
    }
    first.put_PortOpen(false);
    second.put_PortOpen(true);
    EXPECT_TRUE(second.get_PortOpen()) << "free again once the first has closed it";
}

// An old "ACK" that waited on the line before the port was opened answers nothing of ours.
TEST(CMscomm1, WhatArrivedBeforeOpeningIsDiscarded) {
    PtyPair pty;
    pty.Send("ACK");
    QTest::qWait(50);
    CMscomm1 comm;
    EventLog log(comm);
    OpenOn(comm, pty.SlavePath());
    QTest::qWait(200);
    EXPECT_TRUE(log.events.empty());
    pty.Send("new");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !log.reads.empty(); }, 2000));
    EXPECT_EQ(log.All(), "new");
}

TEST(CMscomm1, PortNumberZeroIsNotStored) {
    CMscomm1 comm;
    EXPECT_THROW(comm.put_CommPort(0), CommError);
    EXPECT_EQ(comm.get_CommPort(), 1);
}

} // namespace
