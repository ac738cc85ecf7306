// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/DataLog.h"

void DataLog::Append(QStringView text) {
    const QByteArray utf8 = text.toUtf8();
    if (m_pieces.empty() || m_pieces.back().size() + utf8.size() > kPieceBytes) {
        m_pieces.emplace_back();
        m_pieces.back().reserve(std::max(kPieceBytes, utf8.size()));
    }
    m_pieces.back() += utf8;
    m_storedBytes += utf8.size();
    m_size += text.size();
}

void DataLog::Assign(const QString& text) {
    m_pieces.clear();
    m_storedBytes = 0;
    m_size = 0;
    Append(text);
    ++m_revision;
}

QString DataLog::TextFrom(qsizetype storedBytes) const {
    QByteArray bytes;
    qsizetype pieceStart = 0;
    for (const QByteArray& piece : m_pieces) {
        const qsizetype pieceEnd = pieceStart + piece.size();
        if (pieceEnd > storedBytes) {
            bytes += QByteArrayView(piece).sliced(std::max<qsizetype>(0, storedBytes - pieceStart));
        }
        pieceStart = pieceEnd;
    }
    return QString::fromUtf8(bytes);
}
