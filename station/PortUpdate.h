// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One update on one port, headless: loads the image (or takes one loaded already), opens the
// port and walks the update plan: send a block, read until its ACK, the next; wait, switch,
// wait. The plan is the one the window's engine takes its packets and waits from, so the device
// gets the same bytes in the same order with the same waits. tavrel-flash runs one; the station
// runs one per port, each on a thread of its own.

#include "serial/Line.h"
#include "serial/ModemSequence.h"
#include "serial/StopFlag.h"
#include "station/RunReport.h"
#include "station/Trace.h"
#include "update/ImageFormats.h"
#include "update/ImageStore.h"
#include "update/LoadedImage.h"
#include "update/UpdatePlan.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <memory>
#include <optional>

namespace station {

struct UpdateSettings {
    QByteArray imagePath; // the file name as the system knows it: bytes, not text
    QString port;         // a path, "comN" or "com N"; empty: the system's one port
    qint32 baud = 115200;
    double timeoutSeconds = 10; // per ACK; 0 waits forever
    bool switchOnly = false;
    QByteArray traceFile;              // "-" for standard error; empty: none
    bool appendTrace = false;          // another attempt: the trace of those before is kept
    Trace::TextSink standardError;     // the program's writer of standard error, if it has one
    std::optional<quint32> base;       // an addressed image's first address
    std::optional<ImageFormat> format; // how to read the image; empty: as its content shows
    // The new program's text must match this after the switch packet, within expectWithin
    // seconds, or the board fails: the only proof that the new program runs.
    QString expect;
    double expectWithinSeconds = 5;
    // Modem-line steps on the opened port before the first block, and after the switch packet.
    ModemSequence before;
    ModemSequence after;
};

// Why `expect` cannot be the check after the switch packet (not an expression, or one that even
// no text matches, which would pass a silent board); empty when it can.
QString RefuseExpectation(const QString& expect);
// The expression the new program's text is matched with: ^ and $ at the ends of its lines.
QRegularExpression ExpectationExpression(const QString& expect);
// The time `text` gives the new program to say it, in seconds (above 0, at most an hour).
std::optional<double> ExpectWithinSeconds(const QString& text);
inline const QString kExpectWithinRange =
    QStringLiteral("a number of seconds above 0, at most 3600");

class PortUpdate {
  public:
    // `stopSignal` is set to the number of a signal (SIGINT, SIGTERM) that asks the run to end.
    // With `image`, that image is written and the file is not read again.
    // `line`: the transport to use (an in-memory one in tests); by default the one the port's kind
    // calls for, made once the port is resolved.
    PortUpdate(const UpdateSettings& settings, ProgressReporter& reporter,
               const StopFlag& stopSignal, const LoadedImage* image = nullptr,
               std::unique_ptr<Line> line = nullptr);
    Ending Run();
    // The device the run opened (or tried to), for logs.
    QString DevicePath() const;
    // Another program holds the port: trying again would fight it for the board.
    bool PortInUse() const { return m_portInUse; }
    // The device acknowledged the last block, however the update ended after that.
    bool LastBlockAcknowledged() const { return m_outcome.lastBlockAcknowledged; }

  private:
    struct Interrupted {};
    struct Refusal {
        Failure failure;
        QString message;
    };

    void LoadImage();
    // No output may be one of the inputs: a trace written over the image would destroy it.
    void RefuseOutputsThatAreInputs() const;
    void OpenTrace();
    void OpenPort();
    // Waits out the last block's ACK (the closing wait may have brought it); refused without it.
    void AwaitLastAck(const UpdatePlan& plan, qint64 timeoutMs);
    void Flash();
    // Reads the port until the reply since the last packet begins with "ACK" (true) or
    // `timeoutMs` passes (false; negative waits forever).
    bool WaitForAck(qint64 timeoutMs);
    // Moves complete text lines out of the reply; true when it now begins with "ACK".
    bool TakeAck();
    // Shows all that is left of the reply as the device's text.
    void FlushDeviceText();
    void ShowDeviceText(const QByteArray& text);
    // True when the port is gone; throws when that is a failure (before the switch packet).
    bool PortGone() const;
    void ThrowIfInterrupted() const;
    // Drops what waits and closes the line, if one was opened.
    void AbandonLine();
    // Ends the run for a stop signal: the port abandoned, the signal's exit status reported.
    Ending Stopped();
    // Reads what arrives within `milliseconds` into the reply; notes a line that went away.
    void ReadSome(int milliseconds);
    double Seconds() const { return m_clock.nsecsElapsed() / 1e9; }
    QString PortName() const;

    // Hands a packet to the port (and the trace) before it returns.
    void Send(const QByteArray& packet);
    void SendBlock(const UpdatePlan& plan, int index);
    void SendSwitch();
    // The fixed waits around the switch packet; the device's answer to the last block may come
    // meanwhile.
    void Wait(int milliseconds);
    // Reads the new program's text until it matches the expectation or the time is up; a port
    // that went away is opened again under its name meanwhile.
    void AwaitExpectedText();
    // Refuses a port that cannot set a line the sequences use, before any block.
    void ProbeModemLines();
    // Runs modem-line steps; a step the port refuses fails the update with `then` added.
    void RunSteps(const ModemSequence& steps, const QString& then);

    const UpdateSettings& m_options;
    ProgressReporter& m_reporter;
    Trace m_trace;
    const StopFlag& m_stopSignal;

    std::unique_ptr<Line> m_line;
    ImageStore m_store;
    TransferFigures m_figures;
    QElapsedTimer m_clock;

    QByteArray m_reply;       // bytes received since the last packet
    QByteArray m_sinceSwitch; // bytes received since the switch packet
    std::optional<Port> m_resolved;
    bool m_ackTaken = false;   // the reply has already counted as the acknowledgement
    bool m_inLongLine = false; // part of an overlong text line has been shown already
    bool m_portLost = false;
    bool m_portInUse = false;
    int m_sentBlocks = 0;
    int m_ackedBlocks = 0; // before the last, whose ACK the outcome tells
    bool m_allBlocksSent = false;
    bool m_switchSent = false;
    Outcome m_outcome;
    bool m_preloaded = false;
};

} // namespace station
