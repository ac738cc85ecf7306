// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A local serial port (a USB adapter, a UART, a pseudo-terminal) as a Line. Qt Serial Port is
// the driver, and its own notifications wake a waiter on the line's readiness descriptor; this
// file alone touches the port's descriptor itself (the device lock, writes that must leave
// before a blocking wait, a look for a hang-up). It lives on the thread that uses it.

#include "serial/Line.h"

#include <QSerialPort>

class LocalSerialLine : public Line {
  public:
    // How long a port another program holds is waited for before it is refused as in use, where
    // a stop can end the wait.
    static constexpr int kHolderGraceMs = 3000;
    void WatchStop(const StopFlag* stop) override { m_stop = stop; }
    LocalSerialLine();
    ~LocalSerialLine() override;
    LocalSerialLine(const LocalSerialLine&) = delete;
    LocalSerialLine& operator=(const LocalSerialLine&) = delete;

    LineDone Open(const ::Port& port, const SerialSettings& settings, bool requestToSend) override;
    bool IsOpen() const override { return m_port.isOpen(); }
    LineDone Write(QByteArrayView bytes, const StopFlag* stop) override;
    ReadResult Read(QByteArray& into, int timeoutMs) override;
    void Abandon() override;
    void Close() override;
    LineDone SetModemLine(ModemLine line, bool on) override;
    LineDone ProbeModemLine(ModemLine line) override;
    QString Device() const override { return m_device; }
    // Signalled by the port's own notifications (input, an error), which run in the event loop.
    int ReadinessDescriptor() const override { return m_port.isOpen() ? m_ready : -1; }
    LineDone ChangeSettings(const SerialSettings& settings) override;

  private:
    void SignalReady();
    void QuietReady();
    // Whether the port reports the device gone (a hung-up line reads as end of file or EIO).
    bool PortGone() const;
    // Lets the port read what arrives again after a read that found nothing stopped it.
    void WatchInputAgain();
    LineDone LockDevice(const QByteArray& device);
    void ReleaseDeviceLock();
    LineError OpenError(QSerialPort::SerialPortError error);
    // Sets a modem line; empty when it was set, else the driver's reason.
    QString Drive(ModemLine line, bool on);

    QSerialPort m_port;
    QString m_device;
    QString m_label; // "com 3 (/dev/ttyUSB0)" or the path, for messages
    QString m_settingsText;
    qint32 m_baud = 9600;
    int m_lockFd = -1;                // holds the device's lock while the port is open
    int m_ready = -1;                 // an event counter: readable while input or an end waits
    const StopFlag* m_stop = nullptr; // an update's stop, which ends the wait for a holder
};
