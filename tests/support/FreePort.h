// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

// A free TCP port on the loopback address, as the kernel hands one out; throws when there is none.
quint16 FreePort();
