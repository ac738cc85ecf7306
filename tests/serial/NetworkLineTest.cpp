// SPDX-License-Identifier: GPL-3.0-or-later
// The network line against Debian's ser2net in front of the simulated boot loader.
#include "serial/NetworkLine.h"
#include "serial/LineFor.h"
#include "serial/NetworkAddress.h"
#include "serial/PortResolver.h"
#include "support/PtyPair.h"
#include "support/Ser2NetProcess.h"
#include "support/SimProcess.h"
#include "update/Packets.h"

#include <QFile>
#include <QTest>
#include <array>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct AddressCase {
    const char* given;
    const char* name;   // the one spelling; empty when refused
    const char* gensio; // the library's text, or a part of the refusal
};

class NetworkAddressParsing : public ::testing::TestWithParam<AddressCase> {};

TEST_P(NetworkAddressParsing, SpellsOrRefuses) {
    const AddressCase& c = GetParam();
    const PortLookup lookup = ResolvePort(QString::fromUtf8(c.given));
    if (*c.name != '\0') {
        ASSERT_TRUE(lookup) << lookup.error().text.toStdString();
        EXPECT_EQ(lookup->device, QString::fromUtf8(c.name));
        EXPECT_EQ(ParseNetworkAddress(QString::fromUtf8(c.given))->GensioText(),
                  QByteArray(c.gensio));
    } else {
        EXPECT_FALSE(lookup);
        EXPECT_TRUE(lookup.error().text.contains(QString::fromUtf8(c.gensio)))
            << lookup.error().text.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, NetworkAddressParsing,
    ::testing::Values(
        AddressCase{"rfc2217://127.0.0.1:7000", "rfc2217://127.0.0.1:7000",
                    "telnet(rfc2217),tcp(nodelay),127.0.0.1,7000"},
        AddressCase{"RFC2217://Board-3.Line.example:4001", "rfc2217://board-3.line.example:4001",
                    "telnet(rfc2217),tcp(nodelay),board-3.line.example,4001"},
        AddressCase{"socket://[::1]:65535", "socket://[::1]:65535", "tcp(nodelay),ipv6,::1,65535"},
        AddressCase{"tcp://host:1", "", "knows the schemes rfc2217 and socket, not tcp"},
        AddressCase{"rfc2217://host", "", "HOST:PORT and nothing else"},
        AddressCase{"rfc2217://host:70000", "", "1 to 65535"},
        AddressCase{"rfc2217://host:0", "", "1 to 65535"},
        AddressCase{"socket://host:7000/x", "", "HOST:PORT and nothing else"},
        AddressCase{"socket://[10.0.0.1]:7000", "", "only an IPv6 address goes in brackets"},
        AddressCase{"rfc2217://::1:7000", "", "HOST:PORT and nothing else"},
        AddressCase{"rfc2217://user@host:7000", "", "HOST:PORT and nothing else"}));

// The rate the server's port runs at, read from the pty behind it.
speed_t PtySpeed(const QString& pty) {
    const int fd = ::open(QFile::encodeName(pty).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios settings{};
    const bool read = fd >= 0 && ::tcgetattr(fd, &settings) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return read ? ::cfgetospeed(&settings) : B0;
}

TEST(NetworkLine, SetsTheServersPortThroughRfc2217WithNagleOff) {
    SimProcess sim;
    Ser2NetProcess server({sim.PortPath()}, Ser2NetProcess::Scheme::Rfc2217);
    const std::pair<qint32, speed_t> rates[] = {{57600, B57600}, {230400, B230400}};
    for (const auto& [baud, speed] : rates) {
        NetworkLine line;
        SerialSettings settings;
        settings.baud = baud;
        ASSERT_TRUE(line.Open(*ResolvePort(server.PortName()), settings, true));
        EXPECT_TRUE(line.NoDelay());
        EXPECT_EQ(PtySpeed(sim.PortPath()), speed) << baud;
    }
}

TEST(NetworkLine, RefusesModemLinesThePortDoesNotHave) {
    SimProcess sim;
    const struct {
        Ser2NetProcess::Scheme scheme;
        const char* why;
    } cases[] = {{Ser2NetProcess::Scheme::Rfc2217, "did not confirm it"},
                 {Ser2NetProcess::Scheme::Socket, "a raw TCP port carries no modem lines"}};
    for (const auto& c : cases) {
        Ser2NetProcess server({sim.PortPath()}, c.scheme);
        NetworkLine line;
        ASSERT_TRUE(line.Open(*ResolvePort(server.PortName()), SerialSettings{}, true));
        const LineDone probed = line.ProbeModemLine(ModemLine::Dtr);
        ASSERT_FALSE(probed);
        EXPECT_TRUE(probed.error().text.contains(c.why)) << probed.error().text.toStdString();
        // The data path still works after the unconfirmed request.
        const std::array<std::uint8_t, tavrel::kBlockSize> block{};
        ASSERT_TRUE(line.Write(BuildBlockPacket(0, tavrel::BlockView(block)), nullptr));
        QByteArray answer;
        for (int reads = 0; reads < 10 && !IsAck(answer); ++reads) {
            line.Read(answer, 200);
        }
        EXPECT_TRUE(IsAck(answer)) << answer.toStdString();
    }
}

// Every transport offers one descriptor to wait on in an event loop: it turns readable when the
// device's bytes arrive, is quiet again once they are read, and tells of the line's end.
struct ReadinessCase {
    const char* name;
    std::optional<Ser2NetProcess::Scheme> server; // none: the pty itself
};

class LineReadiness : public ::testing::TestWithParam<ReadinessCase> {};

bool Readable(int fd) {
    pollfd ready{fd, POLLIN, 0};
    return ::poll(&ready, 1, 0) > 0;
}

TEST_P(LineReadiness, TurnsReadableForInputAndForTheEnd) {
    PtyPair device;
    std::optional<Ser2NetProcess> server;
    if (GetParam().server) {
        server.emplace(QStringList{device.SlavePath()}, *GetParam().server);
    }
    const Port port = *ResolvePort(server ? server->PortName() : device.SlavePath());
    const std::unique_ptr<Line> line = LineFor(port);
    ASSERT_TRUE(line->Open(port, SerialSettings{}, true));
    const int ready = line->ReadinessDescriptor();
    ASSERT_GE(ready, 0);
    QByteArray got;
    line->Read(got, 200); // the opening's own traffic is served
    EXPECT_TRUE(got.isEmpty());
    device.Send("hello");
    for (int round = 0; round < 20 && got != "hello"; ++round) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return Readable(ready); }, 2000)) << got.constData();
        EXPECT_EQ(line->Read(got, 0), Line::ReadResult::Data);
    }
    EXPECT_EQ(got, "hello");
    QTest::qWait(50);
    EXPECT_FALSE(Readable(ready)) << "quiet once what came is read";
    if (server) {
        server->Kill();
    } else {
        device.HangUp();
    }
    // The library may take a round or two to tell of the end; each one wakes the waiter.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return Readable(ready) && line->Read(got, 0) == Line::ReadResult::Lost; }, 5000));
    EXPECT_EQ(line->ReadinessDescriptor(), -1);
}

INSTANTIATE_TEST_SUITE_P(Transports, LineReadiness,
                         ::testing::Values(ReadinessCase{"pty", std::nullopt},
                                           ReadinessCase{"socket", Ser2NetProcess::Scheme::Socket},
                                           ReadinessCase{"rfc2217",
                                                         Ser2NetProcess::Scheme::Rfc2217}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
