// tavrel-flash: the Tavrel update from the command line, for scripts and production lines.
#include "cli/FlashOptions.h"
#include "cli/Flasher.h"
#include "serial/PortMapping.h"

#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) {
    g_interrupted = 1;
}

void Print(std::FILE* to, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), to);
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
        Print(stdout, line + QLatin1Char('\n'));
    }
    bool header = false;
    for (const SerialPortEntry& p : ports) {
        if (shown.contains(p.device)) {
            continue;
        }
        if (!header) {
            Print(stdout, QStringLiteral("Other serial ports:\n"));
            header = true;
        }
        Print(stdout, QStringLiteral("  %1 %2 %3\n").arg(p.device, p.description, p.usbIds));
    }
    return flash::kExitOk;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrel-flash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));

    const flash::ParseResult parsed = flash::ParseFlashOptions(QCoreApplication::arguments());
    if (!parsed.options) {
        Print(stderr,
              QStringLiteral("tavrel-flash: %1\nTry tavrel-flash --help.\n").arg(parsed.error));
        return flash::kExitUsage;
    }
    const flash::FlashOptions& options = *parsed.options;
    if (options.help) {
        Print(stdout, flash::HelpText());
        return flash::kExitOk;
    }
    if (options.version) {
        Print(stdout, QStringLiteral("tavrel-flash %1\n").arg(QStringLiteral(TAVREL_VERSION)));
        return flash::kExitOk;
    }
    if (options.listPorts) {
        return ListPorts();
    }

    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    flash::Trace trace;
    if (!trace.Open(options.traceFile)) {
        Print(
            stderr,
            QStringLiteral("tavrel-flash: cannot write the trace to %1\n").arg(options.traceFile));
        return flash::kExitUsage;
    }
    const flash::ReportStyle style = options.json              ? flash::ReportStyle::Json
                                     : options.quiet           ? flash::ReportStyle::Quiet
                                     : ::isatty(STDERR_FILENO) ? flash::ReportStyle::Terminal
                                                               : flash::ReportStyle::Plain;
    const auto reporter = flash::MakeReporter(style);
    flash::Flasher flasher(options, *reporter, trace, g_interrupted);
    return flasher.Run();
}
