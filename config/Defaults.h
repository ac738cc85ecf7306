// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A run's settings from its command line, the environment (TAVREL_PORT, TAVREL_BAUD) and the
// configuration files ($XDG_CONFIG_HOME/tavrel/tavrel.conf over /etc/tavrel/tavrel.conf), read
// through the one option table: the command line beats the environment beats the files.

#include "config/OptionTable.h"

namespace config {

// The settings of `arguments` with the defaults filled in; `told` gets where each value set came
// from ("baud 9600 from TAVREL_BAUD"), for --verbose.
SettingsRead ReadSettings(Program program, const QList<QByteArray>& arguments, QStringList* told);

} // namespace config
