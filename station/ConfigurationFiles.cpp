// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/ConfigurationFiles.h"

#include "serial/NetworkAddress.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace station {

QStringList ConfigurationFiles() {
    const QString home =
        qEnvironmentVariable("XDG_CONFIG_HOME", QDir::homePath() + QStringLiteral("/.config"));
    return {QStringLiteral("/etc/tavrel/tavrel.conf"),
            home + QStringLiteral("/tavrel/tavrel.conf")};
}

ConfiguredPorts ConfiguredNetworkPorts() {
    ConfiguredPorts found;
    for (const QString& path : ConfigurationFiles()) {
        if (!QFileInfo::exists(path)) {
            continue;
        }
        QSettings file(path, QSettings::IniFormat);
        if (file.status() != QSettings::NoError) {
            return {{},
                    path,
                    QStringLiteral("the configuration file %1 cannot be read as INI; "
                                   "mend it or remove it")
                        .arg(path)};
        }
        if (!file.contains(QStringLiteral("network-ports"))) {
            continue;
        }
        QString error;
        const QString text =
            file.value(QStringLiteral("network-ports")).toStringList().join(QLatin1Char(','));
        found = {ParseNetworkPortList(text, &error), path, {}};
        if (!error.isEmpty()) {
            return {{}, path, QStringLiteral("%1 (network-ports in %2)").arg(error, path)};
        }
    }
    return found;
}

} // namespace station
