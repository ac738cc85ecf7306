// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Defaults for the command line from the environment (TAVREL_PORT, TAVREL_BAUD) and from the
// configuration file ($XDG_CONFIG_HOME/tavrel/tavrel.conf over /etc/tavrel/tavrel.conf): the
// command line beats the environment beats the file.

#include "cli/FlashOptions.h"

namespace flash {

// The options of `arguments` with the defaults filled in; `told` gets where each value set came
// from ("baud 9600 from TAVREL_BAUD"), for --verbose.
ParseResult ParseWithDefaults(const QList<QByteArray>& arguments, QStringList* told);

} // namespace flash
