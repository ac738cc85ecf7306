#include "serial/SerialSettings.h"

#include <QStringList>

std::optional<SerialSettings> ParseSerialSettings(const QString& text) {
    const QStringList fields = text.split(QLatin1Char(','));
    if (fields.size() != 4) {
        return std::nullopt;
    }
    SerialSettings settings;
    bool ok = false;
    const QString baudText = fields[0].trimmed();
    const qlonglong baud = baudText.toLongLong(&ok);
    if (!ok || baud < 1 || baud > 100'000'000 || baudText.startsWith(QLatin1Char('+'))) {
        return std::nullopt;
    }
    settings.baud = static_cast<qint32>(baud);

    const QString parity = fields[1].trimmed().toLower();
    if (parity == QLatin1String("n")) {
        settings.parity = QSerialPort::NoParity;
    } else if (parity == QLatin1String("e")) {
        settings.parity = QSerialPort::EvenParity;
    } else if (parity == QLatin1String("o")) {
        settings.parity = QSerialPort::OddParity;
    } else if (parity == QLatin1String("m")) {
        settings.parity = QSerialPort::MarkParity;
    } else if (parity == QLatin1String("s")) {
        settings.parity = QSerialPort::SpaceParity;
    } else {
        return std::nullopt;
    }

    const QString data = fields[2].trimmed();
    if (data == QLatin1String("5")) {
        settings.dataBits = QSerialPort::Data5;
    } else if (data == QLatin1String("6")) {
        settings.dataBits = QSerialPort::Data6;
    } else if (data == QLatin1String("7")) {
        settings.dataBits = QSerialPort::Data7;
    } else if (data == QLatin1String("8")) {
        settings.dataBits = QSerialPort::Data8;
    } else {
        return std::nullopt;
    }

    const QString stop = fields[3].trimmed();
    if (stop == QLatin1String("1")) {
        settings.stopBits = QSerialPort::OneStop;
    } else if (stop == QLatin1String("1.5")) {
        settings.stopBits = QSerialPort::OneAndHalfStop;
    } else if (stop == QLatin1String("2")) {
        settings.stopBits = QSerialPort::TwoStop;
    } else {
        return std::nullopt;
    }
    return settings;
}
