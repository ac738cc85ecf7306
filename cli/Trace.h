#pragma once
// Every byte on the line, one line per read or write: time since start in microseconds,
// direction, count, hex and printable text.

#include <QByteArray>
#include <QElapsedTimer>
#include <cstdio>

namespace flash {

class Trace {
  public:
    // Opens `path` ("-" for standard error); an empty path traces nothing.
    bool Open(const QString& path);
    ~Trace();
    void Sent(const QByteArray& bytes) { Write("TX", bytes); }
    void Received(const QByteArray& bytes) { Write("RX", bytes); }
    void Note(const char* text);

  private:
    void Write(const char* direction, const QByteArray& bytes);
    std::FILE* m_file = nullptr;
    bool m_owned = false;
    QElapsedTimer m_clock;
};

} // namespace flash
