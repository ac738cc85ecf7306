// SPDX-License-Identifier: GPL-3.0-or-later
// A Cortex-M3 board in QEMU (mps2-an385) running the reference boot loader, its UART0 on a
// pseudo-terminal, for the length of one test; its memory is read out through QEMU's machine
// protocol (QMP) at the end.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

class QemuBoard {
  public:
    QemuBoard();
    ~QemuBoard();
    QemuBoard(const QemuBoard&) = delete;
    QemuBoard& operator=(const QemuBoard&) = delete;

    const QString& PortPath() const { return m_port; }
    // The board's code memory from address 0, `bytes` of it, then QEMU ends; empty when it
    // could not be read.
    QByteArray StopAndDumpMemory(int bytes);

    static constexpr int kAppBase = 0x8000;
    static constexpr int kAppEnd = 0x40000;
    static QString Firmware(const QString& name); // a file of the build's bootloader/cortex-m

  private:
    QProcess m_process;
    QString m_port;
    QString m_folder; // the QMP socket and the memory dump
};
