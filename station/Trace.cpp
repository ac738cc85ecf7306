// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/Trace.h"

#include <QFile>
#include <QString>
#include <cerrno>
#include <cstring>

namespace station {

bool Trace::Open(const QByteArray& path) {
    m_clock.start();
    m_path = path;
    if (path.isEmpty()) {
        return true;
    }
    if (path == "-") {
        m_file = stderr;
        return true;
    }
    m_file = std::fopen(path.constData(), "w");
    m_owned = m_file != nullptr;
    if (m_file == nullptr) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
    }
    return m_file != nullptr;
}

void Trace::Check() {
    if (std::fflush(m_file) == 0 && !std::ferror(m_file)) {
        return;
    }
    const int error = errno;
    std::fprintf(stderr,
                 "tavrel-flash: cannot write the trace to %s: %s; the update goes on "
                 "without it\n",
                 m_path.constData(), std::strerror(error));
    if (m_owned) {
        std::fclose(m_file);
    }
    m_file = nullptr;
    m_owned = false;
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
        Check();
    }
}

void Trace::Write(const char* direction, const QByteArray& bytes) {
    if (m_file == nullptr) {
        return;
    }
    std::fprintf(m_file, "%12lld %s %lld ", static_cast<long long>(m_clock.nsecsElapsed() / 1000),
                 direction, static_cast<long long>(bytes.size()));
    std::fputs(bytes.toHex().constData(), m_file); // one call for a whole block
    std::fputs("  |", m_file);
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        std::fputc(u >= 0x20 && u < 0x7F ? u : '.', m_file);
    }
    std::fputs("|\n", m_file);
    Check();
}

} // namespace station
