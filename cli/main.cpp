// SPDX-License-Identifier: GPL-3.0-or-later
// tavrel-flash: the Tavrel update from the command line, for scripts and production lines.
#include "cli/ExitStatus.h"
#include "cli/FlashOptions.h"
#include "cli/FlashRun.h"
#include "cli/Output.h"
#include "serial/PortMapping.h"
#include "update/VisibleText.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <atomic>
#include <csignal>
#include <cstdio>
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

int ListPorts() {
    const QList<SerialPortEntry> ports = SystemSerialPorts();
    QStringList shown;
    for (int n = 1; n <= 15; ++n) {
        const ComPortMapping mapping = MapComPort(n, ports);
        QString line = DescribeMapping(n, mapping);
        for (const SerialPortEntry& p : ports) {
            if (p.device == mapping.device && !p.usbIds.isEmpty()) {
                line += QStringLiteral(" usb %1").arg(p.usbIds);
            }
        }
        shown << mapping.device;
        // What the system says of a port comes from the device itself: shown, never obeyed.
        flash::Print(stdout, VisibleText(line.toUtf8()) + QLatin1Char('\n'));
    }
    bool header = false;
    for (const SerialPortEntry& p : ports) {
        if (shown.contains(p.device)) {
            continue;
        }
        if (!header) {
            flash::Print(stdout, QStringLiteral("Other serial ports:\n"));
            header = true;
        }
        flash::Print(
            stdout,
            VisibleText(
                QStringLiteral("  %1 %2 %3").arg(p.device, p.description, p.usbIds).toUtf8()) +
                QLatin1Char('\n'));
    }
    return flash::kExitOk;
}

int UsageError(const QStringList& arguments, const QString& error) {
    flash::Print(stderr, QStringLiteral("tavrel-flash: %1\nTry tavrel-flash --help.\n").arg(error));
    if (arguments.contains(QStringLiteral("--json"))) {
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

    const QStringList arguments = QCoreApplication::arguments();
    QList<QByteArray> bytes; // the names as the system gave them, valid UTF-8 or not
    for (int i = 0; i < argc; ++i) {
        bytes << QByteArray(argv[i]);
    }
    flash::ParseResult parsed = flash::ParseFlashOptions(arguments, bytes);
    if (!parsed.options) {
        return UsageError(arguments, parsed.error);
    }
    flash::FlashOptions& options = *parsed.options;
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
        return ListPorts();
    }
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr); // a closed terminal or a logout ends a run as SIGTERM does

    return flash::RunFlash(options, g_stopSignal);
}

} // namespace

int main(int argc, char** argv) {
    const int status = Run(argc, argv);
    // The results and the summary reach the output before the program ends, however long a
    // paused terminal or a slow reader takes to take them; a second stop signal ends the wait.
    flash::FinishOutput([] { return g_stopCount >= 2; });
    return status;
}
