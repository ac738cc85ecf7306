// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A port on a serial device server (ser2net, an industrial one) as a Line, over TCP through the
// gensio library: rfc2217:// sets the line on the server's port and may have modem lines;
// socket:// is the bare byte stream. Nagle is off, so a block leaves as soon as it is written.
// A server that allows one connection per port (ser2net's default) refuses a second flasher:
// it says so and closes, and the opening reports what it said. The line lives on the thread
// that uses it; the library's events run only inside its calls.

#include "serial/Line.h"
#include "serial/NetworkAddress.h"

#include <functional>
#include <memory>

class NetworkLine : public Line {
  public:
    // How long a connection, or an answer to a setting, may take before it counts as none.
    static constexpr int kConnectMs = 5000;
    static constexpr int kAnswerMs = 2000;
    // How long an answer to a modem-line setting may take: a server whose port has no modem
    // lines (a pseudo-terminal behind ser2net) never answers.
    static constexpr int kModemAnswerMs = 500;
    // How long a port that the server says is in use is tried again before that is reported.
    static constexpr int kBusyRetryMs = 500;

    NetworkLine();
    ~NetworkLine() override;
    NetworkLine(const NetworkLine&) = delete;
    NetworkLine& operator=(const NetworkLine&) = delete;

    LineDone Open(const Port& port, const SerialSettings& settings, bool requestToSend) override;
    bool IsOpen() const override;
    LineDone TakeOver(const SerialSettings& settings) override;
    // Whether the last opening reached the server (its TCP connection was taken), whatever
    // came after: a server that answers and then refuses a setting has been reached.
    bool Reached() const { return m_reached; }
    LineDone Write(QByteArrayView bytes, const StopFlag* stop) override;
    ReadResult Read(QByteArray& into, int timeoutMs) override;
    void Abandon() override;
    void Close() override;
    LineDone SetModemLine(ModemLine line, bool on) override;
    LineDone ProbeModemLine(ModemLine line) override;
    QString Device() const override { return m_device; }
    void WatchStop(const StopFlag* stop) override { m_stop = stop; }
    // The connection keeps being served while the time passes.
    void Pause(int milliseconds) override;

    // Sets the server's port to `settings` (rfc2217:// only; a raw TCP port runs as the server
    // set it up), or says why the server refused.
    LineDone ChangeSettings(const SerialSettings& settings) override;
    // Readable while a descriptor the library watches for the connection is; only waited on,
    // never read: reads go through Read, which serves the connection.
    int ReadinessDescriptor() const override;
    // Whether Nagle is off on the open connection (for the tests).
    bool NoDelay() const;
    // Empty when a server accepts a connection at `name` within `timeoutMs`, else why not. The
    // connection is closed at once; nothing is set on the server's port.
    static QString Reach(const QString& name, int timeoutMs, const StopFlag* stop = nullptr);

  private:
    struct Connection; // the library's side

    // One connection and its set-up; Open tries again while the server still closes the port.
    LineDone Connect(const SerialSettings& settings, bool requestToSend);
    // Drops the connection that could not be set up, with why.
    LineError Refuse(LineErrorCode code, const QString& why);
    LineDone ApplySettings(const SerialSettings& settings);
    // Sets a modem line on the server's port; empty when it was set, else why not.
    QString Ask(ModemLine line, bool on);
    // The refusal for a server silent on a setting's request.
    QString SilentOn(const QString& setting) const;
    // Serves the connection until `done` or the deadline (on NowNs()); false at the deadline.
    // An opening's waits end with LineErrorCode::Interrupted once the stop is set.
    LineDone ServeOpening(const std::function<bool()>& done, qint64 deadlineNs);
    template <typename Done> bool ServeUntil(Done done, qint64 deadlineNs, const StopFlag* stop);

    NetworkAddress m_address;
    QString m_device; // the name as given
    qint32 m_baud = 9600;
    std::unique_ptr<Connection> m_connection;
    const StopFlag* m_stop = nullptr; // what an opening gives way to
    bool m_reached = false;
};
