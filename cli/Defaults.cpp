// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Defaults.h"

#include "station/ConfigurationFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace flash {

namespace {

struct Default {
    QString key; // the option's long name
    QString value;
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
        if (!QFileInfo::exists(path)) {
            continue;
        }
        QSettings file(path, QSettings::IniFormat);
        if (!QFileInfo(path).isFile() || !QFileInfo(path).isReadable() ||
            file.status() != QSettings::NoError) {
            return {std::nullopt, QStringLiteral("the configuration file %1 cannot be read as "
                                                 "INI; mend it or remove it")
                                      .arg(path)};
        }
        for (const QString& key : file.allKeys()) {
            if (!std::any_of(std::begin(kFileKeys), std::end(kFileKeys),
                             [&](const char* known) { return key == QLatin1String(known); })) {
                return {std::nullopt,
                        QStringLiteral("the configuration file %1 has the key %2; the keys are "
                                       "baud, timeout, retries, log, watch, port-filter, slots and "
                                       "network-ports, "
                                       "outside any [section]")
                            .arg(path, key)};
            }
            // A value with commas reads as a list: it is the text as written (quote a value
            // that holds a ';', which starts a comment).
            const QString text = file.value(key).toStringList().join(QLatin1Char(','));
            defaults[key] = {key, text, path};
        }
    }
    for (const auto& [key, variable] :
         {std::pair{"port", "TAVREL_PORT"}, {"baud", "TAVREL_BAUD"}}) {
        if (qEnvironmentVariableIsSet(variable)) {
            defaults[QLatin1String(key)] = {QLatin1String(key), qEnvironmentVariable(variable),
                                            QLatin1String(variable)};
        }
    }
    // A port named by the environment is no default when the ports are chosen otherwise.
    if (cli.allPorts || cli.watch || cli.given.contains(QStringLiteral("port-filter"))) {
        defaults.remove(QStringLiteral("port"));
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
    QString watchPattern;
    if (const Default watch = defaults.take(QStringLiteral("watch"));
        cli.watch && cli.watchPattern.isEmpty() && !watch.value.isEmpty()) {
        watchPattern = watch.value;
        told->append(QStringLiteral("watch %1 from %2").arg(watch.value, watch.source));
    }
    QList<QByteArray> words{arguments.value(0)};
    for (const Default& d : defaults) {
        if (cli.given.contains(d.key)) {
            continue;
        }
        const QByteArray word = "--" + d.key.toUtf8() + '=' + d.value.toLocal8Bit();
        const ParseResult alone = ParseFlashOptions({arguments.value(0), word, "--version"});
        if (!alone.options) {
            return {std::nullopt, QStringLiteral("%1 (from %2)").arg(alone.error, d.source)};
        }
        words << word;
        told->append(QStringLiteral("%1 %2 from %3").arg(d.key, d.value, d.source));
    }
    // The defaults go before the command line's own words, each whole ("--baud=9600"), so that
    // the command line's options, read later, win.
    ParseResult parsed = ParseFlashOptions(words + arguments.mid(1));
    if (parsed.options && !watchPattern.isEmpty()) {
        parsed.options->watchPattern = QFile::encodeName(watchPattern);
    }
    return parsed;
}

} // namespace flash
