// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/UsbIdentity.h"

#include <QFileInfo>
#include <QMap>
#include <QSerialPortInfo>
#include <memory>
#include <optional>

namespace station {

namespace {

UsbIdentity IdentityOf(const QSerialPortInfo& info) {
    UsbIdentity identity;
    identity.serialNumber = info.serialNumber();
    if (info.hasVendorIdentifier()) {
        identity.vendorId =
            QStringLiteral("%1").arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'));
    }
    if (info.hasProductIdentifier()) {
        identity.productId =
            QStringLiteral("%1").arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
    }
    return identity;
}

} // namespace

UsbIdentity IdentifyUsbDevice(const QString& device) {
    const QString canonical = QFileInfo(device).canonicalFilePath();
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        if (info.systemLocation() == canonical) {
            return IdentityOf(info);
        }
    }
    return {};
}

std::function<UsbIdentity(const QString& port)> UsbIdentities() {
    auto byDevice = std::make_shared<std::optional<QMap<QString, UsbIdentity>>>();
    return [byDevice](const QString& port) {
        if (!byDevice->has_value()) {
            QMap<QString, UsbIdentity> identities;
            for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
                identities.insert(info.systemLocation(), IdentityOf(info));
            }
            *byDevice = identities;
        }
        return (*byDevice)->value(QFileInfo(port).canonicalFilePath());
    };
}

} // namespace station
