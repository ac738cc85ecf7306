// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The control's settings string, "baud,parity,data bits,stop bits", as in "115200,n,8,1".

#include <QSerialPort>
#include <QString>
#include <optional>

struct SerialSettings {
    qint32 baud = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

// Parses a settings string. Parity is one of n, e, o, m, s (either case), data bits 5 to 8,
// stop bits 1, 1.5 or 2, the baud rate any whole number from 1 up; the driver decides later
// whether it can run at that rate. Returns nothing for a string that does not parse.
std::optional<SerialSettings> ParseSerialSettings(const QString& text);
// Why `text` is no Settings text, for the operator.
QString SettingsRefusal(const QString& text);
// The settings as the control's Settings text: "115200,n,8,1".
QString SettingsText(const SerialSettings& settings);
