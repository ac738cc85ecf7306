// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/Defaults.h"

#include "records/StoreUrl.h"
#include "station/ConfigurationFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>

namespace config {

namespace {

struct Default {
    QString key;      // the option's long name
    QByteArray value; // bytes, as the command line's words are
    QString source;
};

// Every key either program takes, for messages: "baud, timeout, ... and slots".
QString KeyList() {
    QStringList keys = FileKeys(Program(kFlash | kStation));
    const QString last = keys.takeLast();
    return keys.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
}

} // namespace

SettingsRead ReadSettings(Program program, const QList<QByteArray>& arguments, QStringList* told) {
    const SettingsRead given = ParseCommandLine(program, arguments, true);
    if (!given || given->help || given->version || given->listPorts) {
        return given; // nothing that a default could change
    }
    const RunSettings& cli = *given;
    const QStringList fileKeys = FileKeys(program);
    // A word that gives one option alone, checked as the command line checks it.
    const auto alone = [&](const QByteArray& word) {
        return ParseCommandLine(program, {arguments.value(0), word, "--version"});
    };
    QMap<QString, Default> defaults;
    for (const QString& path : station::ConfigurationFiles()) {
        const station::ConfigurationRead file = station::ReadConfigurationFile(path);
        if (!file.error.isEmpty()) {
            return ConfigError{ConfigErrorCode::FileUnusable, file.error};
        }
        for (const station::ConfigurationEntry& entry : file.entries) {
            const QString& key = entry.key;
            // A key for the other program is no fault: both read the same files.
            const OptionRow* row = FindOption(key);
            if (row == nullptr || !row->inFiles) {
                return ConfigError{
                    ConfigErrorCode::Usage,
                    QStringLiteral("the configuration file %1 has the key %2; the keys are "
                                   "%3, outside any [section]")
                        .arg(path, key, KeyList())};
            }
            if (!fileKeys.contains(key)) {
                continue;
            }
            // Every value in a file is checked as the same option on the command line is,
            // whether or not this run uses it: a file with a fault is mended, not ignored.
            const SettingsRead checked = alone("--" + key.toUtf8() + '=' + entry.value);
            if (!checked) {
                return ConfigError{
                    ConfigErrorCode::Usage,
                    QStringLiteral("%1 (from %2)").arg(checked.error().text, entry.source)};
            }
            defaults[key] = {key, entry.value, entry.source};
        }
    }
    for (const OptionRow& o : OptionTable()) {
        if (TakesFromEnvironment(o, program) && qEnvironmentVariableIsSet(o.environment)) {
            defaults[QLatin1String(o.name)] = {QLatin1String(o.name), qgetenv(o.environment),
                                               QLatin1String(o.environment)};
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
    // The network ports join a watch; a run without one flashes the ports it names. The
    // station always watches, and its -p names its network ports instead of the files'.
    if (program == kFlash ? !cli.watch : cli.given.contains(QStringLiteral("port"))) {
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
    // The station always watches: its pattern is a default whenever none was given.
    const bool watching = program == kStation || cli.watch;
    if (watching && cli.watchPattern.isEmpty() && !watch.value.isEmpty()) {
        watchPattern = watch.value;
        told->append(QStringLiteral("watch %1 from %2")
                         .arg(QString::fromLocal8Bit(watch.value), watch.source));
    }
    // A job fixes its options: given anywhere else they are refused, and its values go in as
    // defaults that nothing overrides.
    std::optional<Job> job;
    const QByteArray jobPath = cli.given.contains(QStringLiteral("job"))
                                   ? cli.jobPath
                                   : defaults.value(QStringLiteral("job")).value;
    if (!jobPath.isEmpty()) {
        const Result<Job, ConfigError> read =
            ReadJob(QFile::decodeName(jobPath), TrustedKeyFolders());
        if (!read) {
            return read.error();
        }
        job = *read;
        for (const auto& [option, value] : job->pinned) {
            if (cli.given.contains(option) || defaults.contains(option)) {
                const QString from =
                    cli.given.contains(option)
                        ? QString()
                        : QStringLiteral(" (from %1)").arg(defaults.value(option).source);
                return ConfigError{ConfigErrorCode::Usage,
                                   QStringLiteral("--%1%2 is set by job %3 and cannot be "
                                                  "changed here")
                                       .arg(option, from, job->Title())};
            }
            // A file the job names lies beside it, as its image does.
            const QByteArray pinnedValue =
                option == QLatin1String("slots") && QFileInfo(QFile::decodeName(value)).isRelative()
                    ? QFile::encodeName(QFileInfo(QFile::decodeName(jobPath))
                                            .dir()
                                            .absoluteFilePath(QFile::decodeName(value)))
                    : value;
            defaults[option] = {option, pinnedValue, QStringLiteral("job %1").arg(job->Title())};
        }
    }
    QList<QByteArray> words{arguments.value(0)};
    for (const Default& d : defaults) {
        if (cli.given.contains(d.key)) {
            continue;
        }
        const QByteArray word = "--" + d.key.toUtf8() + '=' + d.value;
        if (const SettingsRead checked = alone(word); !checked) {
            return ConfigError{ConfigErrorCode::Usage,
                               QStringLiteral("%1 (from %2)").arg(checked.error().text, d.source)};
        }
        words << word;
        // A store's URL is told as the operator may see it: without a password.
        const auto store =
            d.key == QLatin1String("store")
                ? records::ParseStoreUrl(QString::fromLocal8Bit(d.value))
                : Result<records::StoreUrl, records::StoreError>(records::StoreUrl{});
        told->append(QStringLiteral("%1 %2 from %3")
                         .arg(d.key,
                              d.key == QLatin1String("store") && store
                                  ? store->shown
                                  : QString::fromLocal8Bit(d.value),
                              d.source));
    }
    // The defaults go before the command line's own words, each whole ("--baud=9600"), so that
    // the command line's options, read later, win.
    SettingsRead parsed = ParseCommandLine(program, words + arguments.mid(1));
    if (parsed && defaults.contains(QStringLiteral("port")) &&
        !cli.given.contains(QStringLiteral("port"))) {
        parsed->portSource = defaults.value(QStringLiteral("port")).source;
    }
    if (parsed && !unusedFilter.isEmpty()) {
        parsed->unusedDefaults << unusedFilter;
    }
    if (parsed && !watchPattern.isEmpty()) {
        parsed->watchPattern = watchPattern;
    }
    if (parsed && job) {
        RunSettings& settings = *parsed;
        // The job's image lies beside the job file unless IMAGE names it (its hash must match).
        if (settings.imagePath.isEmpty() && !settings.switchOnly) {
            settings.imagePath =
                QFile::encodeName(QFileInfo(QFile::decodeName(jobPath))
                                      .dir()
                                      .absoluteFilePath(QFile::decodeName(job->imagePath)));
        }
        const bool noOperator =
            settings.operatorId.isEmpty() && job->required.contains(QStringLiteral("operator"));
        const bool noWorkOrder =
            settings.workOrder.isEmpty() && job->required.contains(QStringLiteral("work-order"));
        // The station asks for them in its window; the flasher has no one to ask.
        if (program == kFlash && (noOperator || noWorkOrder)) {
            return ConfigError{ConfigErrorCode::Usage,
                               QStringLiteral("job %1 requires --%2")
                                   .arg(job->Title(), noOperator ? QStringLiteral("operator")
                                                                 : QStringLiteral("work-order"))};
        }
        settings.job = job;
    }
    return parsed;
}

} // namespace config
