// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Debian's ser2net on 127.0.0.1 in front of pseudo-terminals, for the length of one test: one
// TCP port per pty, each served as RFC 2217 (Telnet) or as raw TCP.

#include "support/TempFiles.h"

#include <QProcess>
#include <QStringList>

class Ser2NetProcess {
  public:
    // Telnet: a Telnet port without the COM-PORT-CONTROL option, named rfc2217:// as a user may.
    enum class Scheme { Rfc2217, Socket, Telnet };
    // Serves each of `ptys` on a free TCP port; the port names are "rfc2217://127.0.0.1:N" or
    // "socket://127.0.0.1:N". Throws when ser2net does not start or does not serve.
    Ser2NetProcess(const QStringList& ptys, Scheme scheme);
    ~Ser2NetProcess();
    Ser2NetProcess(const Ser2NetProcess&) = delete;
    Ser2NetProcess& operator=(const Ser2NetProcess&) = delete;

    const QStringList& PortNames() const { return m_names; }
    const QString& PortName() const { return m_names.first(); }
    // Ends the server at once, as a crash or a pulled network cable would.
    void Kill();
    // Starts it again on the same ports.
    void Start();

  private:
    TempFiles m_files;
    QString m_config;
    QList<quint16> m_ports;
    QProcess m_process;
    QStringList m_names;
};
