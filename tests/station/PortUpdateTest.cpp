// SPDX-License-Identifier: GPL-3.0-or-later
// The headless update against a scripted device on an in-memory line: what it sends, in order,
// and how each way a device behaves ends the update.
#include "station/PortUpdate.h"
#include "support/InMemoryLine.h"
#include "support/TempFiles.h"

#include <csignal>
#include <gtest/gtest.h>

namespace {

class Recorder : public station::ProgressReporter {
  public:
    void Start(const station::TransferFigures&) override {}
    void Block(int, int, double) override {}
    void Done(double, const station::Outcome& result) override { outcome = result; }
    void Error(const station::Ending&, const QString& text) override { message = text; }
    void DeviceText(const QString& line) override { text << line; }
    station::Outcome outcome;
    QString message;
    QStringList text;
};

struct DeviceCase {
    const char* name;
    qint64 imageBytes;
    InMemoryLine::Script device;
    station::Failure failure;
    int packets;      // how many packets reached the device
    const char* said; // part of the error or of the device's text; "" for none
    bool closedAfterSwitch = false;
    bool refuseOpenInUse = false;
    const char* expect = ""; // what the new program must say after the switch packet
};

InMemoryLine::Answer Ack(int, const QByteArray&) {
    return {"ACK"};
}

StopFlag g_stop{0};
using F = station::Failure;

class HeadlessUpdate : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(HeadlessUpdate, SendsThePlanAndEndsAsTheDeviceMakesIt) {
    const DeviceCase& c = GetParam();
    g_stop = 0;
    LoadedImage image;
    image.store.LoadImageBytes(PatternBytes(c.imageBytes));
    image.bytes = c.imageBytes;
    auto line =
        std::make_unique<InMemoryLine>(c.device, LineErrorCode::PortInUse, c.refuseOpenInUse);
    const auto written = line->written;
    station::UpdateSettings settings;
    settings.port = QStringLiteral("/dev/in-memory");
    settings.timeoutSeconds = 0.2;
    settings.expect = QString::fromUtf8(c.expect);
    Recorder recorder;
    station::PortUpdate update(settings, recorder, g_stop, &image, std::move(line));
    EXPECT_EQ(update.Run().failure, c.failure) << recorder.message.toStdString();
    EXPECT_EQ(update.PortInUse(), c.refuseOpenInUse);
    ASSERT_EQ(written->size(), c.packets);
    const UpdatePlan plan(image.store);
    for (int n = 0; n < c.packets; ++n) {
        EXPECT_EQ(written->at(n), n < plan.Blocks() ? plan.BlockPacket(n) : plan.SwitchPacket())
            << "packet " << n;
    }
    EXPECT_TRUE((recorder.message + recorder.text.join('\n')).contains(c.said))
        << recorder.message.toStdString() << recorder.text.join('\n').toStdString();
    EXPECT_EQ(recorder.outcome.portClosedAfterSwitch, c.closedAfterSwitch);
    EXPECT_EQ(recorder.outcome.expectMatched, *c.expect != 0 && c.failure == F::None);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, HeadlessUpdate,
    ::testing::Values(
        DeviceCase{"EveryBlockAcknowledged", 3000, Ack, F::None, 4, ""},
        DeviceCase{"OneBlockImageIsAcknowledgedBeforeTheSwitch", 100, Ack, F::None, 2, ""},
        DeviceCase{"TextBeforeTheAck", 3000,
                   [](int, const QByteArray&) { return InMemoryLine::Answer{"boot: erased\nACK"}; },
                   F::None, 4, "boot: erased"},
        DeviceCase{
            "SilentAfterBlockOne", 3000,
            [](int n, const QByteArray&) { return InMemoryLine::Answer{n == 0 ? "ACK" : ""}; },
            F::NoAck, 2, "no ACK for block 1 (number 0x15) within 0.2 s"},
        // The last block's ACK is the only word that the image is all in: no switch without it.
        DeviceCase{"LastBlockRefusedSendsNoSwitch", 3000,
                   [](int n, const QByteArray&) {
                       return InMemoryLine::Answer{n < 2 ? "ACK" : "boot: no room\r\n"};
                   },
                   F::NoAck, 3,
                   "no ACK for the last block, 2 (number 0x16) within 0.2 s; the switch packet "
                   "was not sent"},
        DeviceCase{"HangUpBeforeTheSwitch", 3000,
                   [](int n, const QByteArray&) {
                       return InMemoryLine::Answer{"ACK", n == 2};
                   },
                   F::PortLost, 3, "was lost after 3 of 3 blocks"},
        DeviceCase{"HangUpAfterTheSwitchIsASuccess", 3000,
                   [](int n, const QByteArray&) {
                       return InMemoryLine::Answer{"ACK", n == 3};
                   },
                   F::None, 4, "", true},
        DeviceCase{"StopSignalWhileWaiting", 3000,
                   [](int n, const QByteArray&) {
                       g_stop = n == 1 ? SIGINT : 0;
                       return InMemoryLine::Answer{"ACK"};
                   },
                   F::Stopped, 2, "stopped by Ctrl-C"},
        DeviceCase{"PortInUseIsRefusedAtOpen", 3000, Ack, F::Port, 0, "refused by the test", false,
                   true},
        DeviceCase{"NewProgramSaysWhatWasExpected", 3000,
                   [](int n, const QByteArray&) {
                       return InMemoryLine::Answer{n < 3 ? "ACK" : "app v2 up\r\n"};
                   },
                   F::None, 4, "app v2 up", false, false, "v[0-9]+ up"},
        // ^ and $ at the ends of lines, however the device ends them: CR LF, then CR.
        DeviceCase{"AnchorsAtCrLfAndCrLineEnds", 3000,
                   [](int n, const QByteArray&) {
                       return InMemoryLine::Answer{n < 3 ? "ACK" : "boot\r\nREADY\rv2\r\n"};
                   },
                   F::None, 4, "READY", false, false, "^READY$"},
        DeviceCase{"NewProgramSilent", 3000, Ack, F::Silent, 4,
                   "the new program did not say v2 within 5 s", false, false, "v2"},
        DeviceCase{"NewProgramSaysOtherText", 3000,
                   [](int n, const QByteArray&) {
                       return InMemoryLine::Answer{n < 3 ? "ACK" : "app v1 up\r\n"};
                   },
                   F::Silent, 4, "app v1 up", false, false, "v2 up"},
        DeviceCase{"TextBeforeTheSwitchDoesNotCount", 3000,
                   [](int n, const QByteArray&) {
                       return InMemoryLine::Answer{n < 3 ? "v2 up\r\nACK" : ""};
                   },
                   F::Silent, 4, "did not say v2 up", false, false, "v2 up"},
        DeviceCase{"BootLoadersFarewellBeforeTheDropDoesNotCount", 3000,
                   [](int n, const QByteArray&) {
                       return n < 3 ? InMemoryLine::Answer{"ACK"}
                                    : InMemoryLine::Answer{"boot: v2 up next\r\n", true};
                   },
                   F::Silent, 4, "did not say v2 up", false, false, "v2 up"},
        DeviceCase{"NewProgramAfterThePortDropsAndReturns", 3000,
                   [](int n, const QByteArray&) {
                       return n < 3 ? InMemoryLine::Answer{"ACK"}
                                    : InMemoryLine::Answer{"", true, "app v2 up\r\n"};
                   },
                   F::None, 4, "app v2 up", true, false, "v2 up"}),
    [](const auto& info) { return std::string(info.param.name); });

// Modem-line steps run on the opened port: before the first block, and after the switch packet,
// with their waits on the line's clock.
TEST(HeadlessUpdate, ModemStepsDriveTheFixtureAroundTheUpdate) {
    g_stop = 0;
    LoadedImage image;
    image.store.LoadImageBytes(PatternBytes(3000));
    image.bytes = 3000;
    auto line = std::make_unique<InMemoryLine>(Ack);
    const auto steps = line->modemSteps;
    const auto written = line->written;
    station::UpdateSettings settings;
    settings.port = QStringLiteral("/dev/in-memory");
    settings.before = *ParseModemSequence(QStringLiteral("dtr,wait:50,-dtr"));
    settings.after = *ParseModemSequence(QStringLiteral("reset-rts"));
    Recorder recorder;
    station::PortUpdate update(settings, recorder, g_stop, &image, std::move(line));
    EXPECT_TRUE(update.Run().Passed()) << recorder.message.toStdString();
    ASSERT_EQ(steps->size(), 4) << steps->join(' ').toStdString();
    EXPECT_EQ(steps->mid(0, 2), QStringList({"dtr@0", "-dtr@50"}));
    const int rtsAt = steps->at(2).section('@', 1).toInt();
    EXPECT_TRUE(steps->at(2).startsWith("rts@") &&
                steps->at(3) == QStringLiteral("-rts@%1").arg(rtsAt + 100))
        << steps->join(' ').toStdString();
    EXPECT_GE(rtsAt, 50 + tavrel::kSwitchDelayMs + tavrel::kReportDelayMs) << "after the switch";
    EXPECT_EQ(written->size(), 4);
}

} // namespace
