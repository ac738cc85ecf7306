// SPDX-License-Identifier: GPL-3.0-or-later
// tavrel-flash: the Tavrel update from the command line, for scripts and production lines.
#include "base/VisibleText.h"
#include "cli/ExitStatus.h"
#include "cli/FlashOptions.h"
#include "cli/FlashRun.h"
#include "cli/Output.h"
#include "config/Defaults.h"
#include "serial/NetworkLibrary.h"
#include "serial/PortMapping.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// The number of the signal that asked the run to end (SIGINT, SIGTERM, SIGHUP), or 0.
StopFlag g_stopSignal = 0;
// How many stop signals came: a second one also gives up waiting for a blocked output.
std::atomic<int> g_stopCount = 0;
void OnStopSignal(int signal) {
    g_stopSignal = signal;
    ++g_stopCount;
}

// Every serial port: what com 1 to com 15 stand for, then the others; each with its stable
// names, USB ids, serial number and maker where the system knows them, and whether a program
// has it open. With --json, one record per port.
int ListPorts(bool json) {
    const QList<SerialPortEntry> ports = SystemSerialPorts();
    const QSet<QString> open = DevicesOpenNow();
    QMap<QString, int> comOf;
    QList<int> unmapped;
    for (int n = 1; n <= 15; ++n) {
        const ComPortMapping mapping = MapComPort(n, ports);
        if (mapping.device.isEmpty()) {
            unmapped << n;
            continue;
        }
        if (!comOf.contains(mapping.device)) {
            comOf[mapping.device] = n;
        }
        if (json) {
            // Where a com number leads, TAVREL_COM<N> mappings to devices outside the list
            // included.
            flash::PrintJsonLine({{"event", "com"},
                                  {"com", n},
                                  {"device", mapping.device},
                                  {"source", mapping.source}});
        } else {
            // What the system says of a port comes from the device itself: shown, never obeyed.
            flash::Print(stdout,
                         VisibleText(DescribeMapping(n, mapping).toUtf8()) + QLatin1Char('\n'));
        }
    }
    if (!json && !unmapped.isEmpty()) {
        QStringList numbers;
        for (const int n : unmapped) {
            numbers << QString::number(n);
        }
        flash::Print(stdout, QStringLiteral("com %1: no port (TAVREL_COM<N> names one)\n")
                                 .arg(unmapped.size() == 15 ? QStringLiteral("1 to 15")
                                                            : numbers.join(QStringLiteral(", "))));
    }
    if (!json) {
        flash::Print(stdout, QStringLiteral("Ports:\n"));
    }
    for (const SerialPortEntry& p : ports) {
        const bool inUse = open.contains(p.device);
        if (json) {
            flash::PrintJsonLine({{"event", "port"},
                                  {"device", p.device},
                                  {"com", comOf.value(p.device, 0)},
                                  {"description", p.description},
                                  {"usb_vendor_id", p.vendorId},
                                  {"usb_product_id", p.productId},
                                  {"usb_serial", p.serialNumber},
                                  {"manufacturer", p.manufacturer},
                                  {"stable_names", QJsonArray::fromStringList(p.stableNames)},
                                  {"in_use", inUse}});
            continue;
        }
        QString line = QStringLiteral("  %1").arg(p.device);
        for (const QString& part :
             {p.usbIds.isEmpty() ? QString() : QStringLiteral("usb %1").arg(p.usbIds),
              p.serialNumber.isEmpty() ? QString()
                                       : QStringLiteral("serial %1").arg(p.serialNumber),
              p.manufacturer, p.description, inUse ? QStringLiteral("(in use)") : QString()}) {
            if (!part.isEmpty()) {
                line += QLatin1Char(' ') + part;
            }
        }
        for (const QString& name : p.stableNames) {
            line += QStringLiteral("\n    %1").arg(name);
        }
        flash::Print(stdout, VisibleText(line.toUtf8()) + QLatin1Char('\n'));
    }
    return flash::kExitOk;
}

// Whether a refused command line asked for JSON: --json (or a prefix of it) or -j among bundled
// flags.
bool AsksForJson(const QList<QByteArray>& arguments) {
    for (const QByteArray& word : arguments.mid(1)) {
        if (word == "--") {
            break;
        }
        const bool flags = word.size() > 1 && word[0] == '-' && word[1] != '-' &&
                           std::all_of(word.begin() + 1, word.end(),
                                       [](char c) { return std::strchr("qjvVh", c) != nullptr; });
        if ((word.startsWith("--j") && QByteArray("--json").startsWith(word)) ||
            (flags && word.contains('j'))) {
            return true;
        }
    }
    return false;
}

int UsageError(const QList<QByteArray>& arguments, const QString& error) {
    flash::Print(stderr, QStringLiteral("tavrel-flash: %1\nTry tavrel-flash --help.\n").arg(error));
    if (AsksForJson(arguments)) {
        // A program that reads the JSON lines learns of this end too.
        flash::PrintJsonLine(
            {{"event", "error"}, {"exit_code", flash::kExitUsage}, {"message", error}});
    }
    return flash::kExitUsage;
}

int Run(int argc, char** argv) {
    // Output that can no longer be written (a pipe into `head`) never stops an update: the
    // write fails, and the exit status still says how the update went.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrel-flash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));

    QList<QByteArray> arguments; // the names as the system gave them, valid UTF-8 or not
    for (int i = 0; i < argc; ++i) {
        arguments << QByteArray(argv[i]);
    }
    QStringList defaultsTold; // where the values that are not the command line's came from
    config::SettingsRead parsed = config::ReadSettings(config::kFlash, arguments, &defaultsTold);
    if (!parsed) {
        return UsageError(arguments, parsed.error().text);
    }
    flash::FlashOptions& options = *parsed;
    if (options.help) {
        flash::Print(stdout, flash::HelpText());
        return flash::kExitOk;
    }
    if (options.version) {
        flash::Print(stdout,
                     QStringLiteral("tavrel-flash %1\n").arg(QStringLiteral(TAVREL_VERSION)));
        return flash::kExitOk;
    }
    if (options.listPorts) {
        return ListPorts(options.json);
    }
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr); // a closed terminal or a logout ends a run as SIGTERM does

    return flash::RunFlash(options, g_stopSignal, defaultsTold);
}

} // namespace

int main(int argc, char** argv) {
    NetworkLibrary network;
    const int status = Run(argc, argv);
    // The results and the summary reach the output before the program ends, however long a
    // paused terminal or a slow reader takes to take them; a second stop signal ends the wait.
    flash::FinishOutput([] { return g_stopCount >= 2; });
    return status;
}
