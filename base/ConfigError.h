// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Why a configuration cannot be used: an option or value refused, a job refused (unsigned,
// changed, a key not trusted, a setting no job fixes) or a file that cannot be read.

#include "base/Result.h"

enum class ConfigErrorCode { Usage, JobRefused, FileUnusable };
using ConfigError = Error<ConfigErrorCode>;
using ConfigDone = Result<void, ConfigError>;
