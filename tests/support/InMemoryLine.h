// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A line with a scripted device on its other end, in memory: for tests of the layers above the
// line. Each packet written gets the script's answer (bytes, silence, a hang-up); reads return
// what the device said, or wait out their time when it said nothing.

#include "serial/Line.h"

#include <QList>
#include <functional>
#include <memory>

class InMemoryLine : public Line {
  public:
    struct Answer {
        Answer(QByteArray said = {}, bool goesAway = false, QByteArray saidOnReopen = {})
            : bytes(std::move(said)), hangUp(goesAway), onReopen(std::move(saidOnReopen)) {}
        QByteArray bytes;
        bool hangUp = false; // after the bytes, the device goes away
        QByteArray onReopen; // after a hang-up: what it says once the line is opened again
    };
    // `packet` is the n-th packet written, from 0.
    using Script = std::function<Answer(int n, const QByteArray& packet)>;

    explicit InMemoryLine(Script script, LineErrorCode openRefusal = LineErrorCode::OpenFailed,
                          bool refuseOpen = false)
        : m_script(std::move(script)), m_openRefusal(openRefusal), m_refuseOpen(refuseOpen) {}

    LineDone Open(const Port& port, const SerialSettings& settings, bool) override;
    bool IsOpen() const override { return m_open; }
    LineDone Write(QByteArrayView bytes, const StopFlag* stop) override;
    ReadResult Read(QByteArray& into, int timeoutMs) override;
    void Abandon() override { m_open = false; }
    void Close() override { m_open = false; }
    // Records each step as "dtr@MS", "-rts@MS", ... on the line's own clock.
    LineDone SetModemLine(ModemLine line, bool on) override;
    LineDone ProbeModemLine(ModemLine) override { return {}; }
    QString Device() const override { return m_device; }
    int ReadinessDescriptor() const override { return -1; }
    LineDone ChangeSettings(const SerialSettings&) override { return {}; }
    // Time passes only when the device is waited for: a read that finds nothing moves it on by
    // the read's time, so that an update's fixed waits cost no real time.
    qint64 NowNs() const override { return m_nowNs; }
    void Pause(int milliseconds) override { m_nowNs += qint64(milliseconds) * 1'000'000; }

    // Everything written, packet by packet: shared, so that a test can read it after the line
    // has gone with its owner.
    std::shared_ptr<QList<QByteArray>> written = std::make_shared<QList<QByteArray>>();
    std::shared_ptr<QStringList> modemSteps = std::make_shared<QStringList>();

  private:
    Script m_script;
    LineErrorCode m_openRefusal;
    bool m_refuseOpen;
    bool m_open = false;
    bool m_hungUp = false;
    QString m_device;
    QByteArray m_waiting; // said by the device, not read yet
    QByteArray m_onReopen;
    qint64 m_nowNs = 0;
};
