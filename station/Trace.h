// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Every byte on the line, one line per read or write: time since start in microseconds,
// direction, count, hex and printable text.

#include "station/OutputError.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <cstdio>
#include <functional>

namespace station {

class Trace {
  public:
    // Where the program's standard error goes, when it has a writer of its own that never blocks.
    using TextSink = std::function<void(const QByteArray&)>;
    // Opens `path` ("-" for standard error, through `standardError` where given); an empty path
    // traces nothing; `append` keeps what the file holds. Refused when it cannot be opened.
    OutputDone Open(const QByteArray& path, TextSink standardError = {}, bool append = false);
    ~Trace();
    void Sent(const QByteArray& bytes) { Write("TX", bytes); }
    void Received(const QByteArray& bytes) { Write("RX", bytes); }
    void Note(const char* text);

  private:
    void Write(const char* direction, const QByteArray& bytes);
    // Writes one line. A trace that can no longer be written is reported once and given up;
    // the update goes on.
    void Emit(const QByteArray& line);
    bool Active() const { return m_file != nullptr || m_toStandardError; }
    std::FILE* m_file = nullptr; // a trace file of its own
    TextSink m_toStandardError;  // "-": the trace goes to standard error
    TextSink m_report;           // where a failing trace file is reported
    QByteArray m_path;
    QElapsedTimer m_clock;
};

} // namespace station
