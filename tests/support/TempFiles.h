// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Real files in a temporary folder that goes away with the test.

#include "support/QtPrinters.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QTemporaryDir>

class TempFiles {
  public:
    TempFiles();
    QString Path(const QString& name) const { return m_dir.filePath(name); }
    // Writes `content` to a new file and returns its path.
    QString Write(const QString& name, const QByteArray& content) const;
    // The same for a name given as bytes (one that is not valid UTF-8); returns the path's bytes.
    QByteArray WriteByName(const QByteArray& name, const QByteArray& content) const;
    // A file of `size` bytes that takes no disk space (a hole), for sizes no test should read.
    QString Sparse(const QString& name, qint64 size) const;

  private:
    QTemporaryDir m_dir;
};

// The whole of a file; empty when it cannot be read.
QByteArray ReadFile(const QString& path);
// The objects of a JSON-lines file (a results log), in order.
QList<QJsonObject> JsonLines(const QString& path);
// `size` bytes that differ from block to block and from byte to byte, and contain no 0xFF run.
QByteArray PatternBytes(qint64 size, int seed = 1);
// The image as the store keeps it: padded with 0xFF to whole blocks, one more block when the
// size is a multiple of 1024.
QByteArray PaddedImage(const QByteArray& file);
