// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/RunPrinter.h"

#include "base/VisibleText.h"
#include "cli/ExitStatus.h"
#include "cli/Output.h"

#include <QJsonObject>
#include <unistd.h>

namespace flash {

using station::PortState;
using station::PortStatus;
using station::StationEvent;

namespace {

constexpr int kBarWidth = 20;

QString DeviceOf(const PortStatus& s) {
    return s.device.isEmpty() ? s.port : s.device;
}

QString LiveLine(const PortStatus& s, const QString& note) {
    QString state = station::StateName(s.state);
    if (s.state == PortState::Flashing && s.attempt > 1) {
        state += QStringLiteral(" #%1").arg(s.attempt);
    }
    const int filled = s.blocks > 0 ? s.blocksSent * kBarWidth / s.blocks : 0;
    QString line =
        QStringLiteral("%1 %2 [%3%4] %5/%6 %7 KiB/s")
            .arg(s.port, -24)
            .arg(state, -11)
            .arg(QString(filled, QLatin1Char('#')), QString(kBarWidth - filled, QLatin1Char('.')))
            .arg(s.blocksSent, 3)
            .arg(s.blocks, -3)
            .arg(s.kibPerSecond, 6, 'f', 1);
    if (s.state == PortState::Failed) {
        line += QStringLiteral("  ") + s.reason.left(60);
    } else if (s.state == PortState::Passed && !note.isEmpty()) {
        line += QStringLiteral("  ") + note.left(60);
    }
    return line;
}

QString OutcomeNote(const PortStatus& s) {
    // No switch goes without the last block's ACK: a board that passed has acknowledged it.
    QString note = QStringLiteral("The device acknowledged the last block.");
    if (s.portClosedAfterSwitch) {
        note += QStringLiteral("\nThe device closed the port after the switch packet (it restarts "
                               "with its new program).");
    }
    return note;
}

} // namespace

RunPrinter::Style RunPrinter::StyleFor(bool json, bool quiet, bool lineByLine) {
    return json                                     ? Style::Json
           : quiet                                  ? Style::Quiet
           : ::isatty(STDERR_FILENO) && !lineByLine ? Style::Terminal
                                                    : Style::Plain;
}

RunPrinter::RunPrinter(Style style, const RunFigures& figures)
    : m_style(style), m_figures(figures) {
    m_redraw.setSingleShot(true);
    m_redraw.setInterval(100);
    QObject::connect(&m_redraw, &QTimer::timeout, [this] { Redraw(false); });
}

void RunPrinter::Line(const QString& text, bool progress) {
    QString out;
    if (m_drawn > 0) {
        // Over the live lines; they are drawn again below it.
        out += QStringLiteral("\x1b[%1A\r\x1b[J").arg(m_drawn);
        m_drawn = 0;
        if (!m_redraw.isActive()) {
            m_redraw.start();
        }
    }
    Print(stderr, out + text + QLatin1Char('\n'), progress ? Lane::Progress : Lane::Result);
}

void RunPrinter::Redraw(bool now) {
    if (!now && OutputWaiting(stderr)) {
        // A terminal that does not take its output (Ctrl-S): one picture at a time, and only
        // once it has been drawn does the next one know where the last one stands.
        m_redraw.start();
        return;
    }
    QString text;
    if (m_drawn > 0) {
        text += QStringLiteral("\x1b[%1A").arg(m_drawn); // back to the first line
    }
    for (const QString& port : m_liveOrder) {
        text += QStringLiteral("\r\x1b[2K") +
                VisibleText(LiveLine(m_live.value(port), m_notes.value(port)).toUtf8()) +
                QLatin1Char('\n');
    }
    m_drawn = static_cast<int>(m_liveOrder.size());
    Print(stderr, text);
}

void RunPrinter::Show(const StationEvent& e) {
    const PortStatus& s = e.status;
    if (m_style == Style::Terminal && e.kind != StationEvent::Kind::Gone) {
        if (!m_liveOrder.contains(s.port)) {
            m_liveOrder << s.port;
        }
        m_live[s.port] = s;
        if (!m_redraw.isActive()) {
            m_redraw.start();
        }
    }
    switch (e.kind) {
    case StationEvent::Kind::Appeared:
    case StationEvent::Kind::Gone:
        break;
    case StationEvent::Kind::Started:
        m_notes.remove(s.port);
        if (m_style == Style::Json) {
            PrintJsonLine({{"event", "start"},
                           {"port", s.port},
                           {"attempt", s.attempt},
                           {"baud", m_figures.baud},
                           {"bytes", m_figures.imageBytes},
                           {"blocks", s.blocks},
                           {"image", m_figures.image}});
        } else if (m_style == Style::Plain) {
            Line(QStringLiteral("%1: started, attempt %2").arg(s.port).arg(s.attempt));
        }
        break;
    case StationEvent::Kind::Progress:
        ShowProgress(s);
        break;
    case StationEvent::Kind::DeviceText:
        // Standard output stays JSON only.
        if (m_style != Style::Quiet) {
            Line(QStringLiteral("%1: device: %2").arg(s.port, e.text), true);
        }
        break;
    case StationEvent::Kind::Ended:
        ShowEnded(e);
        break;
    case StationEvent::Kind::Note:
        m_notes[s.port] = e.text;
        if (m_style == Style::Json) {
            PrintJsonLine({{"event", "note"}, {"port", s.port}, {"message", e.text}});
        } else if (m_style != Style::Terminal) {
            Line(QStringLiteral("%1: %2").arg(s.port, e.text));
        }
        break;
    }
}

void RunPrinter::ShowProgress(const PortStatus& s) {
    if (s.blocksSent <= 0 || s.blocks <= 0) {
        return; // the port is open: its figures are known, nothing is sent yet
    }
    if (m_style == Style::Json) {
        const int index = s.blocksSent - 1;
        PrintJsonLine({{"event", "block"},
                       {"port", s.port},
                       {"index", index},
                       {"number", (index + 20) % 256},
                       {"sent", s.blocksSent},
                       {"blocks", s.blocks},
                       {"seconds", s.seconds}},
                      Lane::Progress);
    } else if (m_style == Style::Plain && m_figures.everyBlock) {
        const int index = s.blocksSent - 1;
        Line(QStringLiteral("%1: block %2 (0x%3) sent at %4 s")
                 .arg(s.port)
                 .arg(index)
                 .arg((index + 20) % 256, 2, 16, QLatin1Char('0'))
                 .arg(s.seconds, 0, 'f', 3),
             true);
    } else if (m_style == Style::Plain &&
               s.blocksSent * 10 / s.blocks != (s.blocksSent - 1) * 10 / s.blocks) {
        // Every tenth of the image, not every block.
        Line(QStringLiteral("%1: %2% (%3/%4 blocks, %5 KiB/s while sending)")
                 .arg(s.port)
                 .arg(s.blocksSent * 100 / s.blocks)
                 .arg(s.blocksSent)
                 .arg(s.blocks)
                 .arg(s.kibPerSecond, 0, 'f', 1),
             true);
    }
}

void RunPrinter::ShowEnded(const StationEvent& e) {
    const PortStatus& s = e.status;
    const bool passed = s.state == PortState::Passed;
    if (m_style == Style::Json) {
        PrintJsonLine({{"event", passed ? "done" : "error"},
                       {"port", s.port},
                       {"slot", s.slot},
                       {"device", s.device},
                       {"attempt", s.attempt},
                       {"exit_code", ExitCodeOf(s.ending)},
                       {"failure", station::FailureName(s.ending.failure)},
                       {"message", s.reason},
                       {"baud", m_figures.baud},
                       {"bytes", m_figures.switchOnly ? 0 : m_figures.imageBytes},
                       {"blocks", s.blocks},
                       {"seconds", s.seconds},
                       {"kib_per_second", s.kibPerSecond},
                       {"last_block_acknowledged", s.lastBlockAcknowledged},
                       {"port_closed_after_switch", s.portClosedAfterSwitch},
                       {"expect_text", s.expectText},
                       {"switch_only", m_figures.switchOnly},
                       {"retrying", e.retrying}});
        return;
    }
    if (!passed) {
        if (m_style != Style::Quiet || !e.retrying) {
            // Each failure names its port, once.
            const QString named = s.reason.contains(s.port) ? s.reason : s.port + ": " + s.reason;
            Line(QStringLiteral("tavrel-flash: %1%2")
                     .arg(named, e.retrying ? QStringLiteral("; starting over") : QString()));
        }
        return;
    }
    if (m_style == Style::Quiet) {
        return;
    }
    if (m_figures.switchOnly) {
        Line(QStringLiteral("Sent the switch packet to %1").arg(DeviceOf(s)));
        return;
    }
    // With several ports, every line names its own.
    const QString whose = m_figures.severalPorts
                              ? (s.slot.isEmpty() ? s.port : s.slot) + QStringLiteral(": ")
                              : QString();
    Line(whose + OutcomeNote(s).replace(QLatin1Char('\n'), QLatin1Char('\n') + whose));
    if (s.expectMatched) {
        Line(whose + QStringLiteral("The new program said: %1").arg(s.expectText));
    }
    // The whole update's time, the closing waits around the switch packet included.
    Line(QStringLiteral("Wrote %1 bytes (%2 blocks) to %3 at %4 baud in %5 s (%6 KiB/s, the "
                        "closing waits included)")
             .arg(m_figures.imageBytes)
             .arg(s.blocks)
             .arg(DeviceOf(s))
             .arg(m_figures.baud)
             .arg(s.seconds, 0, 'f', 2)
             .arg(s.kibPerSecond, 0, 'f', 1));
}

void RunPrinter::Summary(const QList<PortStatus>& ports, int passed, int failed, int exitCode,
                         bool table) {
    if (m_redraw.isActive()) {
        m_redraw.stop();
        Redraw(true); // the live lines as they ended
    }
    if (m_style == Style::Json) {
        PrintJsonLine({{"event", "summary"},
                       {"passed", passed},
                       {"failed", failed},
                       {"total", passed + failed},
                       {"exit_code", exitCode}});
        return;
    }
    if (m_style == Style::Quiet || !table) {
        return; // the failures have been told as they came
    }
    // The port column as wide as its longest name: the columns stay in line.
    qsizetype width = 4;
    for (const PortStatus& s : ports) {
        width = std::max(width, s.port.size());
    }
    const int portWidth = -static_cast<int>(width);
    Print(stderr, QStringLiteral("\n%1 %2 %3 %4 %5\n")
                      .arg(QStringLiteral("PORT"), portWidth)
                      .arg(QStringLiteral("RESULT"), -8)
                      .arg(QStringLiteral("EXIT"), 4)
                      .arg(QStringLiteral("SECONDS"), 8)
                      .arg(QStringLiteral("REASON")));
    for (const PortStatus& s : ports) {
        const bool ended = s.state == PortState::Passed || s.state == PortState::Failed;
        Print(stderr, QStringLiteral("%1 %2 %3 %4 %5\n")
                          .arg(s.port, portWidth)
                          .arg(station::StateName(s.state), -8)
                          .arg(ended ? QString::number(ExitCodeOf(s.ending)) : QString(), 4)
                          .arg(s.seconds, 8, 'f', 2)
                          .arg(s.reason));
    }
    Print(stderr, QStringLiteral("%1 passed, %2 failed, %3 in all\n")
                      .arg(passed)
                      .arg(failed)
                      .arg(passed + failed));
}

} // namespace flash
