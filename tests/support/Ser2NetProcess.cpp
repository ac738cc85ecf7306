// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/Ser2NetProcess.h"

#include "support/FreePort.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Whether something listens on 127.0.0.1:`port`. Read from the kernel's table, not by
// connecting: ser2net opens the device for every connection and takes a while to close it.
bool Listens(quint16 port) {
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray local =
        "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[1] == local && fields[3] == "0A") {
            return true;
        }
    }
    return false;
}

} // namespace

Ser2NetProcess::Ser2NetProcess(const QStringList& ptys, Scheme scheme) {
    QByteArray config;
    QList<quint16> ports;
    for (const QString& pty : ptys) {
        const quint16 port = FreePort();
        ports << port;
        config += "connection: &port" + QByteArray::number(port) + "\n  accepter: " +
                  (scheme == Scheme::Rfc2217  ? "telnet(rfc2217),tcp"
                   : scheme == Scheme::Telnet ? "telnet,tcp"
                                              : "tcp") +
                  ",127.0.0.1," + QByteArray::number(port) + "\n  connector: serialdev," +
                  pty.toUtf8() + ",115200n81,local\n";
        m_names << QStringLiteral("%1://127.0.0.1:%2")
                       .arg(scheme == Scheme::Socket ? "socket" : "rfc2217")
                       .arg(port);
    }
    m_config = m_files.Write("ser2net.yaml", config);
    m_ports = ports;
    Start();
}

void Ser2NetProcess::Start() {
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("ser2net"), {"-n", "-c", m_config});
    if (!m_process.waitForStarted(10000)) {
        throw std::runtime_error("ser2net did not start: is it installed (scripts/install-deps)?");
    }
    for (quint16 port : m_ports) {
        const QDeadlineTimer deadline(10000);
        while (!Listens(port)) {
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
                throw std::runtime_error("ser2net does not serve its ports");
            }
            QThread::msleep(10);
        }
    }
}

Ser2NetProcess::~Ser2NetProcess() {
    Kill();
}

void Ser2NetProcess::Kill() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}
