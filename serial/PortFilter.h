// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Ports chosen by what they are: "vid=0483,pid=5740,serial=...,name=GLOB". The fields of one
// filter must all match; any of several filters will do; no filter takes every port.

#include "base/ConfigError.h"
#include "serial/PortMapping.h"

#include <QList>
#include <QString>
#include <optional>

struct PortFilter {
    QString vendorId;  // four hex digits, lower case; empty: any
    QString productId; // the same
    QString serialNumber;
    QString nameGlob; // matched against the device, its stable names and their file names
};

// The filter `text` describes, or why it is none.
Result<PortFilter, ConfigError> ParsePortFilter(const QString& text);
bool Matches(const PortFilter& filter, const SerialPortEntry& port);
bool MatchesAny(const QList<PortFilter>& filters, const SerialPortEntry& port);
