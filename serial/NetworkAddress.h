// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A port on a serial device server, named as pyserial and esptool name it:
// rfc2217://HOST:PORT (Telnet with the COM-PORT-CONTROL option: the line settings, modem lines
// and break are set on the server's port) or socket://HOST:PORT (raw TCP: the server's port runs
// as the server was set up). HOST is a name, an IPv4 address or an IPv6 address in brackets.

#include "base/ConfigError.h"
#include "serial/LineError.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

struct NetworkAddress {
    enum class Scheme { Rfc2217, Socket };
    Scheme scheme = Scheme::Rfc2217;
    QString host; // without the brackets of an IPv6 address
    quint16 port = 0;

    // "rfc2217://host:port", the scheme and host in lower case: one name for one port.
    QString Name() const;
    // The server's port whatever the scheme: "host:port" (two schemes reach the same port).
    QString ServerPort() const;
    // The connection as the gensio library spells it.
    QByteArray GensioText() const;
};

// A network port's address, or why the name is none (LineErrorCode::NoSuchPort).
using NetworkAddressParse = Result<NetworkAddress, LineError>;

// Whether `name` is meant as a network port: it begins with a scheme and "://".
bool LooksLikeNetworkPort(const QString& name);
NetworkAddressParse ParseNetworkAddress(const QString& name);
// A list of network ports, separated by commas or blanks, each in its one spelling; or the
// refusal of the first name that is no network port, for the operator.
Result<QStringList, ConfigError> ParseNetworkPortList(const QString& text);
