// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/PortResolver.h"

#include "update/VisibleText.h"

namespace {

// `systemPorts` null: the system's ports are looked at only when the name needs them.
PortLookup Resolve(const QString& given, const QString& source,
                   const QList<SerialPortEntry>* systemPorts) {
    if (const std::optional<int> number = ParseComName(given)) {
        const ComPortMapping mapping =
            systemPorts != nullptr ? MapComPort(*number, *systemPorts) : MapComPort(*number);
        if (mapping.device.isEmpty()) {
            return {std::nullopt,
                    QStringLiteral("No such port: com %1 stands for the %2, and the system has "
                                   "none. Connect the device, choose another port, or set "
                                   "TAVREL_COM%1 to the device's path.")
                        .arg(*number)
                        .arg(mapping.source)};
        }
        return {ResolvedPort{given, number, mapping.device, mapping.source}, {}};
    }
    if (!given.isEmpty()) {
        return {ResolvedPort{given, std::nullopt, given, source}, {}};
    }
    const QList<SerialPortEntry> ports =
        systemPorts != nullptr ? *systemPorts : SystemSerialPorts();
    if (ports.size() == 1) {
        return {ResolvedPort{given, std::nullopt, ports.first().device,
                             QStringLiteral("the system's only port")},
                {}};
    }
    if (ports.isEmpty()) {
        return {std::nullopt, QStringLiteral("this system has no serial port; connect the device "
                                             "or give --port")};
    }
    QString list;
    for (const SerialPortEntry& p : ports) {
        list += QStringLiteral("\n  ") +
                VisibleText(QStringLiteral("%1 %2").arg(p.device, p.description).toUtf8());
    }
    return {std::nullopt, QStringLiteral("this system has %1 serial ports; choose one with "
                                         "--port:%2")
                              .arg(ports.size())
                              .arg(list)};
}

} // namespace

PortLookup ResolvePort(const QString& given, const QString& source) {
    return Resolve(given, source, nullptr);
}

PortLookup ResolvePort(const QString& given, const QList<SerialPortEntry>& systemPorts,
                       const QString& source) {
    return Resolve(given, source, &systemPorts);
}
