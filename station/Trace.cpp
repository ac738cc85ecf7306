// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/Trace.h"

#include <QFile>
#include <QString>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace station {

OutputDone Trace::Open(const QByteArray& path, TextSink standardError, bool append) {
    m_clock.start();
    m_path = path;
    m_report = standardError ? std::move(standardError)
                             : [](const QByteArray& text) { std::fputs(text.constData(), stderr); };
    if (path.isEmpty()) {
        return {};
    }
    if (path == "-") {
        m_toStandardError = m_report;
        return {};
    }
    // Without blocking: a FIFO that no program reads is refused rather than waited for.
    const int fd = ::open(path.constData(),
                          O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC) | O_CLOEXEC |
                              O_NOCTTY | O_NONBLOCK,
                          0644);
    if (fd < 0) {
        return OutputError{OutputErrorCode::CannotOpen,
                           errno == ENXIO ? QStringLiteral("it is a FIFO that no program reads")
                                          : QString::fromLocal8Bit(std::strerror(errno))};
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    m_file = ::fdopen(fd, "w");
    if (m_file == nullptr) {
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return OutputError{OutputErrorCode::CannotOpen, why};
    }
    return {};
}

void Trace::Emit(const QByteArray& line) {
    if (m_toStandardError) {
        m_toStandardError(line); // through the program's own output, which never blocks
        return;
    }
    if (m_file == nullptr) {
        return;
    }
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), m_file);
    if (std::fflush(m_file) == 0 && !std::ferror(m_file)) {
        return;
    }
    m_report("tavrel-flash: cannot write the trace to " + m_path + ": " + std::strerror(errno) +
             "; the update goes on without it\n");
    std::fclose(m_file);
    m_file = nullptr;
}

Trace::~Trace() {
    if (m_file != nullptr) {
        std::fclose(m_file);
    }
}

void Trace::Note(const char* text) {
    if (Active()) {
        Emit(QByteArray::number(m_clock.nsecsElapsed() / 1000).rightJustified(12, ' ') + " -- " +
             text + '\n');
    }
}

void Trace::Write(const char* direction, const QByteArray& bytes) {
    if (!Active()) {
        return;
    }
    QByteArray line = QByteArray::number(m_clock.nsecsElapsed() / 1000).rightJustified(12, ' ');
    line.reserve(line.size() + 3 * bytes.size() + 32); // a whole block in one allocation
    line += ' ';
    line += direction;
    line += ' ' + QByteArray::number(bytes.size()) + ' ' + bytes.toHex() + "  |";
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        line += u >= 0x20 && u < 0x7F ? c : '.';
    }
    line += "|\n";
    Emit(line);
}

} // namespace station
