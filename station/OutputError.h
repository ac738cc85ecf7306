// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Why one of the tool's own outputs (the results log, the trace) could not take what it was
// given: a code for the program and a text for the operator.

#include "base/Result.h"

namespace station {

enum class OutputErrorCode {
    IsAnInput,   // the output would be written over the image or into a serial port
    NotAFile,    // a results log that is no regular file
    CannotOpen,  // the system refused it
    CannotWrite, // a record that could not be made whole and on the disk
};
using OutputError = Error<OutputErrorCode>;
using OutputDone = Result<void, OutputError>;

} // namespace station
