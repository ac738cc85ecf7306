#pragma once
// How tavrel-flash tells its progress: a live line on a terminal, a line every 10 % otherwise,
// JSON lines for programs, or nothing.

#include <QString>
#include <memory>

namespace flash {

struct TransferFigures {
    QString port;
    qint32 baud = 0;
    qint64 imageBytes = 0;
    int blocks = 0;
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
    // Text the device sent that is not an acknowledgement.
    virtual void DeviceText(const QString& line) = 0;
};

enum class ReportStyle { Terminal, Plain, Json, Quiet };
std::unique_ptr<ProgressReporter> MakeReporter(ReportStyle style);

QString SummaryLine(const TransferFigures& figures, double seconds);

} // namespace flash
