// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the system knows of the USB device behind a port: serial number, vendor and product ids
// (empty where it knows nothing, as for a pseudo-terminal).

#include <QString>
#include <functional>

struct UsbIdentity {
    QString serialNumber;
    QString vendorId;
    QString productId;
};
// Looked up for the one device (a few files in sysfs), never by enumerating every port.
UsbIdentity IdentifyUsbDevice(const QString& device);
