// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the system knows of the USB device behind a port: serial number, vendor and product ids
// (empty where it knows nothing, as for a pseudo-terminal).

#include <QString>
#include <functional>

namespace station {

struct UsbIdentity {
    QString serialNumber;
    QString vendorId;
    QString productId;
};
UsbIdentity IdentifyUsbDevice(const QString& device);

// The USB identities of the system's ports, looked up once, when first asked (a look through
// sysfs takes some milliseconds), for as long as the function lives.
std::function<UsbIdentity(const QString& port)> UsbIdentities();

} // namespace station
