// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Defaults.h"

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
const char* const kFileKeys[] = {"baud", "timeout", "retries", "log", "watch", "port-filter"};

} // namespace

QStringList ConfigurationFiles() {
    const QString home =
        qEnvironmentVariable("XDG_CONFIG_HOME", QDir::homePath() + QStringLiteral("/.config"));
    return {QStringLiteral("/etc/tavrel/tavrel.conf"),
            home + QStringLiteral("/tavrel/tavrel.conf")};
}

ParseResult ParseWithDefaults(const QList<QByteArray>& arguments, QStringList* told) {
    const ParseResult given = ParseFlashOptions(arguments);
    if (!given.options || given.options->help || given.options->version) {
        return given;
    }
    const FlashOptions& cli = *given.options;
    QMap<QString, Default> defaults;
    for (const QString& path : ConfigurationFiles()) {
        if (!QFileInfo(path).isFile()) {
            continue;
        }
        QSettings file(path, QSettings::IniFormat);
        for (const char* key : kFileKeys) {
            const QVariant value = file.value(QLatin1String(key));
            if (value.isValid()) {
                // A value with commas reads as a list: it is the text as written.
                const QString text = value.toStringList().join(QLatin1Char(','));
                defaults[QLatin1String(key)] = {QLatin1String(key), text, path};
            }
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
    if (cli.allPorts || cli.watch || cli.listPorts) {
        defaults.remove(QStringLiteral("port"));
    }
    QList<QByteArray> words{arguments.value(0)};
    QString watchPattern;
    for (const Default& d : defaults) {
        if (cli.given.contains(d.key)) {
            continue;
        }
        if (d.key == QLatin1String("watch")) {
            watchPattern = d.value; // the pattern for a --watch given without one
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
    ParseResult parsed = ParseFlashOptions(words + arguments.mid(1));
    if (parsed.options && parsed.options->watch && parsed.options->watchPattern.isEmpty() &&
        !watchPattern.isEmpty()) {
        parsed.options->watchPattern = QFile::encodeName(watchPattern);
        told->append(QStringLiteral("watch %1 from %2")
                         .arg(watchPattern, defaults.value(QStringLiteral("watch")).source));
    }
    return parsed;
}

} // namespace flash
