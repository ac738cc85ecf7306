// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What one update on one port tells as it goes and how it ends: the interface between the
// update and whoever shows it (a terminal line, JSON lines, the station's tiles and log).
// An update ends with an outcome, never a process's exit status: the programs make those.

#include <QString>

namespace station {

// Why an update did not pass; None when it did.
enum class Failure {
    None,
    Output,   // an output cannot be written (a trace, the results log) or is one of the inputs
    Image,    // the image cannot be loaded
    Port,     // the port cannot be opened or set up
    NoAck,    // the device did not acknowledge a block in time
    PortLost, // the port was lost, or input/output failed, before the switch packet
    Stopped,  // a signal or the operator ended it
    Silent,   // the new program did not say what was expected after the switch packet
    Refused,  // the station took no board: its job has made all it may, or cannot count them
};

// The failure's name in records: "output", "image", "port", "no_ack", "port_lost", "stopped",
// "not_started", "refused"; empty for None.
QString FailureName(Failure failure);

// How an update ended.
struct Ending {
    Failure failure = Failure::None;
    int stop = 0; // Stopped: the signal's number, or kStopByOperator
    bool Passed() const { return failure == Failure::None; }
    bool operator==(const Ending&) const = default;
};

// Who or what stopped a run, for the operator: a signal's name, or the operator.
QString StopCause(int stop);
// The same for records: "SIGINT", "SIGTERM", ... or "operator".
QString StopName(int stop);

struct TransferFigures {
    QString port;
    qint32 baud = 0;
    qint64 imageBytes = 0;
    int blocks = 0;
    QString image; // the file's format, and its address range where it has one
};

// How a finished update ended, beyond its figures.
struct Outcome {
    bool lastBlockAcknowledged = false;
    // The device dropped the port after the switch packet (a USB boot loader that restarts).
    bool portClosedAfterSwitch = false;
    // With an expectation: the new program's text that matched it.
    bool expectMatched = false;
    QString expectText;
};

class ProgressReporter {
  public:
    virtual ~ProgressReporter() = default;
    virtual void Start(const TransferFigures& figures) = 0;
    // `sent` blocks are out (counting block 0) after `seconds`.
    virtual void Block(int index, int sent, double seconds) = 0;
    virtual void Done(double seconds, const Outcome& outcome) = 0;
    virtual void Error(const Ending& ending, const QString& message) = 0;
    // How far an update got that a stop ended after the switch packet: the image is written.
    virtual void Reached(const Outcome&) {}
    // Text the device sent that is not an acknowledgement, already made safe to show.
    virtual void DeviceText(const QString& line) = 0;
    // The switch packet went out on its own (--switch-only).
    virtual void SwitchSent(const QString&) {}
};

} // namespace station
