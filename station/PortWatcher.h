// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Which ports are there now: the system's USB serial ports, or the paths that match a pattern
// (for example /dev/serial/by-id/*). The station looks again and again, and flashes what has
// appeared.

#include "serial/Port.h"
#include "station/NetworkPortProbe.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <ctime>
#include <memory>
#include <vector>

namespace station {

// Why `pattern` can watch no port: it names a folder (/dev/serial/by-id/ matches the folder, not
// the ports in it). Empty when it can.
QString RefuseWatchPattern(const QByteArray& pattern);

class PortWatcher {
  public:
    // An empty pattern watches the system's USB serial ports.
    // The pattern is bytes, as names are: a name found that is not valid text stands as the
    // device it leads to.
    // `networkPorts`: ports on serial servers (rfc2217://, socket://), present once their server
    // has taken a connection, opened with `settings`.
    explicit PortWatcher(const QByteArray& pattern = {}, const QList<Port>& networkPorts = {},
                         const SerialSettings& settings = {});
    // The ports present now, in name order; paths that lead nowhere (a link to a device that
    // is gone) are not present, and a device matched under several names is present once,
    // under the first of them. The network ports that have answered follow, in their order.
    QStringList Present() const;
    const QByteArray& Pattern() const { return m_pattern; }
    // The connection that found a network port, once; nothing for any other port.
    std::unique_ptr<Line> TakeLine(const QString& port);

  private:
    QStringList PresentDevices() const;

    QByteArray m_pattern;
    std::vector<std::unique_ptr<NetworkPortProbe>> m_networkPorts;
    // The system's USB serial ports as last enumerated, and when: a look through sysfs costs
    // milliseconds, and a look comes every 100 ms. A device node that comes or goes changes
    // /dev's modification time; until it does, and for at most a second, the list stands.
    mutable QStringList m_usbPorts;
    mutable struct timespec m_devChangedAt {};
    mutable qint64 m_enumeratedAtMs = -1;
    mutable QMap<QString, QString> m_nameOf; // device -> the name it was present under
};

} // namespace station
