// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The configuration files that tavrel-flash and the station window read:
// $XDG_CONFIG_HOME/tavrel/tavrel.conf over /etc/tavrel/tavrel.conf, INI keys outside any section.

#include <QString>
#include <QStringList>

namespace station {

// The files, the one that wins last.
QStringList ConfigurationFiles();

// The network ports the files list under network-ports (the one that wins), and where they came
// from; the reason when a file cannot be read or names something that is no network port.
struct ConfiguredPorts {
    QStringList ports;
    QString source;
    QString error;
};
ConfiguredPorts ConfiguredNetworkPorts();

} // namespace station
