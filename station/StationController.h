// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The station as its front ends drive it: tavrel-flash with several ports or --watch, and the
// station window. It owns the station, the look at the ports, the tracking of boards that come,
// go and restart, the counters and the stop, and tells each port's events as a Qt signal on its
// own thread; the front ends only show them. Nobody asks it whether an update still runs: it
// says so.

#include "serial/PortFilter.h"
#include "serial/StopFlag.h"
#include "station/PlugTracker.h"
#include "station/PortWatcher.h"
#include "station/Station.h"

#include <QMap>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <map>
#include <memory>

namespace station {

class StationController : public QObject {
    Q_OBJECT

  public:
    static constexpr int kLookMs = 100; // how often the ports are looked at while watching

    // `stop` is the run's stop flag: a signal handler may set it at any time; Stop() sets it
    // too.
    explicit StationController(StopFlag& stop, QObject* parent = nullptr);
    ~StationController() override; // waits for every update under way to end

    // The image and the settings every next update uses; the reason when they cannot be taken:
    // updates are under way, or the results log cannot be written (`ports`: the ports named for
    // the run, which the log may not be).
    QString Configure(const Station::Settings& settings, const LoadedImage& image,
                      const QStringList& ports = {});
    bool Configured() const { return m_station != nullptr; }

    // Looks for boards every kLookMs: the system's USB serial ports, or the paths matching
    // `pattern`; of those, the ports that one of `filters` takes (all without a filter). The
    // ports on serial servers in `networkPorts` are there once their server answers.
    // A network port is opened at `baud` when found, and its first update runs on that
    // connection.
    void Watch(const QByteArray& pattern, const QList<PortFilter>& filters = {},
               const QStringList& networkPorts = {}, qint32 baud = 115200);
    // Each board is flashed as soon as it appears (and every waiting one now).
    void SetAuto(bool on);
    // Starts an update on each of these ports where none runs.
    void Flash(const QStringList& ports);
    // Starts an update on every port that waits.
    void FlashWaiting();
    // Ends every update under way at once, each recorded as stopped by `cause` (a signal's
    // number, or kStopByOperator). The operator's stop is lifted once all have ended.
    void Stop(int cause);
    bool Stopping() const { return m_stop != 0; }
    // One look at the ports; the timer's, and a test's.
    void Look();

    bool Busy() const { return !m_busy.isEmpty(); }
    bool Busy(const QString& port) const { return m_busy.contains(port); }
    int Passed() const { return m_passed; }
    int Failed() const { return m_failed; }
    // A stop cut an update short.
    bool Cut() const { return m_cut; }
    // Sets the counts to zero, after writing them to the results log as a record of their own;
    // the log's reason when it could not be written.
    QString ResetCounters();
    // Every port seen or flashed, in the order they came.
    QList<PortStatus> Ports() const;

  Q_SIGNALS:
    void PortEvent(const station::StationEvent& event);
    // No update runs: the last one has ended, or a look under a stop found none.
    void Idle();

  private:
    void OnStationEvent(const StationEvent& event);
    void Tell(StationEvent::Kind kind, const PortStatus& status, const QString& text = {});
    // Lifts the operator's stop once nothing runs; says Idle.
    void SettleIfIdle();

    StopFlag& m_stop;
    std::unique_ptr<Station> m_station;
    // The ports present that the filters take; a port's answer stands while its name leads to
    // the same device.
    QStringList Taken(const QStringList& present);

    std::unique_ptr<PortWatcher> m_watcher;
    QList<PortFilter> m_filters;
    QMap<QString, QPair<QString, bool>> m_taken; // port -> the device node it led to, taken
    PlugTracker m_plugs;
    QTimer m_looks;
    bool m_auto = false;
    QSet<QString> m_busy;
    std::map<QString, PortStatus> m_ports;
    QStringList m_order;
    int m_passed = 0;
    int m_failed = 0;
    bool m_cut = false;
};

} // namespace station
