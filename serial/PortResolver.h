// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one place where a port's name becomes the device to open: "com N" as mapped (TAVREL_COM<N>
// first, then the system's ports in com order), a path or a link as it is, a port on a serial
// server (rfc2217://HOST:PORT, socket://HOST:PORT) as checked and spelled one way, or no name at
// all for the system's only port. Every place that opens a port, or must tell whether a file is
// one, asks here, so that a name means the same everywhere and a refusal names the port as the user
// gave it.

#include "serial/LineError.h"
#include "serial/Port.h"
#include "serial/PortFilter.h"
#include "serial/PortMapping.h"

#include <QList>
#include <QString>
#include <optional>

// The port a name stands for, or why there is none (LineErrorCode::NoSuchPort).
using PortLookup = Result<Port, LineError>;

// `source` says where a path came from ("the command line", "the port list"). The system's
// ports are enumerated only when the name needs them.
PortLookup ResolvePort(const QString& given,
                       const QString& source = QStringLiteral("the command line"));
// The same against ports enumerated already (one look serves many names).
PortLookup ResolvePort(const QString& given, const QList<SerialPortEntry>& systemPorts,
                       const QString& source = QStringLiteral("the command line"));

// Every port a run of all ports flashes: the system's USB ports that `filters` take. A built-in
// UART (ttyS*, ttyAMA*, any port that is no USB adapter: a console, a modem, a machine's own
// serial line) is taken only by a filter that takes it and whose name= pattern spells its kind
// (name=ttyS1, name=ttyAMA*): it is used when named, never by a sweep.
QList<SerialPortEntry> PortsForAll(const QList<SerialPortEntry>& systemPorts,
                                   const QList<PortFilter>& filters);

// The port to use when none is named: the one USB serial port that `filters` leave. A built-in
// UART (ttyS*) is never chosen so: it is used when named. None or several: why, with the list.
PortLookup ChooseDefaultPort(const QList<SerialPortEntry>& systemPorts,
                             const QList<PortFilter>& filters = {});
