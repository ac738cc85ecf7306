// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/PortWatcher.h"

#include "serial/PortMapping.h"

#include <QElapsedTimer>
#include <QFile>
#include <glob.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace station {

QString DeviceNodeOf(const QString& port) {
    struct stat info {};
    if (::stat(QFile::encodeName(port).constData(), &info) != 0 || !S_ISCHR(info.st_mode)) {
        return {};
    }
    return QStringLiteral("%1:%2").arg(major(info.st_rdev)).arg(minor(info.st_rdev));
}

QStringList PortWatcher::Present() const {
    QStringList ports;
    if (m_pattern.isEmpty()) {
        struct stat dev {};
        ::stat("/dev", &dev);
        QElapsedTimer clock;
        clock.start();
        const qint64 nowMs = clock.msecsSinceReference();
        const bool devChanged = dev.st_mtim.tv_sec != m_devChangedAt.tv_sec ||
                                dev.st_mtim.tv_nsec != m_devChangedAt.tv_nsec;
        if (m_enumeratedAtMs < 0 || devChanged || nowMs - m_enumeratedAtMs >= 1000) {
            m_usbPorts.clear();
            for (const SerialPortEntry& entry : SystemSerialPorts()) {
                if (entry.usb) {
                    m_usbPorts << entry.device;
                }
            }
            m_devChangedAt = dev.st_mtim;
            m_enumeratedAtMs = nowMs;
        }
        return m_usbPorts;
    }
    glob_t found{};
    if (::glob(m_pattern.constData(), 0, nullptr, &found) == 0) {
        for (std::size_t i = 0; i < found.gl_pathc; ++i) {
            ports << PortNameFromBytes(found.gl_pathv[i]);
        }
    }
    ::globfree(&found);
    ports.sort();
    QStringList present;
    QStringList devices;
    for (const QString& port : ports) {
        const QString device = DeviceNodeOf(port);
        if (!device.isEmpty() && !devices.contains(device)) {
            devices << device; // one board, one update, whatever names it has
            present << port;
        }
    }
    return present;
}

} // namespace station
