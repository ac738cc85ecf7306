// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A serial line as an update uses it: open a device (with the device lock, the settings
// applied, what it sent before discarded), write all of a packet before returning, read what
// arrives within a time, drop what waits, close. Modem lines are operations the line may refuse
// (a pseudo-terminal has none). Every refusal is a LineError carrying its reason for the
// operator. One implementation per transport: the local serial port and the network port.

#include "serial/LineError.h"
#include "serial/PortResolver.h"
#include "serial/SerialSettings.h"
#include "serial/StopFlag.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

enum class ModemLine { Dtr, Rts, Break };

// "DTR", "RTS" or "break", for messages.
inline QString ModemLineName(ModemLine line) {
    return line == ModemLine::Dtr   ? QStringLiteral("DTR")
           : line == ModemLine::Rts ? QStringLiteral("RTS")
                                    : QStringLiteral("break");
}

class Line {
  public:
    enum class ReadResult { Data, Timeout, Lost };

    virtual ~Line() = default;
    // RTS is raised or lowered as `requestToSend` says before what the device sent is dropped,
    // so that what a board says when RTS resets it answers nothing of ours.
    virtual LineDone Open(const Port& port, const SerialSettings& settings, bool requestToSend) = 0;
    // The stop an opening that takes time (a connection to a server) gives way to, ending with
    // LineErrorCode::Interrupted. A local port opens at once and needs none.
    virtual void WatchStop(const StopFlag* /*stop*/) {}
    virtual bool IsOpen() const = 0;
    // A line that was opened before the update (a watch found its port on it) is set up as the
    // update needs, and what it received meanwhile is dropped. Refused when it cannot
    // be used any more (the server closed it): the update then opens the port anew. Only a
    // network line is ever opened beforehand; others have nothing to do.
    virtual LineDone TakeOver(const SerialSettings& /*settings*/) { return {}; }
    // Hands every byte to the driver before it returns, within a deadline that the line's rate
    // sets; ends at once with LineErrorCode::Interrupted once `*stop` is set.
    virtual LineDone Write(QByteArrayView bytes, const StopFlag* stop) = 0;
    // Appends what arrives within `timeoutMs` (what waits already, at once; a negative time is
    // none). Lost: the device went away, and the line is closed.
    virtual ReadResult Read(QByteArray& into, int timeoutMs) = 0;
    // A descriptor to wait on in an event loop: it turns readable when bytes may have arrived
    // or the line may have ended, and a Read with no wait then takes what came and quiets it
    // again. -1 while the line is closed. Lines served only by blocking reads have none.
    virtual int ReadinessDescriptor() const = 0;
    // Sets the line to `settings` while it stays open, or says why it cannot.
    virtual LineDone ChangeSettings(const SerialSettings& settings) = 0;
    // Drops what waits in both directions and closes: nothing more reaches the device.
    virtual void Abandon() = 0;
    virtual void Close() = 0;
    // Sets a modem line (or the break condition), or says why it could not.
    virtual LineDone SetModemLine(ModemLine line, bool on) = 0;
    // Whether the line can be set: it is set to what it is now, or refused with why not.
    virtual LineDone ProbeModemLine(ModemLine line) = 0;
    // The device the last opening used (or tried), for messages and records.
    virtual QString Device() const = 0;
    // The time on which the line's waits are measured, in nanoseconds: the system's monotonic
    // clock (an in-memory line keeps a clock of its own, so that its tests take no real time).
    virtual qint64 NowNs() const;
    // Lets `milliseconds` pass on that clock, the line closed or not.
    virtual void Pause(int milliseconds);

  protected:
    // A modem line's refusal, naming the port: "/dev/ttyUSB0 cannot raise DTR: why". The action
    // is "raise", "lower" or (for a probe) "set".
    LineError ModemLineRefusal(ModemLine line, const QString& action, const QString& why) const {
        return {
            LineErrorCode::ModemLineRefused,
            QStringLiteral("%1 cannot %2 %3: %4").arg(Device(), action, ModemLineName(line), why)};
    }
    static QString ModemAction(bool on) {
        return on ? QStringLiteral("raise") : QStringLiteral("lower");
    }
};
