// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/PortWatcher.h"

#include "serial/PortMapping.h"

#include <QFile>
#include <glob.h>
#include <sys/stat.h>

namespace station {

QStringList PortWatcher::Present() const {
    QStringList ports;
    if (m_pattern.isEmpty()) {
        for (const SerialPortEntry& entry : SystemSerialPorts()) {
            if (entry.usb) {
                ports << entry.device;
            }
        }
        return ports;
    }
    glob_t found{};
    if (::glob(QFile::encodeName(m_pattern).constData(), 0, nullptr, &found) == 0) {
        for (std::size_t i = 0; i < found.gl_pathc; ++i) {
            struct stat info {};
            if (::stat(found.gl_pathv[i], &info) == 0 && S_ISCHR(info.st_mode)) {
                ports << QFile::decodeName(found.gl_pathv[i]);
            }
        }
    }
    ::globfree(&found);
    ports.sort();
    return ports;
}

} // namespace station
