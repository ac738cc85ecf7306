// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A port as a run knows it: made once by the resolver from the name the user gave, then passed
// to whatever opens, compares or records it. Its identity tells one board from another whatever
// it is called: /dev/serial/by-id/... and /dev/ttyUSB0 are one device, and so are
// socket://localhost:4000, socket://127.0.0.1:4000 and rfc2217://127.1:4000 (one server port,
// one board behind it).

#include "serial/NetworkAddress.h"

#include <QString>
#include <optional>

struct Port {
    enum class Kind { Local, Rfc2217, Socket };
    Kind kind = Kind::Local;
    QString given;                // as the user gave it; empty for the system's only port
    std::optional<int> comNumber; // when it was named "com N"
    QString device;               // the path to open, or the network port in its one spelling
    QString how;                  // how it was found, for messages: "TAVREL_COM3", "the command
                                  // line", "the 3rd serial port", "the one USB serial port"
    QString identity;             // "device 188:0", "tcp 127.0.0.1:4000"; see PortIdentity
    QString usbSerial;            // the USB serial number, where the system knows one
    std::optional<NetworkAddress> network; // the server's address, for a network port

    bool IsNetwork() const { return kind != Kind::Local; }
    // "rfc2217", "socket" or "" for a local device, for tiles and records.
    QString SchemeName() const;
};

// The device number a path leads to now ("188:0"), empty when it leads to no character device.
QString DeviceNumberOf(const QString& path);
// What a local name stands for: its device number, else the canonical path, else the name.
QString LocalPortIdentity(const QString& device);
// What a server's port stands for: the address the host resolves to and the TCP port, whatever
// the scheme (the two schemes reach the same board). Every loopback address is this machine.
// A host that does not resolve stands as written; its connection will say why.
QString NetworkPortIdentity(const NetworkAddress& address);
