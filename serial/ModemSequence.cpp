// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/ModemSequence.h"

#include <QMap>

namespace {

// Common wirings: a reset pin on DTR or RTS (asserted resets), or a boot pin on DTR held while
// RTS pulses reset, as many development boards wire their USB serial adapter.
const QMap<QString, QString>& Named() {
    static const QMap<QString, QString> named{
        {QStringLiteral("reset-dtr"), QStringLiteral("dtr,wait:100,-dtr,wait:100")},
        {QStringLiteral("reset-rts"), QStringLiteral("rts,wait:100,-rts,wait:100")},
        {QStringLiteral("boot-dtr-reset-rts"),
         QStringLiteral("dtr,rts,wait:100,-rts,wait:100,-dtr")},
    };
    return named;
}

} // namespace

QString NamedSequencesHelp() {
    QString help;
    for (auto named = Named().cbegin(); named != Named().cend(); ++named) {
        help += QStringLiteral("  %1%2\n").arg(named.key().leftJustified(21), named.value());
    }
    return help;
}

Result<ModemSequence, ConfigError> ParseModemSequence(const QString& text) {
    const QString steps = Named().value(text.trimmed(), text);
    ModemSequence sequence;
    for (const QString& raw : steps.split(QLatin1Char(','))) {
        const QString step = raw.trimmed().toLower();
        const bool off = step.startsWith(QLatin1Char('-'));
        const QString name = off ? step.mid(1) : step;
        if (step.startsWith(QLatin1String("wait:"))) {
            bool ok = false;
            const int ms = step.mid(5).toInt(&ok);
            if (!ok || ms < 0 || ms > 60000) {
                return ConfigError{
                    ConfigErrorCode::Usage,
                    QStringLiteral("%1: a wait is wait:MS, 0 to 60000").arg(raw.trimmed())};
            }
            sequence << ModemStep{std::nullopt, false, ms};
        } else if (name == QLatin1String("dtr") || name == QLatin1String("rts") ||
                   name == QLatin1String("break")) {
            sequence << ModemStep{name == QLatin1String("dtr")   ? ModemLine::Dtr
                                  : name == QLatin1String("rts") ? ModemLine::Rts
                                                                 : ModemLine::Break,
                                  !off, 0};
        } else {
            return ConfigError{
                ConfigErrorCode::Usage,
                QStringLiteral("unknown step %1; the steps are dtr, -dtr, rts, -rts, break, "
                               "-break and wait:MS, or one of %2")
                    .arg(raw.trimmed(), Named().keys().join(QStringLiteral(", ")))};
        }
    }
    return sequence;
}

LineDone RunModemSequence(Line& line, const ModemSequence& steps, const StopFlag* stop) {
    const auto stopped = [stop] { return stop != nullptr && *stop != 0; };
    for (const ModemStep& step : steps) {
        if (stopped()) {
            return {};
        }
        if (!step.line) {
            for (int left = step.waitMs; left > 0 && !stopped(); left -= 50) {
                line.Pause(std::min(left, 50)); // a stop is heard within 50 ms
            }
            continue;
        }
        if (LineDone set = line.SetModemLine(*step.line, step.on); !set) {
            return set;
        }
    }
    return {};
}
