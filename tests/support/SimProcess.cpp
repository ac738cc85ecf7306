// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/SimProcess.h"

#include <csignal>
#include <stdexcept>

SimProcess::SimProcess(const QStringList& arguments) {
    m_process.start(QStringLiteral(TAVREL_DEVSIM_PATH), arguments);
    if (!m_process.waitForStarted(10000)) {
        throw std::runtime_error("tavrel-devsim did not start");
    }
    const qsizetype count = arguments.indexOf("--count");
    const int devices = count >= 0 ? arguments.value(count + 1).toInt() : 1;
    while (m_ports.size() < devices) {
        while (!m_process.canReadLine()) {
            if (!m_process.waitForReadyRead(10000)) {
                throw std::runtime_error("tavrel-devsim printed no port: " +
                                         m_process.readAllStandardError().toStdString());
            }
        }
        m_ports << QString::fromLocal8Bit(m_process.readLine()).trimmed();
    }
    m_port = m_ports.first();
}

SimProcess::~SimProcess() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

int SimProcess::Stop() {
    if (m_process.state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(m_process.processId()), SIGTERM);
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
            return -1;
        }
    }
    return m_process.exitCode();
}

bool SimProcess::WaitForExit(int msecs) {
    return m_process.state() == QProcess::NotRunning || m_process.waitForFinished(msecs);
}

QString SimProcess::Summary() {
    m_stdout += QString::fromLocal8Bit(m_process.readAllStandardOutput());
    const QStringList lines = m_stdout.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return lines.isEmpty() ? QString() : lines.last();
}
