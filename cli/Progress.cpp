// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Progress.h"

#include "cli/Output.h"

#include <QJsonObject>
#include <cstdio>

namespace flash {

QString SummaryLine(const TransferFigures& f, double seconds) {
    const double kib = seconds > 0 ? f.imageBytes / 1024.0 / seconds : 0;
    return QStringLiteral("Wrote %1 bytes (%2 blocks) to %3 at %4 baud in %5 s (%6 KiB/s)")
        .arg(f.imageBytes)
        .arg(f.blocks)
        .arg(f.port)
        .arg(f.baud)
        .arg(seconds, 0, 'f', 2)
        .arg(kib, 0, 'f', 1);
}

namespace {

QString OutcomeNote(const Outcome& outcome) {
    QString note = outcome.lastBlockAcknowledged
                       ? QStringLiteral("The device acknowledged the last block.\n")
                       : QStringLiteral("The device did not acknowledge the last block within the "
                                        "1.5 s before the switch (it may still have taken it).\n");
    if (outcome.portClosedAfterSwitch) {
        note += QStringLiteral("The device closed the port after the switch packet (it restarts "
                               "with its new program).\n");
    }
    return note;
}

class HumanReporter : public ProgressReporter {
  public:
    explicit HumanReporter(bool terminal) : m_terminal(terminal) {}
    void Start(const TransferFigures& f) override {
        m_figures = f;
        Print(stderr, QStringLiteral("Writing %1 bytes (%2 blocks) to %3 at %4 baud\n")
                          .arg(f.imageBytes)
                          .arg(f.blocks)
                          .arg(f.port)
                          .arg(f.baud));
        if (!f.image.isEmpty()) {
            Print(stderr, QStringLiteral("Image: %1\n").arg(f.image));
        }
    }
    void Block(int, int sent, double seconds) override {
        const int percent = m_figures.blocks > 0 ? sent * 100 / m_figures.blocks : 100;
        const qint64 bytes = std::min<qint64>(qint64(sent) * 1024, m_figures.imageBytes);
        if (m_terminal) {
            const double rate = seconds > 0 ? bytes / 1024.0 / seconds : 0;
            const double left = rate > 0 ? (m_figures.imageBytes - bytes) / 1024.0 / rate : 0;
            const int filled = percent * 30 / 100;
            Print(
                stderr,
                QStringLiteral("\r[%1%2] %3/%4 blocks %5/%6 bytes %7% %8 KiB/s %9 s left ")
                    .arg(QString(filled, QLatin1Char('#')), QString(30 - filled, QLatin1Char('.')))
                    .arg(sent)
                    .arg(m_figures.blocks)
                    .arg(bytes)
                    .arg(m_figures.imageBytes)
                    .arg(percent, 3)
                    .arg(rate, 0, 'f', 1)
                    .arg(left, 0, 'f', 0),
                Lane::Progress);
            m_lineOpen = true;
        } else if (percent / 10 > m_lastTenth || sent == m_figures.blocks) {
            m_lastTenth = percent / 10;
            Print(
                stderr,
                QStringLiteral("%1% (%2/%3 blocks)\n").arg(percent).arg(sent).arg(m_figures.blocks),
                Lane::Progress);
        }
    }
    void Done(double seconds, const Outcome& outcome) override {
        CloseLine();
        Print(stderr, OutcomeNote(outcome));
        Print(stderr, SummaryLine(m_figures, seconds) + QLatin1Char('\n'));
    }
    void Error(int, const QString& message) override {
        CloseLine();
        Print(stderr, QStringLiteral("tavrel-flash: %1\n").arg(message));
    }
    void DeviceText(const QString& line) override {
        CloseLine();
        Print(stderr, QStringLiteral("device: %1\n").arg(line), Lane::Progress);
    }

  private:
    void CloseLine() {
        if (m_lineOpen) {
            Print(stderr, QStringLiteral("\n"));
            m_lineOpen = false;
        }
    }
    bool m_terminal;
    bool m_lineOpen = false;
    int m_lastTenth = 0;
    TransferFigures m_figures;
};

class JsonReporter : public ProgressReporter {
  public:
    void Start(const TransferFigures& f) override {
        m_figures = f;
        PrintJsonLine({{"event", "start"},
                       {"port", f.port},
                       {"baud", f.baud},
                       {"bytes", f.imageBytes},
                       {"blocks", f.blocks},
                       {"image", f.image}});
    }
    void Block(int index, int sent, double seconds) override {
        PrintJsonLine({{"event", "block"},
                       {"index", index},
                       {"number", (index + 20) % 256},
                       {"sent", sent},
                       {"blocks", m_figures.blocks},
                       {"seconds", seconds}},
                      Lane::Progress);
    }
    void Done(double seconds, const Outcome& outcome) override {
        PrintJsonLine({{"event", "done"},
                       {"exit_code", 0},
                       {"port", m_figures.port},
                       {"baud", m_figures.baud},
                       {"bytes", m_figures.imageBytes},
                       {"blocks", m_figures.blocks},
                       {"seconds", seconds},
                       {"last_block_acknowledged", outcome.lastBlockAcknowledged},
                       {"port_closed_after_switch", outcome.portClosedAfterSwitch}});
    }
    void Error(int exitCode, const QString& message) override {
        PrintJsonLine({{"event", "error"}, {"exit_code", exitCode}, {"message", message}});
    }
    void SwitchSent(const QString& port) override {
        PrintJsonLine({{"event", "done"}, {"exit_code", 0}, {"port", port}, {"switch_only", true}});
    }
    void DeviceText(const QString& line) override {
        // Standard output stays JSON only.
        Print(stderr, QStringLiteral("device: %1\n").arg(line), Lane::Progress);
    }

  private:
    TransferFigures m_figures;
};

class QuietReporter : public HumanReporter {
  public:
    QuietReporter() : HumanReporter(false) {}
    void Start(const TransferFigures&) override {}
    void Block(int, int, double) override {}
    void Done(double, const Outcome&) override {}
};

} // namespace

std::unique_ptr<ProgressReporter> MakeReporter(ReportStyle style) {
    switch (style) {
    case ReportStyle::Terminal:
        return std::make_unique<HumanReporter>(true);
    case ReportStyle::Plain:
        return std::make_unique<HumanReporter>(false);
    case ReportStyle::Json:
        return std::make_unique<JsonReporter>();
    case ReportStyle::Quiet:
        break;
    }
    return std::make_unique<QuietReporter>();
}

} // namespace flash
