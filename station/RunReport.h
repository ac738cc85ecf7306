// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What one update on one port tells as it goes and how it ends: the interface between the
// update and whoever shows it (a terminal line, JSON lines, the station's tiles and log).

#include <QString>

namespace station {

// Exit statuses, as tavrel-flash --help and the README document them.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,
    kExitImage = 2,
    kExitPort = 3,
    kExitNoAck = 4,
    kExitPortLost = 5,
    kExitSomeFailed = 6,    // several ports: at least one of them failed
    kExitInterrupted = 130, // 128 + SIGINT; SIGTERM gives 143
};

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
};

class ProgressReporter {
  public:
    virtual ~ProgressReporter() = default;
    virtual void Start(const TransferFigures& figures) = 0;
    // `sent` blocks are out (counting block 0) after `seconds`.
    virtual void Block(int index, int sent, double seconds) = 0;
    virtual void Done(double seconds, const Outcome& outcome) = 0;
    virtual void Error(int exitCode, const QString& message) = 0;
    // Text the device sent that is not an acknowledgement, already made safe to show.
    virtual void DeviceText(const QString& line) = 0;
    // The switch packet went out on its own (--switch-only).
    virtual void SwitchSent(const QString&) {}
};

} // namespace station
