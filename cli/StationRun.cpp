// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/StationRun.h"

#include "cli/Output.h"

#include "serial/PortMapping.h"
#include "serial/PortResolver.h"
#include "station/PlugTracker.h"
#include "station/PortWatcher.h"
#include "station/Station.h"
#include "update/ImageFormats.h"
#include "update/VisibleText.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QSet>
#include <QThread>
#include <cstdio>
#include <deque>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace flash {

namespace {

using station::PortState;
using station::PortStatus;
using station::StationEvent;

// Said of a port whose board dropped it right after passing and came back: without a USB serial
// number that says otherwise, it is taken for the same board restarting with its new program.
const QString kRestartedNote = QStringLiteral(
    "back right after passing: taken for the same board restarting, not flashed again "
    "(unplug it for a second to flash it as a new board)");

QString Bar(const PortStatus& s, int width) {
    const int filled = s.blocks > 0 ? s.blocksSent * width / s.blocks : 0;
    return QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char('.'));
}

QString LiveLine(const PortStatus& s) {
    QString state = station::StateName(s.state);
    if (s.state == PortState::Flashing && s.attempt > 1) {
        state += QStringLiteral(" #%1").arg(s.attempt);
    }
    QString line = QStringLiteral("%1 %2 [%3] %4/%5 %6 KiB/s")
                       .arg(s.port, -24)
                       .arg(state, -11)
                       .arg(Bar(s, 20))
                       .arg(s.blocksSent, 3)
                       .arg(s.blocks, -3)
                       .arg(s.kibPerSecond, 6, 'f', 1);
    if (s.state == PortState::Failed || s.state == PortState::Passed) {
        line += QStringLiteral("  ") + s.reason.left(60);
    }
    return line;
}

// Shows the station's events as the output asks: JSON, one line per event, or nothing here at
// all (a terminal redraws its live lines from snapshots instead).
class EventPrinter {
  public:
    enum class Style { Terminal, Plain, Json, Quiet };
    explicit EventPrinter(Style style) : m_style(style) {}
    void operator()(const StationEvent& e) const {
        const PortStatus& s = e.status;
        if (m_style == Style::Json) {
            PrintJson(e);
            return;
        }
        if (m_style == Style::Terminal || m_style == Style::Quiet) {
            if (m_style == Style::Quiet && e.kind == StationEvent::Kind::Ended &&
                s.state == PortState::Failed) {
                Print(stderr, QStringLiteral("%1: failed (exit %2): %3\n")
                                  .arg(s.port)
                                  .arg(s.exitCode)
                                  .arg(s.reason));
            }
            return;
        }
        switch (e.kind) {
        case StationEvent::Kind::Started:
            Print(stderr, QStringLiteral("%1: started, attempt %2\n").arg(s.port).arg(s.attempt));
            break;
        case StationEvent::Kind::Progress:
            // Every quarter of the image, not every block.
            if (s.blocks > 0 && s.blocksSent > 0 &&
                s.blocksSent * 4 / s.blocks != (s.blocksSent - 1) * 4 / s.blocks) {
                Print(stderr,
                      QStringLiteral("%1: %2/%3 blocks, %4 KiB/s\n")
                          .arg(s.port)
                          .arg(s.blocksSent)
                          .arg(s.blocks)
                          .arg(s.kibPerSecond, 0, 'f', 1),
                      Lane::Progress);
            }
            break;
        case StationEvent::Kind::DeviceText:
            Print(stderr, QStringLiteral("%1: device: %2\n").arg(s.port, e.text), Lane::Progress);
            break;
        case StationEvent::Kind::Ended:
            if (s.state == PortState::Passed) {
                Print(stderr,
                      QStringLiteral("%1: passed in %2 s\n").arg(s.port).arg(s.seconds, 0, 'f', 2));
            } else {
                Print(stderr, QStringLiteral("%1: failed (exit %2): %3%4\n")
                                  .arg(s.port)
                                  .arg(s.exitCode)
                                  .arg(s.reason,
                                       e.retrying ? QStringLiteral("; starting over") : QString()));
            }
            break;
        }
    }

    // Something said of a port outside its updates; a terminal shows it in the port's live line.
    void Note(const QString& port, const QString& text) const {
        if (m_style == Style::Json) {
            PrintJsonLine({{"event", "note"}, {"port", port}, {"message", text}});
        } else if (m_style == Style::Plain || m_style == Style::Quiet) {
            Print(stderr, QStringLiteral("%1: %2\n").arg(port, text));
        }
    }

  private:
    static void PrintJson(const StationEvent& e) {
        const PortStatus& s = e.status;
        switch (e.kind) {
        case StationEvent::Kind::Started:
            PrintJsonLine({{"event", "start"},
                           {"port", s.port},
                           {"attempt", s.attempt},
                           {"blocks", s.blocks}});
            break;
        case StationEvent::Kind::Progress:
            if (s.blocksSent > 0) {
                PrintJsonLine({{"event", "block"},
                               {"port", s.port},
                               {"sent", s.blocksSent},
                               {"blocks", s.blocks},
                               {"seconds", s.seconds}},
                              Lane::Progress);
            }
            break;
        case StationEvent::Kind::DeviceText:
            Print(stderr, QStringLiteral("%1: device: %2\n").arg(s.port, e.text), Lane::Progress);
            break;
        case StationEvent::Kind::Ended:
            PrintJsonLine({{"event", s.state == PortState::Passed ? "done" : "error"},
                           {"port", s.port},
                           {"device", s.device},
                           {"attempt", s.attempt},
                           {"exit_code", s.exitCode},
                           {"message", s.reason},
                           {"seconds", s.seconds},
                           {"last_block_acknowledged", s.lastBlockAcknowledged},
                           {"retrying", e.retrying}});
            break;
        }
    }
    Style m_style;
};

// The live lines of a terminal: one per port, rewritten in place.
class LiveLines {
  public:
    void Draw(const QList<PortStatus>& ports) {
        QString text;
        if (m_drawn > 0) {
            text += QStringLiteral("\x1b[%1A").arg(m_drawn); // back to the first line
        }
        for (const PortStatus& s : ports) {
            text +=
                QStringLiteral("\r\x1b[2K") + VisibleText(LiveLine(s).toUtf8()) + QLatin1Char('\n');
        }
        m_drawn = static_cast<int>(ports.size());
        Print(stderr, text, Lane::Progress);
    }

  private:
    int m_drawn = 0;
};

void PrintSummary(const QList<PortStatus>& ports, const QMap<QString, int>& passedCounts,
                  const QMap<QString, int>& failedCounts, bool json, bool quiet, int exitCode) {
    int passed = 0;
    int failed = 0;
    for (int n : passedCounts) {
        passed += n;
    }
    for (int n : failedCounts) {
        failed += n;
    }
    if (quiet) {
        return; // the failures have been told as they came
    }
    if (json) {
        PrintJsonLine({{"event", "summary"},
                       {"passed", passed},
                       {"failed", failed},
                       {"total", passed + failed},
                       {"exit_code", exitCode}});
        return;
    }
    Print(stderr, QStringLiteral("\n%1 %2 %3 %4 %5\n")
                      .arg(QStringLiteral("PORT"), -24)
                      .arg(QStringLiteral("RESULT"), -8)
                      .arg(QStringLiteral("EXIT"), 4)
                      .arg(QStringLiteral("SECONDS"), 8)
                      .arg(QStringLiteral("REASON")));
    for (const PortStatus& s : ports) {
        Print(stderr, QStringLiteral("%1 %2 %3 %4 %5\n")
                          .arg(s.port, -24)
                          .arg(station::StateName(s.state), -8)
                          .arg(s.exitCode, 4)
                          .arg(s.seconds, 8, 'f', 2)
                          .arg(s.reason));
    }
    Print(stderr, QStringLiteral("%1 passed, %2 failed, %3 in all\n")
                      .arg(passed)
                      .arg(failed)
                      .arg(passed + failed));
}

// What a port name stands for, so that one device named twice is told: the device number of
// a character device, else the canonical path.
QString DeviceKey(const QString& port) {
    const PortLookup lookup = ResolvePort(port); // looks at the system's ports only if it must
    const QString device = lookup.port ? lookup.port->device : port;
    struct stat info {};
    if (!device.isEmpty() && ::stat(QFile::encodeName(device).constData(), &info) == 0 &&
        S_ISCHR(info.st_mode)) {
        return QStringLiteral("dev %1").arg(static_cast<qulonglong>(info.st_rdev));
    }
    const QString canonical = QFileInfo(device).canonicalFilePath();
    return canonical.isEmpty() ? device : canonical;
}

// Events wait here, from the ports' threads, until the main thread prints them: a reader that
// is slow to take the output never holds up an update.
class EventQueue {
  public:
    void Push(const StationEvent& event) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(event);
    }
    std::deque<StationEvent> Take() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_events, {});
    }

  private:
    std::mutex m_mutex;
    std::deque<StationEvent> m_events;
};

} // namespace

int RunStation(const FlashOptions& options, const StopFlag& stopSignal) {
    const EventPrinter::Style style = options.json              ? EventPrinter::Style::Json
                                      : options.quiet           ? EventPrinter::Style::Quiet
                                      : ::isatty(STDERR_FILENO) ? EventPrinter::Style::Terminal
                                                                : EventPrinter::Style::Plain;
    auto fail = [&](int exitCode, const QString& message) {
        Print(stderr, QStringLiteral("tavrel-flash: %1\n").arg(message));
        if (options.json) {
            PrintJsonLine({{"event", "error"}, {"exit_code", exitCode}, {"message", message}});
        }
        return exitCode;
    };

    // The image first, once for every port, before any output exists.
    ImageStore image;
    const FirmwareLoad firmware =
        LoadFirmwareFile(image, options.imagePath, options.base, options.format);
    const LoadResult& loaded = firmware.result;
    if (!loaded.ok) {
        return fail(kExitImage, loaded.message);
    }
    if (style == EventPrinter::Style::Plain || style == EventPrinter::Style::Terminal) {
        Print(stderr, QStringLiteral("Image: %1\n").arg(firmware.description));
    }
    QStringList ports = options.ports;
    if (options.allPorts || (ports.isEmpty() && !options.watch)) {
        const QList<SerialPortEntry> system = SystemSerialPorts();
        for (const SerialPortEntry& entry : system) {
            ports << entry.device;
        }
        if (ports.isEmpty()) {
            return fail(kExitPort, QStringLiteral("this system has no serial port; connect the "
                                                  "device or give -p"));
        }
        if (!options.allPorts && ports.size() > 1) {
            return fail(kExitPort, QStringLiteral("this system has %1 serial ports; choose with "
                                                  "-p or take them all with --all-ports")
                                       .arg(ports.size()));
        }
    }
    // One device is one update: the same port given twice, under any name, is refused.
    QMap<QString, QString> named;
    for (const QString& port : ports) {
        const QString key = DeviceKey(port);
        if (named.contains(key)) {
            return fail(kExitUsage, QStringLiteral("the port %1 is given twice (also as %2)")
                                        .arg(port, named.value(key)));
        }
        named.insert(key, port);
    }

    station::Station::Settings settings;
    settings.update.imagePath = options.imagePath;
    settings.update.baud = options.baud;
    settings.update.timeoutSeconds = options.timeoutSeconds;
    settings.retries = options.retries;
    settings.logFile = options.logFile;
    settings.imageDescription = firmware.description;
    EventQueue queue;
    station::Station stationCore(settings, image, loaded.bytes, stopSignal,
                                 [&queue](const StationEvent& event) { queue.Push(event); });
    // The log may be neither the image nor a serial port, nor anything but a regular file.
    if (const QString error = stationCore.OpenLog(ports); !error.isEmpty()) {
        return fail(
            kExitUsage,
            QStringLiteral("cannot write the log %1: %2").arg(VisibleText(options.logFile), error));
    }

    const EventPrinter printer(style);
    QMap<QString, int> passed;
    QMap<QString, int> failed;
    station::PlugTracker plugs;   // in watch mode: new boards, and boards that restart
    QMap<QString, QString> notes; // what is said of a port beside its state
    bool cut = false;             // an update was under way when a signal came
    LiveLines live;
    auto show = [&] {
        for (const StationEvent& event : queue.Take()) {
            printer(event);
            if (event.kind == StationEvent::Kind::Ended && !event.retrying) {
                const bool ok = event.status.state == PortState::Passed;
                ++(ok ? passed : failed)[event.status.port];
                cut = cut || event.status.exitCode >= 128;
                if (ok) {
                    plugs.Passed(event.status.port);
                }
            }
        }
        if (style == EventPrinter::Style::Terminal) {
            QList<PortStatus> ports = stationCore.Snapshot();
            for (PortStatus& port : ports) {
                if (notes.contains(port.port) && port.state == PortState::Passed) {
                    port.reason = notes.value(port.port);
                }
            }
            live.Draw(ports);
        }
    };
    if (options.watch) {
        const station::PortWatcher watcher(options.watchPattern);
        if (style != EventPrinter::Style::Json) {
            Print(stderr,
                  QStringLiteral("Watching %1 for devices; Ctrl-C ends.\n")
                      .arg(options.watchPattern.isEmpty() ? QStringLiteral("the USB serial ports")
                                                          : VisibleText(options.watchPattern)));
        }
        while (stopSignal == 0) {
            stationCore.Reap();
            show(); // every pass is known before the look that may miss its port
            const station::PlugTracker::Look look = plugs.Update(
                watcher.Present(), [&](const QString& port) { return stationCore.Busy(port); },
                station::IdentifyUsbDevice, station::DeviceNodeOf);
            for (const QString& port : look.arrived) {
                notes.remove(port);
                if (!stationCore.Flash(port)) {
                    plugs.Forget(port); // its last update is still ending: the next look again
                }
            }
            for (const QString& port : look.restarted) {
                notes[port] = QStringLiteral("restarted after passing; not flashed again");
                printer.Note(port, kRestartedNote);
            }
            QThread::msleep(100);
        }
    } else {
        for (const QString& port : ports) {
            stationCore.Flash(port);
        }
        while (stationCore.AnyBusy()) {
            show();
            QThread::msleep(100);
        }
    }
    stationCore.WaitForAll();
    show();
    int exitCode = failed.isEmpty() ? kExitOk : kExitSomeFailed;
    if (cut || (stopSignal != 0 && !options.watch)) {
        // A signal ended the run before it was done: an update or the attempts it had left.
        exitCode = StoppedExitCode(stopSignal);
    }
    PrintSummary(stationCore.Snapshot(), passed, failed, options.json,
                 options.quiet && !options.json, exitCode);
    return exitCode;
}

} // namespace flash
