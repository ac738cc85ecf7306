// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/PortUpdate.h"

#include "base/VisibleText.h"
#include "serial/LineFor.h"
#include "serial/PortMapping.h"
#include "serial/PortResolver.h"
#include "station/OutputFile.h"
#include "update/LoadedImage.h"
#include "update/Packets.h"
#include "update/UpdatePlan.h"

#include <QFile>
#include <QRegularExpression>
#include <cmath>
#include <csignal>

namespace station {

namespace {
constexpr int kReadSliceMs = 50; // how often a wait looks at Ctrl-C
constexpr qint64 kNsPerMs = 1'000'000;

// How long the next read may wait: up to `end`, rounded up to whole milliseconds, at most one
// slice, never less than nothing.
int SliceUntil(qint64 end, qint64 now) {
    return static_cast<int>(
        std::clamp<qint64>((end - now + kNsPerMs - 1) / kNsPerMs, 0, kReadSliceMs));
}
constexpr qsizetype kLongestLine = 4096;
constexpr qsizetype kExpectWindow = 16 * 1024; // the new program's newest text that is matched
constexpr int kReopenPauseMs = 100;
const QByteArray kAck = QByteArrayLiteral("ACK");

} // namespace

QRegularExpression ExpectationExpression(const QString& expect) {
    // ^ and $ stand for the ends of each line, whether the device ends its lines in LF, CR LF or
    // CR, as most boards end them in CR LF.
    return QRegularExpression(QStringLiteral("(*ANYCRLF)") + expect,
                              QRegularExpression::MultilineOption);
}

QString RefuseExpectation(const QString& expect) {
    const QRegularExpression expression = ExpectationExpression(expect);
    if (!expression.isValid()) {
        return QStringLiteral("needs a regular expression: %1").arg(expression.errorString());
    }
    if (expression.match(QString()).hasMatch()) {
        return QStringLiteral("%1 matches even no text; give what the new program must say")
            .arg(expect);
    }
    return {};
}

std::optional<double> ExpectWithinSeconds(const QString& text) {
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    return ok && std::isfinite(seconds) && seconds > 0 && seconds <= 3600
               ? std::optional<double>(seconds)
               : std::nullopt;
}

PortUpdate::PortUpdate(const UpdateSettings& settings, ProgressReporter& reporter,
                       const StopFlag& stopSignal, const LoadedImage* image,
                       std::unique_ptr<Line> line)
    : m_options(settings), m_reporter(reporter), m_stopSignal(stopSignal), m_line(std::move(line)) {
    if (image != nullptr) {
        m_store = image->store;
        m_preloaded = true;
        m_figures.imageBytes = image->bytes;
        m_figures.image = image->description;
        m_figures.blocks = m_store.m_lastBlock + 1;
    }
}

QString PortUpdate::PortName() const {
    return m_line ? m_line->Device() : m_resolved ? m_resolved->device : m_options.port;
}

QString PortUpdate::DevicePath() const {
    return PortName();
}

void PortUpdate::AbandonLine() {
    if (m_line) {
        m_line->Abandon();
    }
}

Ending PortUpdate::Run() {
    m_clock.start();
    try {
        if (!m_options.switchOnly && !m_preloaded) {
            LoadImage(); // before any output exists, so that no output can harm it
        }
        RefuseOutputsThatAreInputs();
        OpenTrace();
        OpenPort();
        ProbeModemLines();
        RunSteps(m_options.before, QStringLiteral("; no block was sent"));
        if (m_options.switchOnly) {
            SendSwitch();
            RunSteps(m_options.after, QStringLiteral(" after the switch packet"));
            m_line->Close();
            m_reporter.SwitchSent(PortName());
            return {};
        }
        Flash();
        m_line->Close();
        return {};
    } catch (const Refusal& refusal) {
        AbandonLine();
        m_reporter.Error({refusal.failure}, refusal.message);
        return {refusal.failure};
    } catch (const Interrupted&) {
        return Stopped();
    }
}

Ending PortUpdate::Stopped() {
    AbandonLine(); // nothing more is sent
    const Ending ending{Failure::Stopped, m_stopSignal};
    if (m_switchSent) {
        // Every block is in and the device was told to start it: only the check after that
        // was cut short.
        m_reporter.Reached(m_outcome);
        m_reporter.Error(ending,
                         QStringLiteral("the image was written and the switch packet sent; then "
                                        "the run was stopped by %1%2")
                             .arg(StopCause(ending.stop),
                                  m_options.expect.isEmpty()
                                      ? QString()
                                      : QStringLiteral(" before the new program was heard")));
        return ending;
    }
    m_reporter.Error(ending, QStringLiteral("stopped by %1; the port is closed and the device "
                                            "has an incomplete image")
                                 .arg(StopCause(ending.stop)));
    return ending;
}

void PortUpdate::LoadImage() {
    Result<LoadedImage, ImageError> loaded =
        ::LoadImage(m_options.imagePath, m_options.base, m_options.format);
    if (!loaded) {
        throw Refusal{Failure::Image, loaded.error().text};
    }
    m_store = std::move(loaded->store);
    m_figures.image = loaded->description;
    m_figures.imageBytes = loaded->bytes;
    m_figures.blocks = m_store.m_lastBlock + 1;
}

void PortUpdate::RefuseOutputsThatAreInputs() const {
    if (m_options.traceFile.isEmpty()) {
        return;
    }
    const OutputDone taken =
        RefuseOutput(m_options.traceFile, OutputKind::Trace,
                     m_options.switchOnly ? QByteArray() : m_options.imagePath, {m_options.port});
    if (!taken) {
        throw Refusal{Failure::Output, taken.error().text};
    }
}

void PortUpdate::OpenTrace() {
    if (const OutputDone opened =
            m_trace.Open(m_options.traceFile, m_options.standardError, m_options.appendTrace);
        !opened) {
        throw Refusal{Failure::Output,
                      QStringLiteral("cannot write the trace to %1: %2")
                          .arg(VisibleText(m_options.traceFile), opened.error().text)};
    }
}

void PortUpdate::OpenPort() {
    const PortLookup lookup = ResolvePort(m_options.port);
    if (!lookup) {
        throw Refusal{Failure::Port, lookup.error().text};
    }
    const QString settingsText = QStringLiteral("%1,n,8,1").arg(m_options.baud);
    const std::optional<SerialSettings> settings = ParseSerialSettings(settingsText);
    if (!settings) {
        throw Refusal{Failure::Port, SettingsRefusal(settingsText)};
    }
    m_resolved = *lookup;
    if (!m_line) {
        m_line = LineFor(*m_resolved); // the transport the port's kind calls for
    }
    m_line->WatchStop(&m_stopSignal);
    if (m_line->IsOpen()) {
        // Opened before the update (the watch that found the port): set up as this update needs,
        // or, when it cannot be used any more, opened anew below.
        if (m_line->TakeOver(*settings)) {
            m_figures.port = PortName();
            m_figures.baud = m_options.baud;
            return;
        }
        m_line->Close();
    }
    if (const LineDone opened = m_line->Open(*lookup, *settings, true); !opened) {
        m_portInUse = opened.error().code == LineErrorCode::PortInUse;
        throw Refusal{Failure::Port, opened.error().text};
    }
    m_figures.port = PortName();
    m_figures.baud = m_options.baud;
}

void PortUpdate::Flash() {
    const qint64 timeoutMs =
        m_options.timeoutSeconds > 0 ? qint64(m_options.timeoutSeconds * 1000) : -1;
    const UpdatePlan plan(m_store);
    m_reporter.Start(m_figures);
    m_trace.Note("Write");
    for (int index = 0; index < plan.Blocks(); ++index) {
        SendBlock(plan, index);
        if (!plan.AwaitsAck(index)) {
            continue;
        }
        if (WaitForAck(timeoutMs)) {
            m_ackedBlocks = index + 1;
        } else {
            throw Refusal{
                Failure::NoAck,
                plan.Blocks() == 1
                    ? QStringLiteral("the device did not acknowledge block 0 (number "
                                     "0x14) within %1 s")
                          .arg(m_options.timeoutSeconds)
                    : QStringLiteral("no ACK for block %1 (number 0x%2) within %3 s. "
                                     "Check the baud rate and the cable, and that the "
                                     "boot loader waits.")
                          .arg(index)
                          .arg((index + tavrel::kBlockNumberOffset) % 256, 2, 16, QLatin1Char('0'))
                          .arg(m_options.timeoutSeconds)};
        }
    }
    // The last block's ACK comes during the closing wait; a one-block image's came already.
    m_outcome.lastBlockAcknowledged = plan.Blocks() == 1;
    m_ackedBlocks = plan.Blocks() - 1;
    Wait(tavrel::kSwitchDelayMs);
    AwaitLastAck(plan, timeoutMs);
    SendSwitch();
    Wait(tavrel::kReportDelayMs);
    if (m_portLost || !m_line->IsOpen()) {
        m_trace.Note("the device closed the port after the switch: --after is not run");
    } else {
        RunSteps(m_options.after,
                 QStringLiteral(" after the switch packet; the image was written"));
    }
    if (!m_options.expect.isEmpty()) {
        AwaitExpectedText();
    }
    if (plan.Blocks() > 1) {
        m_trace.Note(tavrel::kSuccessText.toLatin1().constData()); // where the window says it
    }
    FlushDeviceText();
    m_reporter.Done(Seconds(), m_outcome);
}

void PortUpdate::AwaitLastAck(const UpdatePlan& plan, qint64 timeoutMs) {
    if (m_outcome.lastBlockAcknowledged) {
        return;
    }
    // The last block's ACK is the device's only word that the whole image is in: a boot loader
    // that refused the block (it does not fit, it did not read back) says nothing more. Without
    // it the switch would start a program that is not all there, and the board would pass.
    const qint64 left =
        timeoutMs < 0 ? -1 : std::max<qint64>(timeoutMs - tavrel::kSwitchDelayMs, 0);
    if (WaitForAck(left)) {
        m_outcome.lastBlockAcknowledged = true;
        return;
    }
    const int last = plan.Blocks() - 1;
    const bool gone = PortGone();
    throw Refusal{
        gone ? Failure::PortLost : Failure::NoAck,
        QStringLiteral("%1 for the last block, %2 (number 0x%3)%4; the switch packet "
                       "was not sent, so the device stays in its boot loader")
            .arg(gone ? QStringLiteral("the port was lost while waiting for the ACK")
                      : QStringLiteral("no ACK"))
            .arg(last)
            .arg((last + tavrel::kBlockNumberOffset) % 256, 2, 16, QLatin1Char('0'))
            .arg(gone ? QString() : QStringLiteral(" within %1 s").arg(m_options.timeoutSeconds))};
}

void PortUpdate::ReadSome(int milliseconds) {
    QByteArray bytes;
    switch (m_line->Read(bytes, milliseconds)) {
    case Line::ReadResult::Data:
        m_trace.Received(bytes);
        m_reply += bytes;
        if (m_switchSent) {
            m_sinceSwitch += bytes;
        }
        break;
    case Line::ReadResult::Lost:
        m_portLost = true;
        break;
    case Line::ReadResult::Timeout:
        break;
    }
}

bool PortUpdate::TakeAck() {
    if (m_ackTaken) {
        return false;
    }
    for (;;) {
        // The rest of a line already shown in part is text, never an ACK.
        if (!m_inLongLine && IsAck(m_reply)) {
            m_reply.remove(0, kAck.size());
            m_ackTaken = true;
            return true;
        }
        const qsizetype end = m_reply.indexOf('\n');
        if (end < 0) {
            // "AC" waits for its "K"; a line waits for its end, but a device that streams text
            // without line ends is shown in pieces of bounded size, each once.
            if (m_reply.size() < kLongestLine) {
                return false;
            }
            ShowDeviceText(m_reply.left(kLongestLine));
            m_reply.remove(0, kLongestLine);
            m_inLongLine = true;
            continue;
        }
        ShowDeviceText(m_reply.left(end));
        m_reply.remove(0, end + 1);
        m_inLongLine = false;
    }
}

void PortUpdate::FlushDeviceText() {
    while (!m_reply.isEmpty()) {
        const qsizetype end = m_reply.indexOf('\n');
        const qsizetype take = std::min(end >= 0 ? end + 1 : m_reply.size(), kLongestLine);
        ShowDeviceText(m_reply.left(take));
        m_reply.remove(0, take);
    }
    m_inLongLine = false;
}

void PortUpdate::ShowDeviceText(const QByteArray& text) {
    const QByteArray trimmed = text.trimmed();
    if (!trimmed.isEmpty()) {
        m_reporter.DeviceText(VisibleText(trimmed)); // it cannot drive the operator's terminal
    }
}

void PortUpdate::ThrowIfInterrupted() const {
    if (m_stopSignal != 0) {
        throw Interrupted{};
    }
}

bool PortUpdate::PortGone() const {
    if (!m_portLost && m_line->IsOpen()) {
        return false;
    }
    if (m_switchSent) {
        return true; // a device that restarts with its new program: no failure
    }
    throw Refusal{Failure::PortLost,
                  QStringLiteral("the port %1 was lost after %2 of %3 blocks were acknowledged. "
                                 "Check the cable and run again.")
                      .arg(PortName())
                      .arg(m_ackedBlocks + (m_outcome.lastBlockAcknowledged ? 1 : 0))
                      .arg(m_figures.blocks)};
}

bool PortUpdate::WaitForAck(qint64 timeoutMs) {
    const qint64 end = timeoutMs < 0 ? -1 : m_line->NowNs() + timeoutMs * kNsPerMs;
    for (;;) {
        if (TakeAck()) {
            return true;
        }
        ThrowIfInterrupted();
        const qint64 now = m_line->NowNs();
        if (PortGone() || (end >= 0 && now >= end)) {
            FlushDeviceText();
            return false;
        }
        ReadSome(end < 0 ? kReadSliceMs : SliceUntil(end, now));
    }
}

void PortUpdate::Send(const QByteArray& packet) {
    ThrowIfInterrupted();
    FlushDeviceText(); // whatever followed the acknowledgement
    m_ackTaken = false;
    m_trace.Sent(packet);
    if (const LineDone written = m_line->Write(packet, &m_stopSignal); !written) {
        if (written.error().code == LineErrorCode::Interrupted) {
            throw Interrupted{}; // a write that waited for room: the same stop as anywhere else
        }
        throw Refusal{Failure::PortLost, written.error().text};
    }
}

void PortUpdate::SendBlock(const UpdatePlan& plan, int index) {
    Send(plan.BlockPacket(index));
    ++m_sentBlocks;
    m_allBlocksSent = index + 1 >= plan.Blocks();
    m_reporter.Block(index, m_sentBlocks, Seconds());
}

void PortUpdate::SendSwitch() {
    Send(UpdatePlan::SwitchPacket());
    m_switchSent = m_allBlocksSent;
}

void PortUpdate::Wait(int milliseconds) {
    // The fixed waits around the switch packet, never shorter than asked; the device's answer
    // to the last block may come meanwhile.
    const qint64 end = m_line->NowNs() + milliseconds * kNsPerMs;
    for (qint64 now = m_line->NowNs(); now < end; now = m_line->NowNs()) {
        ThrowIfInterrupted();
        if (PortGone()) {
            m_outcome.portClosedAfterSwitch = true;
            return;
        }
        ReadSome(SliceUntil(end, now));
        if (m_allBlocksSent && TakeAck()) {
            m_outcome.lastBlockAcknowledged = true;
        }
    }
}

} // namespace station

namespace station {

void PortUpdate::ProbeModemLines() {
    // Every line that a sequence will set, set now to what it is: a port that cannot is refused
    // before the first block, not after the image is written.
    for (const ModemSequence* steps : {&m_options.before, &m_options.after}) {
        for (const ModemStep& step : *steps) {
            if (!step.line) {
                continue;
            }
            if (const LineDone probed = m_line->ProbeModemLine(*step.line); !probed) {
                throw Refusal{Failure::Port,
                              probed.error().text + QStringLiteral("; no block was sent")};
            }
        }
    }
}

void PortUpdate::RunSteps(const ModemSequence& steps, const QString& then) {
    const LineDone done = RunModemSequence(*m_line, steps, &m_stopSignal);
    ThrowIfInterrupted();
    if (!done) {
        throw Refusal{Failure::Port, done.error().text + then};
    }
}

void PortUpdate::AwaitExpectedText() {
    // However the reads split the text, the whole of it since the switch is matched.
    const QRegularExpression expected = ExpectationExpression(m_options.expect);
    const qint64 end = m_line->NowNs() + qint64(m_options.expectWithinSeconds * 1e3) * kNsPerMs;
    const std::optional<SerialSettings> settings =
        ParseSerialSettings(QStringLiteral("%1,n,8,1").arg(m_options.baud));
    const auto silent = [&] {
        FlushDeviceText();
        return Refusal{Failure::Silent,
                       QStringLiteral("the new program did not say %1 within %2 s after the "
                                      "switch packet")
                           .arg(VisibleText(m_options.expect.toUtf8()))
                           .arg(m_options.expectWithinSeconds)};
    };
    for (;;) {
        ThrowIfInterrupted();
        if (m_portLost || !m_line->IsOpen()) {
            const qint64 now = m_line->NowNs();
            if (now >= end) {
                throw silent();
            }
            // A USB boot loader that starts its program drops the port; it comes back under the
            // same name. What came before the drop was the boot loader's, not the program's.
            m_outcome.portClosedAfterSwitch = true;
            m_sinceSwitch.clear();
            FlushDeviceText();
            m_portLost = !m_line->Open(*m_resolved, *settings, true);
            m_line->Pause(std::min(SliceUntil(end, now), kReopenPauseMs)); // never a busy loop
            continue;
        }
        // Only the newest text is looked at: a talkative program costs no more with time.
        if (m_sinceSwitch.size() > kExpectWindow) {
            m_sinceSwitch.remove(0, m_sinceSwitch.size() - kExpectWindow);
        }
        const QRegularExpressionMatch match = expected.match(QString::fromUtf8(m_sinceSwitch));
        if (match.hasMatch()) {
            m_outcome.expectMatched = true;
            m_outcome.expectText = VisibleText(match.captured(0).toUtf8());
            return;
        }
        const qint64 now = m_line->NowNs();
        if (now >= end) {
            throw silent();
        }
        ReadSome(SliceUntil(end, now));
        TakeAck(); // lines of text go out as the device's; an ACK is none of them now
    }
}

} // namespace station
