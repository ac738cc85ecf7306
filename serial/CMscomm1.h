// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The serial communications control: owns one serial line (a local port or one on a serial
// server) and offers it through the control's properties. Opening applies the port number, the
// settings string, binary input and RTS; received bytes raise OnComm on the owner's thread, woken
// by the line's readiness descriptor; refusals are thrown as CommError.

#include "serial/CommError.h"
#include "serial/Line.h"
#include "serial/SerialSettings.h"
#include "serial/StopFlag.h"

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <memory>

// Values CommEvent reads after OnComm.
enum CommEventCode : short {
    comEvReceive = 2,
    comEventBreak = 1001,
    comEventFrame = 1004,
    comEventOverrun = 1006,
    comEventRxOver = 1008,
    comEventRxParity = 1009,
    // The port went away while open (a USB adapter unplugged, a pty hung up). The control has
    // closed the port by the time this event is raised.
    comEventPortLost = 1100,
};

class CMscomm1 : public QObject {
    Q_OBJECT

  public:
    explicit CMscomm1(QObject* parent = nullptr);
    ~CMscomm1() override;

    bool get_PortOpen() const;
    void put_PortOpen(bool open);
    short get_CommPort() const { return m_commPort; }
    void put_CommPort(short port);
    long get_InputMode() const { return m_inputMode; }
    void put_InputMode(long mode);
    QString get_Settings() const { return m_settingsText; }
    void put_Settings(const QString& settings);
    short get_InputLen() const { return m_inputLen; }
    void put_InputLen(short length);
    short get_RThreshold() const { return m_rThreshold; }
    void put_RThreshold(short threshold);
    bool get_RTSEnable() const { return m_rtsEnable; }
    void put_RTSEnable(bool enable);
    short get_InBufferSize() const { return m_inBufferSize; }
    short get_OutBufferSize() const { return m_outBufferSize; }
    QString get_ParityReplace() const { return m_parityReplace; }

    // Hands the whole array to the driver, in order, before it returns. Raises no event
    // meanwhile: received bytes are reported once the caller is back in the event loop.
    // A port that was lost meanwhile is reported here, once, as CommError::Kind::PortLost.
    void put_Output(const QByteArray& bytes);
    // At most InputLen bytes (all when InputLen is 0); the rest stays for another event.
    QByteArray get_Input();
    short get_CommEvent() const { return m_commEvent; }
    // Bytes received and not yet taken by Input.
    qint64 get_InBufferCount() const;

    // Opens this device instead of the one com N maps to (a program that was given a path);
    // `source` says where the path came from, for messages. An empty path goes back to the
    // mapping.
    void SetDevicePath(const QString& path,
                       const QString& source = QStringLiteral("the command line")) {
        m_explicitDevice = path;
        m_explicitSource = source;
    }
    // The device the last opening used (or tried), for messages.
    QString DevicePath() const { return m_devicePath; }
    // Drops what waits to be sent or read and closes the port: nothing more reaches the device,
    // and closing does not wait for a line that does not drain.
    void Abandon();
    // Raises OnComm now for every byte that has arrived, without waiting: for a caller that has
    // blocked its thread and must not leave received bytes waiting until the next event. A loss
    // found meanwhile is left for the event loop (or the next Output) to report.
    void DeliverPendingInput();

  Q_SIGNALS:
    void OnComm();
    // Every property write, in order, with its value: for traces and for checking the order
    // in which a caller sets the control up.
    void PropertyWritten(const QString& name, const QString& value);

  private:
    void RaiseReceive();
    // Raises receive events until no byte waits or the handler stops taking them.
    void RaiseReceiveWhileTaken();
    void RaiseLater();
    void RaisePortLost();
    void ClosePort();
    void RequirePortClosed(const char* property) const;
    static void RequireNotNegative(const char* property, short value);
    void Open();
    bool IsOpen() const { return m_line && m_line->IsOpen(); }
    qint64 Waiting() const { return m_input.size(); } // received bytes not yet taken by Input
    // Takes what the line brought into m_input: woken by the line's readiness descriptor, and
    // after each call that served the line meanwhile (a write, a setting). A loss is raised
    // once, after the bytes before it.
    void TakeInput();
    // Runs a call that serves the open line (a write, a setting), then takes what it read.
    template <typename Call> void ServeLine(Call call);

    std::unique_ptr<Line> m_line; // set while a port is open
    std::unique_ptr<QSocketNotifier> m_readiness;
    QByteArray m_input;
    short m_commPort = 1;
    long m_inputMode = 0;
    QString m_settingsText = QStringLiteral("9600,n,8,1");
    SerialSettings m_settings;
    short m_inputLen = 0;
    short m_rThreshold = 0;
    bool m_rtsEnable = false;
    const short m_inBufferSize = 1024;
    const short m_outBufferSize = 512;
    const QString m_parityReplace = QStringLiteral("?");
    short m_commEvent = 0;
    QString m_devicePath;
    QString m_explicitDevice;
    QString m_explicitSource;

    bool m_raiseQueued = false;
    bool m_lost = false;    // the device went away; reported once, after the bytes before it
    bool m_pulling = false; // input is taken for a blocked caller: raise nothing from it
};
