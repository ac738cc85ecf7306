// SPDX-License-Identifier: GPL-3.0-or-later
// tavrel-job: the engineer's tool for jobs. keygen makes a signing key, create writes a job for an
// image and the settings that the line must not change, sign signs it, verify checks it as a
// station will.
#include "config/Job.h"
#include "config/OptionTable.h"
#include "update/LoadedImage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>

namespace {

const char kUsage[] =
    "Usage: tavrel-job keygen KEY\n"
    "       tavrel-job create NAME [--job-version V] [--require operator,work-order]\n"
    "                  [--max-boards N] [--output FILE] [SETTINGS] IMAGE\n"
    "       tavrel-job sign JOB KEY.key\n"
    "       tavrel-job verify JOB\n"
    "keygen writes an Ed25519 key pair, KEY.key (keep it secret) and KEY.pub (copy it into a\n"
    "station's /etc/tavrel/job-keys/ or ~/.config/tavrel/job-keys/). create writes NAME.job\n"
    "(or FILE) with IMAGE's SHA-256 and the SETTINGS given as tavrel-flash takes them:\n"
    "--baud, --timeout, --retries, --before, --after, --expect, --expect-within, --slots,\n"
    "--format, --base. --max-boards N: the line makes at most N boards of the job (counted in\n"
    "the records store, across the line with PostgreSQL). A job is used only once signed.\n";

int Fail(const QString& message, int status = 1) {
    std::fprintf(stderr, "tavrel-job: %s\n", message.toLocal8Bit().constData());
    return status;
}

int Create(const QStringList& arguments) {
    QString name = arguments.value(0);
    QString version = QStringLiteral("1");
    QString output;
    QStringList required;
    int maxBoards = 0;
    QList<std::pair<QString, QByteArray>> pinned;
    QStringList images;
    for (int i = 1; i < arguments.size(); ++i) {
        QString option = arguments[i];
        QString value;
        if (!option.startsWith(QLatin1String("--"))) {
            images << option;
            continue;
        }
        option = option.mid(2);
        if (const qsizetype equals = option.indexOf(QLatin1Char('=')); equals >= 0) {
            value = option.mid(equals + 1);
            option = option.left(equals);
        } else if (i + 1 < arguments.size()) {
            value = arguments[++i];
        } else {
            return Fail(QStringLiteral("--%1 needs a value").arg(option));
        }
        if (option == QLatin1String("job-version")) {
            version = value;
        } else if (option == QLatin1String("output")) {
            output = value;
        } else if (option == QLatin1String("require")) {
            required = value.split(QLatin1Char(','), Qt::SkipEmptyParts);
        } else if (option == QLatin1String("max-boards")) {
            bool ok = false;
            maxBoards = value.toInt(&ok);
            if (!ok || maxBoards < 1) {
                return Fail(
                    QStringLiteral("--max-boards takes a whole number from 1, not %1").arg(value));
            }
        } else if (std::any_of(pinned.begin(), pinned.end(),
                               [&](const auto& pin) { return pin.first == option; })) {
            return Fail(QStringLiteral("--%1 is given twice").arg(option));
        } else if (config::PinnableOptions().contains(option)) {
            // Checked as tavrel-flash checks it.
            const config::SettingsRead alone = config::ParseCommandLine(
                config::kFlash,
                {"tavrel-job", "--" + option.toUtf8() + '=' + value.toUtf8(), "--version"});
            if (!alone) {
                return Fail(alone.error().text);
            }
            pinned << std::pair{option, value.toUtf8()};
        } else {
            return Fail(QStringLiteral("--%1 is no setting a job fixes; it may fix --%2")
                            .arg(option, config::PinnableOptions().join(QStringLiteral(", --"))));
        }
    }
    if (name.isEmpty() || name.startsWith(QLatin1Char('-')) || images.size() != 1) {
        return Fail(QStringLiteral("give a NAME and one IMAGE\n%1").arg(QLatin1String(kUsage)));
    }
    // The time for the check after the switch is fixed with the check: else a station could
    // shorten it until every board fails, or lengthen it without end.
    const auto pins = [&](const char* option) {
        return std::any_of(pinned.begin(), pinned.end(),
                           [&](const auto& pin) { return pin.first == QLatin1String(option); });
    };
    if (pins("expect") && !pins("expect-within")) {
        pinned << std::pair{QStringLiteral("expect-within"), QByteArray("5")};
    }
    QList<QByteArray> words{"tavrel-job"};
    for (const auto& [option, value] : pinned) {
        words << "--" + option.toUtf8() + '=' + value;
    }
    words << QFile::encodeName(images.first());
    const config::SettingsRead settings = config::ParseCommandLine(config::kFlash, words);
    if (!settings) {
        return Fail(settings.error().text);
    }
    const Result<LoadedImage, ImageError> image =
        LoadImage(settings->imagePath, settings->base, settings->format);
    if (!image) {
        return Fail(image.error().text, 2);
    }
    if (output.isEmpty()) {
        output = name + QStringLiteral(".job");
    }
    // The image is named from the job's folder, so that both travel together.
    const QString imagePath = QFileInfo(output).absoluteDir().relativeFilePath(
        QFileInfo(images.first()).absoluteFilePath());
    const QByteArray text = config::JobText(name, version, QFile::encodeName(imagePath),
                                            image->sha256, pinned, required, maxBoards);
    QFile file(output);
    if (file.exists()) {
        return Fail(QStringLiteral("%1 exists already; remove it or give --output").arg(output));
    }
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.flush()) {
        return Fail(QStringLiteral("%1: %2").arg(output, file.errorString()));
    }
    std::printf("%s: job %s %s for %s; sign it with tavrel-job sign\n",
                output.toLocal8Bit().constData(), name.toLocal8Bit().constData(),
                version.toLocal8Bit().constData(), image->description.toLocal8Bit().constData());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString command = arguments.value(0);
    if (command == QLatin1String("-h") || command == QLatin1String("--help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == QLatin1String("-V") || command == QLatin1String("--version")) {
        std::puts("tavrel-job " TAVREL_VERSION);
        return 0;
    }
    if (command == QLatin1String("keygen") && arguments.size() == 2) {
        const ConfigDone made = config::MakeKeyPair(arguments[1]);
        return made ? 0 : Fail(made.error().text);
    }
    if (command == QLatin1String("create")) {
        return Create(arguments.mid(1));
    }
    if (command == QLatin1String("sign") && arguments.size() == 3) {
        const ConfigDone signing = config::SignJob(arguments[1], arguments[2]);
        return signing ? 0 : Fail(signing.error().text);
    }
    if (command == QLatin1String("verify") && arguments.size() == 2) {
        const auto read = config::ReadJob(arguments[1], config::TrustedKeyFolders());
        if (!read) {
            return Fail(read.error().text);
        }
        std::printf("job %s: signed by a trusted key, image SHA-256 %s\n",
                    read->Title().toLocal8Bit().constData(), read->imageSha256.constData());
        return 0;
    }
    return Fail(QStringLiteral("unknown command\n%1").arg(QLatin1String(kUsage)));
}
