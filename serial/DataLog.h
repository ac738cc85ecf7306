// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The received-data log: text that mostly grows at its end, and may grow for a whole shift.
// It is kept as UTF-8 (device text is mostly ASCII: a byte a character, half of what the same
// text costs as UTF-16), in pieces of a few hundred KiB so that growing it never copies what
// it holds, and it counts the changes that are not appends, so that a view which already shows
// the log can add only what is new instead of rewriting the whole text on every received event.

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <vector>

class DataLog {
  public:
    void Append(QStringView text);
    void Clear() { Assign(QString()); }
    void Assign(const QString& text);
    QString Text() const { return TextFrom(0); }
    // The text from a place that StoredBytes() gave earlier (with no change but appends since).
    QString TextFrom(qsizetype storedBytes) const;
    // Characters, line ends included: what the box's length limit counts.
    qsizetype Size() const { return m_size; }
    qsizetype StoredBytes() const { return m_storedBytes; }
    // Changes whenever the text changed other than by Append.
    quint64 Revision() const { return m_revision; }

  private:
    static constexpr qsizetype kPieceBytes = 256 * 1024;
    std::vector<QByteArray> m_pieces;
    qsizetype m_storedBytes = 0;
    qsizetype m_size = 0;
    quint64 m_revision = 0;
};
