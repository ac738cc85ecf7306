#include "serial/PortMapping.h"

#include <QCollator>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <algorithm>

namespace {

bool IsUsbName(const QString& name) {
    return name.startsWith(QLatin1String("ttyUSB")) || name.startsWith(QLatin1String("ttyACM"));
}

QString Ordinal(int n) {
    const int lastTwo = n % 100;
    const char* suffix = "th";
    if (lastTwo < 11 || lastTwo > 13) {
        suffix = (n % 10 == 1) ? "st" : (n % 10 == 2) ? "nd" : (n % 10 == 3) ? "rd" : "th";
    }
    return QString::number(n) + QLatin1String(suffix);
}

} // namespace

QList<SerialPortEntry> SystemSerialPorts() {
    QList<SerialPortEntry> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        SerialPortEntry entry;
        entry.device = info.systemLocation();
        entry.description = info.description();
        if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
            entry.usbIds = QStringLiteral("%1:%2")
                               .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                               .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
        }
        entry.usb = IsUsbName(info.portName());
        ports.append(entry);
    }
    // Numbers compare as numbers, so ttyUSB2 comes before ttyUSB10.
    QCollator collator;
    collator.setNumericMode(true);
    std::stable_sort(ports.begin(), ports.end(), [&](const auto& a, const auto& b) {
        if (a.usb != b.usb) {
            return a.usb;
        }
        return collator.compare(QFileInfo(a.device).fileName(), QFileInfo(b.device).fileName()) < 0;
    });
    return ports;
}

ComPortMapping MapComPort(int number, const QList<SerialPortEntry>& systemPorts) {
    ComPortMapping mapping;
#ifdef Q_OS_WIN
    Q_UNUSED(systemPorts);
    mapping.device = QStringLiteral("COM%1").arg(number);
    mapping.source = mapping.device;
    return mapping;
#else
    const QString variable = QStringLiteral("TAVREL_COM%1").arg(number);
    const QString fromEnvironment = qEnvironmentVariable(variable.toLatin1().constData());
    if (!fromEnvironment.isEmpty()) {
        mapping.device = fromEnvironment;
        mapping.source = variable;
        return mapping;
    }
    mapping.source = QStringLiteral("%1 serial port").arg(Ordinal(number));
    if (number >= 1 && number <= systemPorts.size()) {
        const SerialPortEntry& entry = systemPorts[number - 1];
        mapping.device = entry.device;
        mapping.description = entry.description;
    }
    return mapping;
#endif
}

ComPortMapping MapComPort(int number) {
#ifdef Q_OS_WIN
    return MapComPort(number, {});
#else
    const QString variable = QStringLiteral("TAVREL_COM%1").arg(number);
    if (qEnvironmentVariableIsSet(variable.toLatin1().constData())) {
        return MapComPort(number, {});
    }
    return MapComPort(number, SystemSerialPorts());
#endif
}

QString DescribeMapping(int number, const ComPortMapping& mapping) {
    if (mapping.device.isEmpty()) {
        return QStringLiteral("com %1: no device (the system has no %2; set TAVREL_COM%1 to "
                              "name one)")
            .arg(number)
            .arg(mapping.source);
    }
    QString text = QStringLiteral("com %1: %2").arg(number).arg(mapping.device);
    if (!mapping.description.isEmpty()) {
        text += QStringLiteral(" (%1)").arg(mapping.description);
    }
    text += QStringLiteral(" [%1]").arg(mapping.source);
    return text;
}
