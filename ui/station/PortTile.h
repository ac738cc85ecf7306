// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One port on the station's board, read from two metres away: the whole face takes the state's
// colour (waiting neutral, flashing blue, PASS green, FAIL red) under one large word, with the
// bar in the same colour; below, the port's short name (the full path in its tooltip), the
// state and the failure's reason in full, and the time the last update took. A failed tile
// stays until the operator has seen it: a click acknowledges it.

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
    // The fixture's name for the port ("Slot 3") is the tile's title; the port's in its tooltip.
    void SetSlot(const QString& label);
    // Said under a passed board's state until its next update.
    void Note(const QString& text);
    station::PortState State() const { return m_shown.state; }
    QString StateText() const;
    // The large word: WAITING, FLASHING, PASS or FAIL.
    QString Word() const;
    const QString& Port() const { return m_port; }
    // The name a tile shows: what a path ends with; a network port whole, with its scheme.
    static QString ShortName(const QString& port);
    // A failure that nobody has acknowledged yet.
    bool AwaitsAcknowledgement() const {
        return m_shown.state == station::PortState::Failed && !m_acknowledged;
    }
    void Acknowledge();
    // The board has left: the tile stays for its failure to be seen.
    void MarkUnplugged();

  Q_SIGNALS:
    void Clicked(PortTile* tile);

  protected:
    void mousePressEvent(QMouseEvent* event) override;

  private:
    QString m_port;
    station::PortStatus m_shown;
    QString m_note;
    bool m_acknowledged = false;
    bool m_unplugged = false;
    QString m_slot;
    QString m_serial;
    QLabel* m_word;
    QLabel* m_device;
    QProgressBar* m_bar;
    QLabel* m_stateLabel;
    QLabel* m_time;
};
