// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One port on the station's board: the device (its path, and the USB serial number where
// known), a progress bar, the state in words and colour (waiting grey, flashing blue, passed
// green, failed red with the reason) and the time the last update took.

#include "station/Station.h"

#include <QFrame>

class QLabel;
class QProgressBar;

class PortTile : public QFrame {
    Q_OBJECT

  public:
    explicit PortTile(const QString& port, QWidget* parent = nullptr);
    void Show(const station::PortStatus& status);
    void SetSerialNumber(const QString& serial);
    // Said under a passed board's state until its next update.
    void Note(const QString& text);
    station::PortState State() const { return m_shown.state; }
    QString StateText() const;
    const QString& Port() const { return m_port; }

  private:
    QString m_port;
    station::PortStatus m_shown;
    QString m_note;
    QLabel* m_device;
    QProgressBar* m_bar;
    QLabel* m_stateLabel;
    QLabel* m_time;
};
