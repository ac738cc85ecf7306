// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// How tavrel-flash tells its progress: a live line on a terminal, a line every 10 % otherwise,
// JSON lines for programs, or nothing.

#include "station/RunReport.h"

#include <QString>
#include <memory>

namespace flash {

using station::Outcome;
using station::ProgressReporter;
using station::TransferFigures;

enum class ReportStyle { Terminal, Plain, Json, Quiet };
std::unique_ptr<ProgressReporter> MakeReporter(ReportStyle style);

QString SummaryLine(const TransferFigures& figures, double seconds);

} // namespace flash
