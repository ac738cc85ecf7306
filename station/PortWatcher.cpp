// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/PortWatcher.h"

#include "base/VisibleText.h"
#include "serial/PortMapping.h"

#include <QElapsedTimer>
#include <QFile>
#include <glob.h>
#include <sys/stat.h>

namespace station {

QString RefuseWatchPattern(const QByteArray& pattern) {
    struct stat info {};
    if (::stat(pattern.constData(), &info) == 0 && S_ISDIR(info.st_mode)) {
        QByteArray ports = pattern;
        if (!ports.endsWith('/')) {
            ports += '/';
        }
        return QStringLiteral("%1 is a folder, and a folder is no port; watch the ports in it "
                              "with '%2*'")
            .arg(VisibleText(pattern), VisibleText(ports));
    }
    return {};
}

PortWatcher::PortWatcher(const QByteArray& pattern, const QList<Port>& networkPorts,
                         const SerialSettings& settings)
    : m_pattern(pattern) {
    const auto claims = std::make_shared<PortClaims>();
    for (const Port& port : networkPorts) {
        m_networkPorts.push_back(std::make_unique<NetworkPortProbe>(port, settings, claims));
    }
}

std::unique_ptr<Line> PortWatcher::TakeLine(const QString& port) {
    for (const auto& probe : m_networkPorts) {
        if (probe->PortName() == port) {
            return probe->TakeLine();
        }
    }
    return nullptr;
}

QStringList PortWatcher::Present() const {
    QStringList ports = PresentDevices();
    for (const auto& probe : m_networkPorts) {
        if (probe->Answered()) {
            ports << probe->PortName();
        }
    }
    return ports;
}

QStringList PortWatcher::PresentDevices() const {
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
    // One board, one update, whatever names it has: each device is present once, under the name
    // it had in the last look while that name still leads to it (a second name that appears
    // later changes nothing), else under the first of its names.
    QMap<QString, QStringList> namesOf; // device -> its names, in name order
    QStringList devices;                // in the order of their first names
    for (const QString& port : ports) {
        const QString device = DeviceNumberOf(port);
        if (!device.isEmpty()) {
            if (!namesOf.contains(device)) {
                devices << device;
            }
            namesOf[device] << port;
        }
    }
    QMap<QString, QString> chosen;
    QStringList present;
    for (const QString& device : devices) {
        const QStringList& names = namesOf[device];
        const QString before = m_nameOf.value(device);
        const QString name = names.contains(before) ? before : names.first();
        chosen.insert(device, name);
        present << name;
    }
    m_nameOf = chosen;
    present.sort();
    return present;
}

} // namespace station
