// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/UsbIdentity.h"

#include <QFile>
#include <QFileInfo>

namespace {

QString ReadAttribute(const QString& folder, const char* name) {
    QFile file(folder + QLatin1Char('/') + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
}

} // namespace

UsbIdentity IdentifyUsbDevice(const QString& device) {
    // Straight from the one tty's entry in sysfs: a few files, where a look at every port of the
    // system costs thousands. The USB device is the nearest folder above the tty's device that
    // has a vendor id (ttyUSB: two levels up, ttyACM: one).
    const QString name = QFileInfo(QFileInfo(device).canonicalFilePath()).fileName();
    if (name.isEmpty()) {
        return {};
    }
    QString folder =
        QFileInfo(QStringLiteral("/sys/class/tty/%1/device").arg(name)).canonicalFilePath();
    for (int level = 0; level < 4 && !folder.isEmpty() && folder != QLatin1String("/sys");
         ++level) {
        const QString vendor = ReadAttribute(folder, "idVendor");
        if (!vendor.isEmpty()) {
            return {ReadAttribute(folder, "serial"), vendor, ReadAttribute(folder, "idProduct")};
        }
        folder = QFileInfo(folder).path();
    }
    return {};
}
