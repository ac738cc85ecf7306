// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// How tavrel-flash tells a run, of one port or of many alike: on a terminal a live line per
// port, rewritten in place; otherwise a line per event, each naming its port; JSON records on
// standard output for programs; or failures alone. Every run ends with its summary.

#include "station/Station.h"

#include <QMap>
#include <QString>
#include <QTimer>

namespace flash {

struct RunFigures {
    qint32 baud = 0;
    qint64 imageBytes = 0;
    QString image; // the image's format and address range
    bool switchOnly = false;
    bool everyBlock = false;   // a line for each block, with its time, not one every tenth
    bool severalPorts = false; // every line names its port (or slot)
};

class RunPrinter {
  public:
    enum class Style { Terminal, Plain, Json, Quiet };
    // The style for this run's options and standard error; `lineByLine`: no live lines.
    static Style StyleFor(bool json, bool quiet, bool lineByLine = false);

    RunPrinter(Style style, const RunFigures& figures);
    void Show(const station::StationEvent& event);
    // The run is over: its summary, with the status it exits with. `table`: one line per port
    // (a run of several ports, or one that watched).
    void Summary(const QList<station::PortStatus>& ports, int passed, int failed, int exitCode,
                 bool table);

  private:
    void ShowEnded(const station::StationEvent& event);
    void ShowProgress(const station::PortStatus& status);
    // A line of its own, above the live lines on a terminal.
    void Line(const QString& text, bool progress = false);
    // The live lines again; unless `now`, not while the terminal holds output back.
    void Redraw(bool now);

    Style m_style;
    RunFigures m_figures;
    QMap<QString, station::PortStatus> m_live; // a terminal's live lines, by port
    QStringList m_liveOrder;
    QMap<QString, QString> m_notes; // said of a port beside its state
    int m_drawn = 0;                // live lines on the terminal now
    QTimer m_redraw;                // at most ten redraws a second
};

} // namespace flash
