// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/FlashRun.h"

#include "base/VisibleText.h"
#include "cli/ExitStatus.h"
#include "cli/Output.h"
#include "cli/RunPrinter.h"
#include "config/Job.h"
#include "serial/PortMapping.h"
#include "serial/PortResolver.h"
#include "station/OutputFile.h"
#include "station/SlotLabels.h"
#include "station/StationController.h"
#include "update/ImageFormats.h"

#include <QEventLoop>
#include <QFile>
#include <QTimer>

namespace flash {

namespace {

// What a port name stands for, so that one board named twice is told: the resolved port's
// identity keys, or the name itself where it names no port (its update will say why).
QStringList IdentityOf(const QString& port) {
    const PortLookup lookup = ResolvePort(port); // looks at the system's ports only if it must
    return lookup ? IdentityKeys(*lookup) : QStringList{port};
}

struct PortChoice {
    QStringList ports;
    QString error;
    QString how; // how the one port was chosen when none was named
};

// The ports of a run that does not watch: those given, every port the filters leave, or the one
// USB serial port they leave.
PortChoice ChoosePorts(const FlashOptions& options) {
    if (!options.allPorts && !options.ports.isEmpty()) {
        return {options.ports, {}, {}};
    }
    const QList<SerialPortEntry> system = SystemSerialPorts();
    if (!options.allPorts) {
        const PortLookup lookup = ChooseDefaultPort(system, options.portFilters);
        return lookup ? PortChoice{{lookup->device}, {}, lookup->how}
                      : PortChoice{{}, lookup.error().text, {}};
    }
    QStringList ports;
    for (const SerialPortEntry& entry : PortsForAll(system, options.portFilters)) {
        ports << entry.device;
    }
    if (ports.isEmpty()) {
        return {{},
                options.portFilters.isEmpty()
                    ? QStringLiteral("this system has no serial port but its built-in UARTs, "
                                     "which are flashed only when named; connect the device or "
                                     "give -p")
                    : QStringLiteral("the filter leaves none of the system's serial ports (a "
                                     "built-in UART is taken only by name=ttyS...)"),
                {}};
    }
    return {ports, {}, {}};
}

} // namespace

namespace {

// -v: where each value came from, how each port was found and how it is set up.
void TellSetUp(const FlashOptions& options, const QStringList& ports, const QString& chosenHow,
               const QStringList& defaultsTold) {
    for (const QString& line : defaultsTold) {
        Print(stderr, QStringLiteral("tavrel-flash: %1\n").arg(line));
    }
    for (const QString& port : ports) {
        const PortLookup lookup =
            ResolvePort(port, options.portSource.isEmpty() ? QStringLiteral("the command line")
                                                           : options.portSource);
        if (lookup) {
            Print(stderr,
                  QStringLiteral("tavrel-flash: %1 is %2 (%3)\n")
                      .arg(port, lookup->device, chosenHow.isEmpty() ? lookup->how : chosenHow));
        }
    }
    Print(stderr,
          QStringLiteral("tavrel-flash: %1 baud, 8 data bits, no parity, 1 stop bit; %2 "
                         "for each ACK\n")
              .arg(options.baud)
              .arg(options.timeoutSeconds > 0 ? QStringLiteral("%1 s").arg(options.timeoutSeconds)
                                              : QStringLiteral("no time limit")));
}

// The records store the run keeps its attempts in: the one asked for, or the station's own
// where the job counts its boards; none else.
Result<std::shared_ptr<records::Recorder>, records::StoreError>
OpenRecords(const FlashOptions& options) {
    const bool countsBoards = (options.job && options.job->maxBoards > 0) || options.stamp;
    if (!options.store && !countsBoards) {
        return std::shared_ptr<records::Recorder>();
    }
    const records::StoreUrl url =
        options.store
            ? *options.store
            : *records::ParseStoreUrl(QStringLiteral("sqlite:") + records::DefaultLocalStorePath());
    return records::Recorder::Open(url, records::StationNameOr(options.stationName));
}

// Tells when the line's server goes away and comes back, and when a counter of numbers to
// stamp runs low, on standard error.
class BacklogTeller {
  public:
    BacklogTeller(records::Recorder* recorder, const station::BoardStamper* stamper, bool quiet)
        : m_recorder(recorder), m_stamper(stamper), m_quiet(quiet) {
        if (m_recorder) {
            QObject::connect(&m_timer, &QTimer::timeout, [this] { Look(); });
            m_timer.start(1000);
            Look();
        }
    }
    void Look() {
        if (!m_recorder) {
            return;
        }
        if (m_stamper && !m_toldLow && m_stamper->Low()) {
            m_toldLow = true;
            if (!m_quiet) {
                Print(stderr, QStringLiteral("tavrel-flash: few numbers left to stamp: %1\n")
                                  .arg(m_stamper->LeftText()));
            }
        }
        const records::Recorder::Backlog now = m_recorder->Now();
        if (!now.line || now.reachable == m_reachable) {
            return;
        }
        m_reachable = now.reachable;
        if (!m_quiet) {
            Print(stderr, now.reachable
                              ? QStringLiteral("tavrel-flash: line server reached; the records "
                                               "that waited are sent\n")
                              : QStringLiteral("tavrel-flash: line server unreachable: %1 records "
                                               "waiting\n")
                                    .arg(now.waiting));
        }
    }

  private:
    records::Recorder* m_recorder;
    const station::BoardStamper* m_stamper;
    bool m_quiet;
    bool m_reachable = true;
    bool m_toldLow = false;
    QTimer m_timer;
};

} // namespace

int RunFlash(const FlashOptions& options, StopFlag& stopSignal, const QStringList& defaultsTold) {
    // A trace on standard error is read line by line: no live lines are drawn over it.
    const RunPrinter::Style style = RunPrinter::StyleFor(
        options.json, options.quiet, options.traceFile == "-" || options.verbose > 0);
    auto fail = [&](int exitCode, const QString& message) {
        Print(stderr, QStringLiteral("tavrel-flash: %1\n").arg(message));
        if (options.json) {
            PrintJsonLine({{"event", "error"}, {"exit_code", exitCode}, {"message", message}});
        }
        return exitCode;
    };

    // The image first, once for every port, before any output exists.
    LoadedImage image;
    RunFigures figures{options.baud, 0, {}, options.switchOnly, options.verbose > 0};
    if (!options.switchOnly) {
        Result<LoadedImage, ImageError> loaded =
            LoadImage(options.imagePath, options.base, options.format);
        if (!loaded) {
            return fail(kExitImage, loaded.error().text);
        }
        if (options.job) {
            if (const ConfigDone ours = config::CheckImageOfJob(*options.job, *loaded); !ours) {
                return fail(kExitImage, ours.error().text);
            }
        }
        image = std::move(*loaded);
        figures.imageBytes = image.bytes;
        figures.image = image.description;
        if (style == RunPrinter::Style::Plain || style == RunPrinter::Style::Terminal) {
            Print(stderr, QStringLiteral("Image: %1\n").arg(image.description));
        }
    }
    QStringList ports;
    QString chosenHow;
    if (!options.watch) {
        const PortChoice choice = ChoosePorts(options);
        chosenHow = choice.how;
        if (!choice.error.isEmpty()) {
            // Nothing is opened: the command line must say which port.
            return fail(kExitUsage, choice.error);
        }
        ports = choice.ports;
    }
    // One board is one update: the same port given twice, under any name, is refused before
    // anything is opened. Two names for one server's port reach one board.
    PortClaims named;
    for (const QString& port : ports) {
        if (stopSignal != 0) {
            break; // a name lookup may take seconds: a stop ends the run before any port opens
        }
        if (const QString first = named.Claim(IdentityOf(port), port); !first.isEmpty()) {
            return fail(kExitUsage,
                        QStringLiteral("the port %1 is given twice (also as %2)").arg(port, first));
        }
    }
    if (stopSignal != 0) {
        return fail(StoppedExitCode(stopSignal),
                    QStringLiteral("stopped by %1 before any port was opened")
                        .arg(station::StopCause(stopSignal)));
    }

    const bool talkative = options.verbose > 0 && !options.json && !options.quiet;
    for (const QString& line : options.unusedDefaults) {
        // A value the run does not use is said, -v or not.
        if (!options.json && !options.quiet) {
            Print(stderr, QStringLiteral("tavrel-flash: %1\n").arg(line));
        }
    }
    if (talkative) {
        TellSetUp(options, ports, chosenHow, defaultsTold);
    }
    // -vv: every byte, with its time, on standard error.
    const QByteArray traceFile =
        options.traceFile.isEmpty() && options.verbose > 1 && !SeveralPorts(options)
            ? QByteArray("-")
            : options.traceFile;
    if (!options.traceFile.isEmpty() && options.traceFile != "-" && !options.logFile.isEmpty() &&
        station::SameOutput(options.traceFile, options.logFile)) {
        return fail(kExitUsage, QStringLiteral("the trace and the log are one file, %1; give "
                                               "each a file of its own")
                                    .arg(VisibleText(options.logFile)));
    }
    station::Station::Settings settings;
    settings.update.imagePath = options.imagePath;
    settings.update.baud = options.baud;
    settings.update.timeoutSeconds = options.timeoutSeconds;
    settings.update.switchOnly = options.switchOnly;
    settings.update.expect = options.expect;
    settings.update.expectWithinSeconds = options.expectWithinSeconds;
    settings.update.before = options.before;
    settings.update.after = options.after;
    settings.update.traceFile = traceFile;
    settings.update.standardError = [](const QByteArray& text) {
        Print(stderr, QString::fromLocal8Bit(text), Lane::Progress);
    };
    if (!options.slotsFile.isEmpty()) {
        const auto slots = SlotLabels::Read(options.slotsFile);
        if (!slots) {
            return fail(kExitUsage, slots.error().text);
        }
        settings.slots = *slots;
    }
    settings.retries = options.retries;
    if (options.job) {
        settings.job = options.job->Title();
        settings.jobSha256 = QString::fromLatin1(options.job->sha256);
        settings.jobSignedBy = QString::fromLatin1(options.job->signedBy);
    }
    settings.operatorId = options.operatorId;
    settings.workOrder = options.workOrder;
    settings.logFile = options.logFile;
    // The store is checked before any port is opened: a wrong password or a newer schema ends
    // the run here. A server that cannot be reached does not: the records wait on the station.
    const auto recorder = OpenRecords(options);
    if (!recorder) {
        return fail(kExitUsage, recorder.error().text);
    }
    settings.records = *recorder;
    settings.stationName = options.stationName;
    settings.maxBoards = options.job ? options.job->maxBoards : 0;
    if (options.stamp) {
        // Each board's fields, checked against the image before any board.
        if (const ConfigDone fits = CheckStampRecipe(*options.stamp, ImageBytes(image)); !fits) {
            return fail(kExitUsage, fits.error().text);
        }
        auto stamper = station::BoardStamper::Make(
            {*options.stamp, options.stampSerial, options.stampMac, settings.records,
             records::StationNameOr(options.stationName), options.stampLease});
        if (!stamper) {
            return fail(kExitUsage, stamper.error());
        }
        settings.stamper = *stamper;
    }
    BacklogTeller backlog(settings.records.get(), settings.stamper.get(),
                          options.quiet || options.json);
    station::StationController controller(stopSignal);
    // The log may be neither the image nor a serial port, nor anything but a regular file.
    if (const QString error = controller.Configure(settings, image, ports); !error.isEmpty()) {
        return fail(
            kExitUsage,
            QStringLiteral("cannot write the log %1: %2").arg(VisibleText(options.logFile), error));
    }

    figures.severalPorts = ports.size() > 1 || options.allPorts || options.watch;
    RunPrinter printer(style, figures);
    QEventLoop loop;
    QObject::connect(&controller, &station::StationController::PortEvent,
                     [&printer](const station::StationEvent& event) { printer.Show(event); });
    QObject::connect(&controller, &station::StationController::Idle, [&] {
        backlog.Look();
        // A spent counter stops the line: no board after it could get a number.
        if (!options.watch || stopSignal != 0 || (settings.stamper && settings.stamper->Spent())) {
            loop.quit();
        }
    });
    if (options.watch) {
        if (style != RunPrinter::Style::Json) {
            Print(stderr,
                  QStringLiteral("Watching %1%2 for devices; Ctrl-C ends.\n")
                      .arg(options.watchPattern.isEmpty() ? QStringLiteral("the USB serial ports")
                                                          : VisibleText(options.watchPattern),
                           options.networkPorts.isEmpty()
                               ? QString()
                               : QStringLiteral(" and %1").arg(options.networkPorts.join(", "))));
        }
        controller.SetAuto(true);
        controller.Watch(options.watchPattern, options.portFilters, options.networkPorts);
    } else {
        controller.Flash(ports);
    }
    if (options.watch || controller.Busy()) {
        loop.exec();
    }

    // A run of one port ends with that port's own status; of several, with whether all passed.
    const bool several = ports.size() > 1 || options.allPorts || options.watch;
    const QList<station::PortStatus> ended = controller.Ports();
    int exitCode = controller.Failed() == 0 ? kExitOk : kExitSomeFailed;
    if (!several && !ended.isEmpty()) {
        exitCode = ExitCodeOf(ended.first().ending);
    }
    // A stop before every port was flashed is a stop, not a pass: not one board may be missing.
    if (controller.Cut() || (stopSignal != 0 && !options.watch &&
                             controller.Passed() < static_cast<int>(ports.size()))) {
        // A signal ended the run before it was done: an update or the attempts it had left.
        exitCode = StoppedExitCode(stopSignal);
    }
    printer.Summary(ended, controller.Passed(), controller.Failed(), exitCode, several);
    // A moment for the last records to reach a server that is there; none for one that is not.
    if (settings.records &&
        !settings.records->Drain(settings.records->Now().reachable ? 5000 : 0) && !options.quiet &&
        !options.json) {
        Print(stderr, QStringLiteral("tavrel-flash: %1 records wait in the station's store for "
                                     "the line server; they are sent on the next run\n")
                          .arg(settings.records->Now().waiting));
    }
    return exitCode;
}

} // namespace flash
