// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>
#include <netinet/in.h>

// A free TCP port on the loopback address, as the kernel hands one out; throws when there is none.
quint16 FreePort();
// 127.0.0.1 and the port, as bind() and connect() take them.
sockaddr_in LoopbackAddress(quint16 port);
