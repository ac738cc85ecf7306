// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Defaults.h"

#include "station/ConfigurationFiles.h"

#include <QMap>

namespace flash {

namespace {

struct Default {
    QString key;      // the option's long name
    QByteArray value; // bytes, as the command line's words are
    QString source;
};

// The keys a configuration file may give, each the long option it stands for.
const char* const kFileKeys[] = {"baud",  "timeout",     "retries", "log",
                                 "watch", "port-filter", "slots",   "network-ports"};

} // namespace

ParseResult ParseWithDefaults(const QList<QByteArray>& arguments, QStringList* told) {
    const ParseResult given = ParseFlashOptions(arguments);
    if (!given.options || given.options->help || given.options->version ||
        given.options->listPorts) {
        return given; // nothing that a default could change
    }
    const FlashOptions& cli = *given.options;
    QMap<QString, Default> defaults;
    for (const QString& path : station::ConfigurationFiles()) {
        const station::ConfigurationRead file = station::ReadConfigurationFile(path);
        if (!file.error.isEmpty()) {
            return {std::nullopt, file.error};
        }
        for (const station::ConfigurationEntry& entry : file.entries) {
            const QString& key = entry.key;
            if (!std::any_of(std::begin(kFileKeys), std::end(kFileKeys),
                             [&](const char* known) { return key == QLatin1String(known); })) {
                return {std::nullopt,
                        QStringLiteral("the configuration file %1 has the key %2; the keys are "
                                       "baud, timeout, retries, log, watch, port-filter, slots and "
                                       "network-ports, "
                                       "outside any [section]")
                            .arg(path, key)};
            }
            // Every value in a file is checked as the same option on the command line is,
            // whether or not this run uses it: a file with a fault is mended, not ignored.
            const ParseResult alone = ParseFlashOptions(
                {arguments.value(0), "--" + key.toUtf8() + '=' + entry.value, "--version"});
            if (!alone.options) {
                return {std::nullopt,
                        QStringLiteral("%1 (from %2)").arg(alone.error, entry.source)};
            }
            defaults[key] = {key, entry.value, entry.source};
        }
    }
    for (const auto& [key, variable] :
         {std::pair{"port", "TAVREL_PORT"}, {"baud", "TAVREL_BAUD"}}) {
        if (qEnvironmentVariableIsSet(variable)) {
            defaults[QLatin1String(key)] = {QLatin1String(key), qgetenv(variable),
                                            QLatin1String(variable)};
        }
    }
    // A port named by the environment is no default when the ports are chosen otherwise.
    if (cli.allPorts || cli.watch || cli.given.contains(QStringLiteral("port-filter"))) {
        defaults.remove(QStringLiteral("port"));
    }
    // A port named (on the command line, or by the environment) leaves no port to choose: a
    // file's filter is not used, and -v says so.
    QString unusedFilter;
    if ((cli.given.contains(QStringLiteral("port")) || defaults.contains(QStringLiteral("port"))) &&
        !cli.given.contains(QStringLiteral("port-filter")) &&
        defaults.contains(QStringLiteral("port-filter"))) {
        const Default unused = defaults.take(QStringLiteral("port-filter"));
        unusedFilter = QStringLiteral("port-filter %1 from %2 is not used: a port is named")
                           .arg(QString::fromLocal8Bit(unused.value), unused.source);
    }
    // The network ports join a watch; a run without one flashes the ports it names.
    if (!cli.watch) {
        defaults.remove(QStringLiteral("network-ports"));
    }
    // Sending the switch packet alone writes no image: nothing to log, nothing to try again.
    if (cli.switchOnly) {
        defaults.remove(QStringLiteral("log"));
        defaults.remove(QStringLiteral("retries"));
    }
    // The watch pattern is a default only for a --watch given without one.
    QByteArray watchPattern;
    const Default watch = defaults.take(QStringLiteral("watch"));
    if (cli.watch && cli.watchPattern.isEmpty() && !watch.value.isEmpty()) {
        watchPattern = watch.value;
        told->append(QStringLiteral("watch %1 from %2")
                         .arg(QString::fromLocal8Bit(watch.value), watch.source));
    }
    QList<QByteArray> words{arguments.value(0)};
    for (const Default& d : defaults) {
        if (cli.given.contains(d.key)) {
            continue;
        }
        const QByteArray word = "--" + d.key.toUtf8() + '=' + d.value;
        const ParseResult alone = ParseFlashOptions({arguments.value(0), word, "--version"});
        if (!alone.options) {
            return {std::nullopt, QStringLiteral("%1 (from %2)").arg(alone.error, d.source)};
        }
        words << word;
        told->append(
            QStringLiteral("%1 %2 from %3").arg(d.key, QString::fromLocal8Bit(d.value), d.source));
    }
    // The defaults go before the command line's own words, each whole ("--baud=9600"), so that
    // the command line's options, read later, win.
    ParseResult parsed = ParseFlashOptions(words + arguments.mid(1));
    if (parsed.options && defaults.contains(QStringLiteral("port")) &&
        !cli.given.contains(QStringLiteral("port"))) {
        parsed.options->portSource = defaults.value(QStringLiteral("port")).source;
    }
    if (parsed.options && !unusedFilter.isEmpty()) {
        parsed.options->unusedDefaults << unusedFilter;
    }
    if (parsed.options && !watchPattern.isEmpty()) {
        parsed.options->watchPattern = watchPattern;
    }
    return parsed;
}

} // namespace flash
