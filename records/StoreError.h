// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Why the records store cannot be used or did not take a record: a URL that names no store, a
// server that cannot be reached (not fatal: records wait on the station), a server that refused
// us (a wrong password, no such database), a store of a newer schema than this tool knows, or a
// write that failed (a full disk).

#include "base/Result.h"

namespace records {

// Rejected: the server will never take this record (what it says breaks a rule of the table's).
enum class StoreErrorCode { BadUrl, Unreachable, Refused, NewerSchema, Write, Rejected };
using StoreError = Error<StoreErrorCode>;
using StoreDone = Result<void, StoreError>;

} // namespace records
