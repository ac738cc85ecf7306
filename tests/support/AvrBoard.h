// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// An emulated ATmega2560 running the reference boot loader (tavrel-avrsim, simavr inside), its
// UART0 on a fresh pseudo-terminal, for the length of one test.

#include <QByteArray>
#include <QProcess>
#include <QString>

class AvrBoard {
  public:
    // `link`: a symlink to the port, made by the board (for a watched folder); empty: none.
    explicit AvrBoard(const QString& link = {});
    ~AvrBoard();
    AvrBoard(const AvrBoard&) = delete;
    AvrBoard& operator=(const AvrBoard&) = delete;

    const QString& PortPath() const { return m_port; }
    // Stops the chip and returns its whole flash (256 KiB); empty when it could not be read.
    QByteArray StopAndDumpFlash();
    QString ErrorOutput() { return QString::fromLocal8Bit(m_process.readAllStandardError()); }

    // Where the boot loader ends up in the flash, and the built firmware.
    static constexpr int kBootSection = 0x3E000;
    static QString Firmware(const QString& name); // a file of the build's bootloader/avr folder

  private:
    QProcess m_process;
    QString m_port;
    QString m_dump;
};
