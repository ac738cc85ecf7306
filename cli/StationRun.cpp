#include "cli/StationRun.h"

#include "serial/PortMapping.h"
#include "station/PortWatcher.h"
#include "station/Station.h"
#include "update/VisibleText.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QThread>
#include <cstdio>
#include <unistd.h>

namespace flash {

namespace {

using station::PortState;
using station::PortStatus;
using station::StationEvent;

void Out(std::FILE* to, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), to);
    std::fflush(to);
}

void Json(const QJsonObject& record) {
    Out(stdout, QString::fromUtf8(QJsonDocument(record).toJson(QJsonDocument::Compact)) +
                    QLatin1Char('\n'));
}

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
    if (s.state == PortState::Failed) {
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
                Out(stderr, QStringLiteral("%1: failed (exit %2): %3\n")
                                .arg(s.port)
                                .arg(s.exitCode)
                                .arg(s.reason));
            }
            return;
        }
        switch (e.kind) {
        case StationEvent::Kind::Started:
            Out(stderr, QStringLiteral("%1: started, attempt %2\n").arg(s.port).arg(s.attempt));
            break;
        case StationEvent::Kind::Progress:
            // Every quarter of the image, not every block.
            if (s.blocks > 0 && s.blocksSent > 0 &&
                s.blocksSent * 4 / s.blocks != (s.blocksSent - 1) * 4 / s.blocks) {
                Out(stderr, QStringLiteral("%1: %2/%3 blocks, %4 KiB/s\n")
                                .arg(s.port)
                                .arg(s.blocksSent)
                                .arg(s.blocks)
                                .arg(s.kibPerSecond, 0, 'f', 1));
            }
            break;
        case StationEvent::Kind::DeviceText:
            Out(stderr, QStringLiteral("%1: device: %2\n").arg(s.port, e.text));
            break;
        case StationEvent::Kind::Ended:
            if (s.state == PortState::Passed) {
                Out(stderr,
                    QStringLiteral("%1: passed in %2 s\n").arg(s.port).arg(s.seconds, 0, 'f', 2));
            } else {
                Out(stderr,
                    QStringLiteral("%1: failed (exit %2): %3%4\n")
                        .arg(s.port)
                        .arg(s.exitCode)
                        .arg(s.reason, e.retrying ? QStringLiteral("; starting over") : QString()));
            }
            break;
        }
    }

  private:
    static void PrintJson(const StationEvent& e) {
        const PortStatus& s = e.status;
        switch (e.kind) {
        case StationEvent::Kind::Started:
            Json({{"event", "start"},
                  {"port", s.port},
                  {"attempt", s.attempt},
                  {"blocks", s.blocks}});
            break;
        case StationEvent::Kind::Progress:
            if (s.blocksSent > 0) {
                Json({{"event", "block"},
                      {"port", s.port},
                      {"sent", s.blocksSent},
                      {"blocks", s.blocks},
                      {"seconds", s.seconds}});
            }
            break;
        case StationEvent::Kind::DeviceText:
            Out(stderr, QStringLiteral("%1: device: %2\n").arg(s.port, e.text));
            break;
        case StationEvent::Kind::Ended:
            Json({{"event", s.state == PortState::Passed ? "done" : "error"},
                  {"port", s.port},
                  {"device", s.device},
                  {"attempt", s.attempt},
                  {"exit_code", s.exitCode},
                  {"message", s.reason},
                  {"seconds", s.seconds},
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
        Out(stderr, text);
    }

  private:
    int m_drawn = 0;
};

void PrintSummary(const QList<PortStatus>& ports, const QMap<QString, int>& passedCounts,
                  const QMap<QString, int>& failedCounts, bool json, int exitCode) {
    int passed = 0;
    int failed = 0;
    for (int n : passedCounts) {
        passed += n;
    }
    for (int n : failedCounts) {
        failed += n;
    }
    if (json) {
        Json({{"event", "summary"},
              {"passed", passed},
              {"failed", failed},
              {"total", passed + failed},
              {"exit_code", exitCode}});
        return;
    }
    Out(stderr, QStringLiteral("\n%1 %2 %3 %4 %5\n")
                    .arg(QStringLiteral("PORT"), -24)
                    .arg(QStringLiteral("RESULT"), -8)
                    .arg(QStringLiteral("EXIT"), 4)
                    .arg(QStringLiteral("SECONDS"), 8)
                    .arg(QStringLiteral("REASON")));
    for (const PortStatus& s : ports) {
        Out(stderr, QStringLiteral("%1 %2 %3 %4 %5\n")
                        .arg(s.port, -24)
                        .arg(station::StateName(s.state), -8)
                        .arg(s.exitCode, 4)
                        .arg(s.seconds, 8, 'f', 2)
                        .arg(s.reason));
    }
    Out(stderr, QStringLiteral("%1 passed, %2 failed, %3 in all\n")
                    .arg(passed)
                    .arg(failed)
                    .arg(passed + failed));
}

} // namespace

int RunStation(const FlashOptions& options, const volatile std::sig_atomic_t& stopSignal) {
    const EventPrinter::Style style = options.json              ? EventPrinter::Style::Json
                                      : options.quiet           ? EventPrinter::Style::Quiet
                                      : ::isatty(STDERR_FILENO) ? EventPrinter::Style::Terminal
                                                                : EventPrinter::Style::Plain;
    auto fail = [&](int exitCode, const QString& message) {
        Out(stderr, QStringLiteral("tavrel-flash: %1\n").arg(message));
        if (options.json) {
            Json({{"event", "error"}, {"exit_code", exitCode}, {"message", message}});
        }
        return exitCode;
    };

    // The image first, once for every port, before any output exists.
    ImageStore image;
    const LoadResult loaded = image.LoadImageFile(options.imagePath);
    if (!loaded.ok) {
        return fail(kExitImage, loaded.message);
    }
    QStringList ports = options.ports;
    if (options.allPorts) {
        for (const SerialPortEntry& entry : SystemSerialPorts()) {
            ports << entry.device;
        }
        if (ports.isEmpty()) {
            return fail(kExitPort, QStringLiteral("this system has no serial port"));
        }
    }
    // The log may be neither the image nor one of the ports.
    QString refusal = station::OutputThatIsAnInput({options.logFile}, options.imagePath, {});
    for (const QString& port : ports) {
        if (refusal.isEmpty()) {
            refusal = station::OutputThatIsAnInput({options.logFile}, {}, port);
        }
    }
    if (!refusal.isEmpty()) {
        return fail(kExitUsage, refusal);
    }

    station::Station::Settings settings;
    settings.update.imagePath = options.imagePath;
    settings.update.baud = options.baud;
    settings.update.timeoutSeconds = options.timeoutSeconds;
    settings.retries = options.retries;
    settings.logFile = options.logFile;
    QMap<QString, int> passed;
    QMap<QString, int> failed;
    bool cut = false; // an update was under way when a signal came
    const EventPrinter printer(style);
    station::Station stationCore(
        settings, image, loaded.bytes, stopSignal, [&](const StationEvent& event) {
            printer(event);
            if (event.kind == StationEvent::Kind::Ended && !event.retrying) {
                const bool ok = event.status.state == PortState::Passed;
                ++(ok ? passed : failed)[event.status.port];
                cut = cut || event.status.exitCode >= 128;
            }
        });
    if (const QString error = stationCore.OpenLog(); !error.isEmpty()) {
        return fail(kExitUsage,
                    QStringLiteral("cannot write the log %1: %2").arg(options.logFile, error));
    }

    LiveLines live;
    auto draw = [&] {
        if (style == EventPrinter::Style::Terminal) {
            live.Draw(stationCore.Snapshot());
        }
    };
    if (options.watch) {
        const station::PortWatcher watcher(options.watchPattern);
        if (style != EventPrinter::Style::Json) {
            Out(stderr,
                QStringLiteral("Watching %1 for devices; Ctrl-C ends.\n")
                    .arg(options.watchPattern.isEmpty() ? QStringLiteral("the USB serial ports")
                                                        : options.watchPattern));
        }
        QSet<QString> seen; // flashed and not gone since
        while (stopSignal == 0) {
            const QStringList present = watcher.Present();
            for (const QString& port : present) {
                if (!seen.contains(port) && stationCore.Flash(port)) {
                    seen.insert(port);
                }
            }
            for (auto it = seen.begin(); it != seen.end();) {
                it =
                    present.contains(*it) || stationCore.Busy(*it) ? std::next(it) : seen.erase(it);
            }
            stationCore.Reap();
            draw();
            QThread::msleep(100);
        }
    } else {
        for (const QString& port : ports) {
            stationCore.Flash(port);
        }
        while (stationCore.AnyBusy()) {
            draw();
            QThread::msleep(100);
        }
    }
    stationCore.WaitForAll();
    draw();
    int exitCode = failed.isEmpty() ? kExitOk : kExitSomeFailed;
    if (cut || (!options.watch && stopSignal != 0)) {
        exitCode = 128 + stopSignal;
    }
    PrintSummary(stationCore.Snapshot(), passed, failed, options.json, exitCode);
    return exitCode;
}

} // namespace flash
