// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A bare pseudo-terminal for tests that play the device themselves: the test holds the master
// side, the code under test opens the slave path.

#include <QByteArray>
#include <QString>

class PtyPair {
  public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const QString& SlavePath() const { return m_slavePath; }
    void Send(const QByteArray& bytes);
    // Whatever arrives, waiting at most `msecs` for the first byte and then until the line has
    // been quiet for 50 ms; the event loop runs meanwhile.
    QByteArray Receive(int msecs);
    // Whatever has arrived already, without waiting.
    QByteArray Drain();
    // Closes the master: the slave side sees a hang-up.
    void HangUp();

  private:
    int m_master = -1;
    int m_hold = -1;
    QString m_slavePath;
};
