// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/PortFilter.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace {

// A USB id as the system writes it: four hex digits, lower case.
std::optional<QString> UsbId(const QString& text) {
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{1,4}$"));
    if (!hex.match(text).hasMatch()) {
        return std::nullopt;
    }
    const uint value = text.toUInt(nullptr, 16);
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

} // namespace

Result<PortFilter, ConfigError> ParsePortFilter(const QString& text) {
    PortFilter filter;
    if (text.trimmed().isEmpty()) {
        return ConfigError{ConfigErrorCode::Usage,
                           QStringLiteral("an empty filter; give vid=, pid=, serial= or name=")};
    }
    QStringList seen;
    for (const QString& field : text.split(QLatin1Char(','))) {
        const qsizetype equals = field.indexOf(QLatin1Char('='));
        const QString key = field.left(equals).trimmed().toLower();
        const QString value = equals < 0 ? QString() : field.mid(equals + 1).trimmed();
        if (equals < 0 || value.isEmpty()) {
            return ConfigError{
                ConfigErrorCode::Usage,
                field.trimmed().isEmpty()
                    ? QStringLiteral("an empty field; fields are separated by one comma")
                    : QStringLiteral("%1 needs a value (as in vid=0483)").arg(field)};
        }
        if (seen.contains(key)) {
            return ConfigError{
                ConfigErrorCode::Usage,
                QStringLiteral("%1 is given twice in one filter; give --port-filter again "
                               "for another")
                    .arg(key)};
        }
        seen << key;
        if (key == QLatin1String("vid") || key == QLatin1String("pid")) {
            const std::optional<QString> id = UsbId(value);
            if (!id) {
                return ConfigError{
                    ConfigErrorCode::Usage,
                    QStringLiteral("%1 needs four hex digits, for example %1=0483").arg(key)};
            }
            (key == QLatin1String("vid") ? filter.vendorId : filter.productId) = *id;
        } else if (key == QLatin1String("serial")) {
            filter.serialNumber = value;
        } else if (key == QLatin1String("name")) {
            filter.nameGlob = value;
        } else {
            return ConfigError{
                ConfigErrorCode::Usage,
                QStringLiteral("unknown field %1; the fields are vid, pid, serial and name")
                    .arg(key)};
        }
    }
    return filter;
}

bool Matches(const PortFilter& filter, const SerialPortEntry& port) {
    if ((!filter.vendorId.isEmpty() && filter.vendorId != port.vendorId) ||
        (!filter.productId.isEmpty() && filter.productId != port.productId) ||
        (!filter.serialNumber.isEmpty() && filter.serialNumber != port.serialNumber)) {
        return false;
    }
    if (filter.nameGlob.isEmpty()) {
        return true;
    }
    const QRegularExpression glob(QRegularExpression::wildcardToRegularExpression(filter.nameGlob));
    for (const QString& name : QStringList{port.device} + port.stableNames) {
        if (glob.match(name).hasMatch() || glob.match(QFileInfo(name).fileName()).hasMatch()) {
            return true;
        }
    }
    return false;
}

bool MatchesAny(const QList<PortFilter>& filters, const SerialPortEntry& port) {
    return filters.isEmpty() || std::any_of(filters.begin(), filters.end(),
                                            [&](const auto& f) { return Matches(f, port); });
}
