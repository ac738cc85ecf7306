// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/NetworkAddress.h"

#include "base/VisibleText.h"

#include <QRegularExpression>

namespace {

const QString kForm = QStringLiteral(
    "Name a network port rfc2217://HOST:PORT or socket://HOST:PORT (an IPv6 address in "
    "brackets: rfc2217://[::1]:7000).");

NetworkAddressParse Refuse(const QString& name, const QString& why) {
    return LineError{LineErrorCode::NoSuchPort, QStringLiteral("%1 is no network port: %2. %3")
                                                    .arg(VisibleText(name.toUtf8()), why, kForm)};
}

} // namespace

QString NetworkAddress::Name() const {
    return QStringLiteral("%1://%2").arg(scheme == Scheme::Rfc2217 ? QStringLiteral("rfc2217")
                                                                   : QStringLiteral("socket"),
                                         ServerPort());
}

QString NetworkAddress::ServerPort() const {
    const QString shown = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("%1:%2").arg(shown).arg(port);
}

QByteArray NetworkAddress::GensioText() const {
    // Nagle off from the start (a block leaves as soon as it is written); the library takes the
    // address family first where the host is an IPv6 address.
    const QByteArray tcp =
        (host.contains(QLatin1Char(':')) ? QByteArrayLiteral("tcp(nodelay),ipv6,")
                                         : QByteArrayLiteral("tcp(nodelay),")) +
        host.toUtf8() + ',' + QByteArray::number(port);
    return scheme == Scheme::Rfc2217 ? QByteArrayLiteral("telnet(rfc2217),") + tcp : tcp;
}

bool LooksLikeNetworkPort(const QString& name) {
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://"));
    return scheme.match(name).hasMatch();
}

NetworkAddressParse ParseNetworkAddress(const QString& name) {
    const qsizetype separator = name.indexOf(QStringLiteral("://"));
    if (separator < 0) {
        return Refuse(name, QStringLiteral("it has no scheme"));
    }
    const QString scheme = name.left(separator).toLower();
    NetworkAddress address;
    if (scheme == QLatin1String("rfc2217")) {
        address.scheme = NetworkAddress::Scheme::Rfc2217;
    } else if (scheme == QLatin1String("socket")) {
        address.scheme = NetworkAddress::Scheme::Socket;
    } else {
        return Refuse(name, QStringLiteral("Tavrel knows the schemes rfc2217 and socket, not %1")
                                .arg(VisibleText(name.left(separator).toUtf8())));
    }
    // HOST:PORT, nothing before or after: no user, no path, no options.
    static const QRegularExpression form(QStringLiteral(
        R"(^(?:\[([0-9A-Fa-f:.]+)\]|([A-Za-z0-9](?:[A-Za-z0-9._-]*[A-Za-z0-9])?)):([0-9]{1,5})$)"));
    const QRegularExpressionMatch match = form.match(name.mid(separator + 3));
    if (!match.hasMatch()) {
        return Refuse(name,
                      QStringLiteral("after the scheme must come HOST:PORT and nothing else"));
    }
    const QString ipv6 = match.captured(1);
    if (!ipv6.isEmpty() && !ipv6.contains(QLatin1Char(':'))) {
        return Refuse(name, QStringLiteral("only an IPv6 address goes in brackets"));
    }
    const int port = match.captured(3).toInt();
    if (port < 1 || port > 65535) {
        return Refuse(name, QStringLiteral("the TCP port must be 1 to 65535"));
    }
    address.host = ipv6.isEmpty() ? match.captured(2).toLower() : ipv6.toLower();
    address.port = static_cast<quint16>(port);
    return address;
}

Result<QStringList, ConfigError> ParseNetworkPortList(const QString& text) {
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    QStringList ports;
    for (const QString& name : text.split(separators, Qt::SkipEmptyParts)) {
        const NetworkAddressParse parse = ParseNetworkAddress(name);
        if (!parse) {
            return ConfigError{ConfigErrorCode::Usage, parse.error().text};
        }
        if (!ports.contains(parse->Name())) {
            ports << parse->Name();
        }
    }
    return ports;
}
