// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The command line of tavrel-flash: the run's settings as the option table reads them.

#include "config/RunSettings.h"

#include <QString>

namespace flash {

using FlashOptions = config::RunSettings;
using config::SeveralPorts;

QString HelpText();

} // namespace flash
