// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/PortResolver.h"

#include "base/VisibleText.h"
#include "serial/NetworkAddress.h"
#include "serial/UsbIdentity.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>

namespace {

Port LocalPort(const QString& given, std::optional<int> comNumber, const QString& device,
               const QString& how) {
    Port port;
    port.given = given;
    port.comNumber = comNumber;
    port.device = device;
    port.how = how;
    port.identity = LocalPortIdentity(device);
    port.usbSerial = IdentifyUsbDevice(device).serialNumber;
    return port;
}

// `systemPorts` null: the system's ports are looked at only when the name needs them.
PortLookup Resolve(const QString& given, const QString& source,
                   const QList<SerialPortEntry>* systemPorts) {
    if (const std::optional<int> number = ParseComName(given)) {
        const ComPortMapping mapping =
            systemPorts != nullptr ? MapComPort(*number, *systemPorts) : MapComPort(*number);
        if (mapping.device.isEmpty()) {
            return LineError{
                LineErrorCode::NoSuchPort,
                QStringLiteral("No such port: com %1 stands for the %2, and the system has "
                               "none. Connect the device, choose another port, or set "
                               "TAVREL_COM%1 to the device's path.")
                    .arg(*number)
                    .arg(mapping.source)};
        }
        return LocalPort(given, number, mapping.device, mapping.source);
    }
    if (LooksLikeNetworkPort(given)) {
        // A port on a serial server, under one spelling of its name.
        const NetworkAddressParse parse = ParseNetworkAddress(given);
        if (!parse) {
            return parse.error();
        }
        Port port;
        port.kind = parse->scheme == NetworkAddress::Scheme::Rfc2217 ? Port::Kind::Rfc2217
                                                                     : Port::Kind::Socket;
        port.given = given;
        port.device = parse->Name();
        port.how = source;
        port.identity = QStringLiteral("tcp %1").arg(parse->ServerPort());
        port.network = *parse;
        return port;
    }
    if (!given.isEmpty()) {
        return LocalPort(given, std::nullopt, given, source);
    }
    return ChooseDefaultPort(systemPorts != nullptr ? *systemPorts : SystemSerialPorts());
}

} // namespace

PortLookup ResolvePort(const QString& given, const QString& source) {
    return Resolve(given, source, nullptr);
}

PortLookup ResolvePort(const QString& given, const QList<SerialPortEntry>& systemPorts,
                       const QString& source) {
    return Resolve(given, source, &systemPorts);
}

QList<SerialPortEntry> PortsForAll(const QList<SerialPortEntry>& systemPorts,
                                   const QList<PortFilter>& filters) {
    QList<SerialPortEntry> ports;
    for (const SerialPortEntry& port : systemPorts) {
        // A built-in UART (ttyS0, ttyAMA0, ttymxc1: any port that is no USB adapter) only by a
        // filter that takes it and whose name= spells its kind ("ttyS", "ttyAMA").
        const QString kind =
            QFileInfo(port.device).fileName().remove(QRegularExpression(QStringLiteral("[0-9]+$")));
        const bool taken =
            port.usb ? MatchesAny(filters, port)
                     : std::any_of(filters.begin(), filters.end(), [&](const PortFilter& f) {
                           return !kind.isEmpty() && f.nameGlob.contains(kind) && Matches(f, port);
                       });
        if (taken) {
            ports << port;
        }
    }
    return ports;
}

PortLookup ChooseDefaultPort(const QList<SerialPortEntry>& systemPorts,
                             const QList<PortFilter>& filters) {
    QList<SerialPortEntry> candidates;
    for (const SerialPortEntry& port : systemPorts) {
        if (port.usb && MatchesAny(filters, port)) {
            candidates << port;
        }
    }
    if (candidates.size() == 1) {
        return LocalPort({}, std::nullopt, candidates.first().device,
                         filters.isEmpty() ? QStringLiteral("the one USB serial port")
                                           : QStringLiteral("the one port the filter leaves"));
    }
    QString list;
    for (const SerialPortEntry& p : candidates.isEmpty() ? systemPorts : candidates) {
        list += QStringLiteral("\n  ") + VisibleText(QStringLiteral("%1 %2 %3")
                                                         .arg(p.device, p.usbIds, p.description)
                                                         .simplified()
                                                         .toUtf8());
    }
    const QString left = filters.isEmpty() ? QString() : QStringLiteral(" that the filter leaves");
    if (candidates.isEmpty()) {
        return LineError{
            LineErrorCode::NoSuchPort,
            QStringLiteral("no USB serial port%1; connect the device, or name a port with "
                           "--port%2%3")
                .arg(left, systemPorts.isEmpty() ? QString() : QStringLiteral(". Ports:"), list)};
    }
    return LineError{LineErrorCode::NoSuchPort,
                     QStringLiteral("%1 USB serial ports%2; choose one with --port or "
                                    "--port-filter:%3")
                         .arg(candidates.size())
                         .arg(left, list)};
}
