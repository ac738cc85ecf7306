// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/Port.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <arpa/inet.h>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

// One address's text, IPv4 inside IPv6 as IPv4, and 127.0.0.1 and ::1 as "loopback": a server
// that listens on the machine's loopback is reached by 127.0.0.1, 127.1, ::1 and localhost alike
// (other 127.x addresses are listeners of their own).
QString AddressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET) {
        const in_addr ip = reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
        if (ntohl(ip.s_addr) == INADDR_LOOPBACK) {
            return QStringLiteral("loopback");
        }
        ::inet_ntop(AF_INET, &ip, text, sizeof text);
        return QString::fromLatin1(text);
    }
    const in6_addr ip = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&ip)) {
        return QStringLiteral("loopback");
    }
    if (IN6_IS_ADDR_V4MAPPED(&ip)) {
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        std::memcpy(&v4.sin_addr, ip.s6_addr + 12, 4);
        return AddressText(reinterpret_cast<const sockaddr*>(&v4));
    }
    ::inet_ntop(AF_INET6, &ip, text, sizeof text);
    return QStringLiteral("[%1]").arg(QString::fromLatin1(text));
}

} // namespace

QString DeviceNumberOf(const QString& path) {
    struct stat info {};
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &info) != 0 ||
        !S_ISCHR(info.st_mode)) {
        return {};
    }
    return QStringLiteral("%1:%2").arg(major(info.st_rdev)).arg(minor(info.st_rdev));
}

QString LocalPortIdentity(const QString& device) {
    if (const QString number = DeviceNumberOf(device); !number.isEmpty()) {
        return QStringLiteral("device ") + number;
    }
    const QString canonical = QFileInfo(device).canonicalFilePath();
    return QStringLiteral("path ") + (canonical.isEmpty() ? device : canonical);
}

QStringList IdentityKeys(const Port& port) {
    if (!port.network) {
        return {port.identity};
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    QStringList keys;
    if (::getaddrinfo(port.network->host.toUtf8().constData(), nullptr, &hints, &found) == 0) {
        for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
            if (entry->ai_family == AF_INET || entry->ai_family == AF_INET6) {
                const QString key = QStringLiteral("tcp %1:%2")
                                        .arg(AddressText(entry->ai_addr))
                                        .arg(port.network->port);
                if (!keys.contains(key)) {
                    keys << key;
                }
            }
        }
        ::freeaddrinfo(found);
    }
    return keys.isEmpty() ? QStringList{port.identity} : keys;
}

QString PortClaims::Claim(const QStringList& keys, const QString& name) {
    const std::lock_guard lock(m_mutex);
    for (const QString& key : keys) {
        if (m_taken.contains(key)) {
            return m_taken.value(key);
        }
    }
    for (const QString& key : keys) {
        m_taken.insert(key, name);
    }
    return {};
}
