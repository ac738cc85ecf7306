// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A port as a run knows it: made once by the resolver from the name the user gave, then passed
// to whatever opens, compares or records it. Its identity tells one board from another whatever
// it is called: /dev/serial/by-id/... and /dev/ttyUSB0 are one device, and so are
// socket://localhost:4000, socket://127.0.0.1:4000 and rfc2217://127.1:4000 (one server port,
// one board behind it).

#include "serial/NetworkAddress.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <mutex>
#include <optional>

struct Port {
    enum class Kind { Local, Rfc2217, Socket };
    Kind kind = Kind::Local;
    QString given;                // as the user gave it; empty for the system's only port
    std::optional<int> comNumber; // when it was named "com N"
    QString device;               // the path to open, or the network port in its one spelling
    QString how;                  // how it was found, for messages: "TAVREL_COM3", "the command
                                  // line", "the 3rd serial port", "the one USB serial port"
    // "device 188:0" for a local device; for a network port "tcp HOST:PORT" as named, until
    // IdentityKeys resolves the host (a name lookup, which may take seconds: done once, where
    // two names must be told apart).
    QString identity;
    QString usbSerial;                     // the USB serial number, where the system knows one
    std::optional<NetworkAddress> network; // the server's address, for a network port

    bool IsNetwork() const { return kind != Kind::Local; }
};

// The device number a path leads to now ("188:0"), empty when it leads to no character device:
// what tells one board under two names (/dev/serial/by-id/..., /dev/serial/by-path/...) from two.
QString DeviceNumberOf(const QString& path);
// What a local name stands for: its device number, else the canonical path, else the name.
QString LocalPortIdentity(const QString& device);
// What a port stands for, as keys: two ports are one board when a key is common to both. A local
// device has one (its identity); a server's port one for each address its host resolves to,
// with the TCP port, whatever the scheme (the two schemes reach the same board). 127.0.0.1, ::1
// and localhost are one address. A host that does not resolve stands as written; its
// connection will say why.
QStringList IdentityKeys(const Port& port);

// The boards a run has taken, by identity key: a second name for one board is told. Safe to
// use from several threads at once.
class PortClaims {
  public:
    // Empty when none of `keys` was taken before: they are taken now for `name`. Else the name
    // that took them first.
    QString Claim(const QStringList& keys, const QString& name);

  private:
    std::mutex m_mutex;
    QMap<QString, QString> m_taken;
};
