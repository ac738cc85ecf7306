// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A tavrel-devsim process on a fresh pseudo-terminal, for the length of one test.

#include <QProcess>
#include <QString>
#include <QStringList>

class SimProcess {
  public:
    // With "--count N" among the arguments, N devices: PortPaths() has them all.
    explicit SimProcess(const QStringList& arguments = {});
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // The pty's slave path, which the tool opens.
    const QString& PortPath() const { return m_port; }
    const QStringList& PortPaths() const { return m_ports; }
    // Asks the simulator to stop (if it still runs) and returns its exit status.
    int Stop();
    // Waits for it to end by itself (for --exit-on-switch or a hang-up).
    bool WaitForExit(int msecs);
    int ExitCode() const { return m_process.exitCode(); }
    // The summary line it printed on exit.
    QString Summary();
    QString ErrorOutput() { return QString::fromLocal8Bit(m_process.readAllStandardError()); }

  private:
    QProcess m_process;
    QString m_port;
    QStringList m_ports;
    QString m_stdout;
};
