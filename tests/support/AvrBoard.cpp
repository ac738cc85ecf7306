// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/AvrBoard.h"

#include <QDir>
#include <QFile>
#include <csignal>
#include <stdexcept>

AvrBoard::AvrBoard(const QString& link)
    : m_dump(QDir::temp().filePath(
          QStringLiteral("tavrel-avr-%1-%2.bin").arg(::getpid()).arg(quintptr(this)))) {
    QStringList arguments{"--boot", Firmware("tavrel-boot-atmega2560.elf"), "--dump", m_dump};
    if (!link.isEmpty()) {
        arguments << "--link" << link;
    }
    m_process.start(QStringLiteral(TAVREL_AVRSIM_PATH), arguments);
    if (!m_process.waitForStarted(10000)) {
        throw std::runtime_error("tavrel-avrsim did not start");
    }
    while (!m_process.canReadLine()) {
        if (!m_process.waitForReadyRead(10000)) {
            throw std::runtime_error("tavrel-avrsim printed no port: " +
                                     m_process.readAllStandardError().toStdString());
        }
    }
    m_port = QString::fromLocal8Bit(m_process.readLine()).trimmed();
}

AvrBoard::~AvrBoard() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    QFile::remove(m_dump);
}

QByteArray AvrBoard::StopAndDumpFlash() {
    if (m_process.state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(m_process.processId()), SIGTERM);
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
            return {};
        }
    }
    // A chip that crashed on the way says so in its exit status: then there is no dump to trust.
    QFile dump(m_dump);
    return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0 &&
                   dump.open(QIODevice::ReadOnly)
               ? dump.readAll()
               : QByteArray();
}

QString AvrBoard::Firmware(const QString& name) {
    return QStringLiteral(TAVREL_AVR_FIRMWARE_DIR "/") + name;
}
