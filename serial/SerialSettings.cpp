// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/SerialSettings.h"

#include <QStringList>
#include <utility>

namespace {

template <typename Value, std::size_t N>
std::optional<Value> Lookup(const std::pair<const char*, Value> (&table)[N], const QString& text) {
    for (const auto& [name, value] : table) {
        if (text == QLatin1String(name)) {
            return value;
        }
    }
    return std::nullopt;
}

const std::pair<const char*, QSerialPort::Parity> kParities[] = {
    {"n", QSerialPort::NoParity},   {"e", QSerialPort::EvenParity},  {"o", QSerialPort::OddParity},
    {"m", QSerialPort::MarkParity}, {"s", QSerialPort::SpaceParity},
};
const std::pair<const char*, QSerialPort::DataBits> kDataBits[] = {{"5", QSerialPort::Data5},
                                                                   {"6", QSerialPort::Data6},
                                                                   {"7", QSerialPort::Data7},
                                                                   {"8", QSerialPort::Data8}};
const std::pair<const char*, QSerialPort::StopBits> kStopBits[] = {
    {"1", QSerialPort::OneStop}, {"1.5", QSerialPort::OneAndHalfStop}, {"2", QSerialPort::TwoStop}};

} // namespace

std::optional<SerialSettings> ParseSerialSettings(const QString& text) {
    const QStringList fields = text.split(QLatin1Char(','));
    if (fields.size() != 4) {
        return std::nullopt;
    }
    bool ok = false;
    const QString baudText = fields[0].trimmed();
    const qlonglong baud = baudText.toLongLong(&ok);
    if (!ok || baud < 1 || baud > 100'000'000 || baudText.startsWith(QLatin1Char('+'))) {
        return std::nullopt;
    }
    const auto parity = Lookup(kParities, fields[1].trimmed().toLower());
    const auto dataBits = Lookup(kDataBits, fields[2].trimmed());
    const auto stopBits = Lookup(kStopBits, fields[3].trimmed());
    if (!parity || !dataBits || !stopBits) {
        return std::nullopt;
    }
    return SerialSettings{static_cast<qint32>(baud), *parity, *dataBits, *stopBits};
}

QString SettingsText(const SerialSettings& settings) {
    QString parity = QStringLiteral("n");
    for (const auto& [name, value] : kParities) {
        if (value == settings.parity) {
            parity = QLatin1String(name);
        }
    }
    QString stopBits = QStringLiteral("1");
    for (const auto& [name, value] : kStopBits) {
        if (value == settings.stopBits) {
            stopBits = QLatin1String(name);
        }
    }
    return QStringLiteral("%1,%2,%3,%4")
        .arg(settings.baud)
        .arg(parity)
        .arg(int(settings.dataBits))
        .arg(stopBits);
}

QString SettingsRefusal(const QString& text) {
    const QString baudText = text.section(QLatin1Char(','), 0, 0).trimmed();
    if (ParseSerialSettings(text.section(QLatin1Char(','), 1).prepend(QStringLiteral("115200,"))) &&
        !baudText.isEmpty() && !baudText.startsWith(QLatin1Char('+')) &&
        baudText.toULongLong() > 0) {
        // Only the rate is wrong: a whole number that no port runs.
        return QStringLiteral("Invalid settings \"%1\": the port does not run at %2 baud. Choose "
                              "another baud rate.")
            .arg(text, baudText);
    }
    return QStringLiteral("Invalid settings \"%1\". Give baud,parity,data bits,stop bits, for "
                          "example \"115200,n,8,1\" (parity n, e, o, m or s; 5 to 8 data bits; 1, "
                          "1.5 or 2 stop bits).")
        .arg(text);
}
