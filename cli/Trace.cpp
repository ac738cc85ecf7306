#include "cli/Trace.h"

#include <QFile>
#include <QString>

namespace flash {

bool Trace::Open(const QString& path) {
    m_clock.start();
    if (path.isEmpty()) {
        return true;
    }
    if (path == QLatin1String("-")) {
        m_file = stderr;
        return true;
    }
    m_file = std::fopen(QFile::encodeName(path).constData(), "w");
    m_owned = m_file != nullptr;
    return m_file != nullptr;
}

Trace::~Trace() {
    if (m_owned) {
        std::fclose(m_file);
    }
}

void Trace::Note(const char* text) {
    if (m_file != nullptr) {
        std::fprintf(m_file, "%12lld -- %s\n",
                     static_cast<long long>(m_clock.nsecsElapsed() / 1000), text);
        std::fflush(m_file);
    }
}

void Trace::Write(const char* direction, const QByteArray& bytes) {
    if (m_file == nullptr) {
        return;
    }
    std::fprintf(m_file, "%12lld %s %lld ", static_cast<long long>(m_clock.nsecsElapsed() / 1000),
                 direction, static_cast<long long>(bytes.size()));
    for (char c : bytes) {
        std::fprintf(m_file, "%02x", static_cast<unsigned char>(c));
    }
    std::fputs("  |", m_file);
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        std::fputc(u >= 0x20 && u < 0x7F ? u : '.', m_file);
    }
    std::fputs("|\n", m_file);
    std::fflush(m_file);
}

} // namespace flash
