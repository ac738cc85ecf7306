// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/StationController.h"

#include "serial/NetworkAddress.h"
#include "serial/PortResolver.h"
#include "serial/SerialSettings.h"

#include <QFileInfo>

namespace station {

namespace {
// Said of a port whose board dropped it right after passing and came back: without a USB serial
// number that says otherwise, it is taken for the same board restarting with its new program.
const QString kRestartedNote = QStringLiteral(
    "back right after passing: taken for the same board restarting, not flashed again "
    "(unplug it for a second to flash it as a new board)");
} // namespace

StationController::StationController(StopFlag& stop, QObject* parent)
    : QObject(parent), m_stop(stop) {
    connect(&m_looks, &QTimer::timeout, this, &StationController::Look);
}

StationController::~StationController() {
    m_station.reset(); // its updates end before the events they tell have anywhere to go
}

QString StationController::Configure(const Station::Settings& settings, const LoadedImage& image,
                                     const QStringList& ports) {
    if (Busy()) {
        return tr("updates are under way with the image and rate chosen before");
    }
    auto station =
        std::make_unique<Station>(settings, image, m_stop, [this](const StationEvent& event) {
            // From the ports' threads, in each port's order: told on this object's thread.
            QMetaObject::invokeMethod(
                this, [this, event] { OnStationEvent(event); }, Qt::QueuedConnection);
        });
    if (const OutputDone opened = station->OpenLog(ports); !opened) {
        return opened.error().text;
    }
    m_station = std::move(station);
    return {};
}

void StationController::Watch(const QByteArray& pattern, const QList<PortFilter>& filters,
                              const QStringList& networkPorts, qint32 baud) {
    // One server port named twice is one board: the watcher's probes claim each identity once,
    // each looking its host up on its own thread, never on this one.
    QList<Port> watched;
    for (const QString& name : networkPorts) {
        if (const PortLookup lookup = ResolvePort(name); lookup) {
            watched << *lookup;
        }
    }
    SerialSettings settings; // 8 data bits, no parity, 1 stop bit, as every update runs
    settings.baud = baud;
    m_watcher = std::make_unique<PortWatcher>(pattern, watched, settings);
    m_filters = filters;
    Look();
    m_looks.start(kLookMs);
}

void StationController::SetAuto(bool on) {
    m_auto = on;
    if (on) {
        FlashWaiting();
    }
}

void StationController::Flash(const QStringList& ports) {
    if (!m_station) {
        return;
    }
    for (const QString& port : ports) {
        if (m_stop != 0) {
            return; // opening another port would raise DTR and reset an auto-reset board
        }
        if (Busy(port)) {
            continue;
        }
        // A network port's first update runs on the connection that found it.
        if (!m_station->Flash(port, m_watcher ? m_watcher->TakeLine(port) : nullptr)) {
            m_plugs.Forget(port); // its last update is still ending: the next look again
            continue;
        }
        m_busy.insert(port);
        if (!m_order.contains(port)) {
            m_order << port;
        }
        PortStatus& status = m_ports[port];
        status.port = port;
        status.state = PortState::Flashing;
    }
}

void StationController::FlashWaiting() {
    QStringList waiting;
    for (const QString& port : m_order) {
        if (m_ports[port].state == PortState::Waiting) {
            waiting << port;
        }
    }
    Flash(waiting);
}

void StationController::Stop(int cause) {
    if (cause != kStopByOperator) {
        m_stop = cause; // the run ends
    } else if (m_stop == 0 && Busy()) {
        m_stop = cause;
    }
    SettleIfIdle();
}

void StationController::SettleIfIdle() {
    if (Busy()) {
        return;
    }
    if (m_stop == kStopByOperator) {
        m_stop = 0; // every update has ended: the next start may run
    }
    Q_EMIT Idle();
}

void StationController::Look() {
    if (m_stop != 0) {
        SettleIfIdle(); // nothing new starts under a stop; the boards are still followed
    }
    if (!m_watcher) {
        return;
    }
    const PlugTracker::Look look = m_plugs.Update(
        Taken(m_watcher->Present()), [this](const QString& port) { return Busy(port); },
        IdentifyUsbDevice, DeviceNumberOf);
    for (const QString& port : look.gone) {
        if (const auto found = m_ports.find(port);
            found != m_ports.end() && found->second.state == PortState::Waiting) {
            m_ports.erase(found); // never flashed: nothing of it to sum up
            m_order.removeAll(port);
        }
        PortStatus status;
        status.port = port;
        Tell(StationEvent::Kind::Gone, status);
    }
    for (const QString& port : look.arrived) {
        PortStatus status;
        status.port = port;
        status.usbSerial = IdentifyUsbDevice(port).serialNumber;
        m_ports[port] = status;
        if (!m_order.contains(port)) {
            m_order << port;
        }
        Tell(StationEvent::Kind::Appeared, status);
    }
    for (const QString& port : look.restarted) {
        Tell(StationEvent::Kind::Note, m_ports[port], kRestartedNote);
    }
    if (m_auto && m_stop == 0) {
        FlashWaiting();
    }
}

QStringList StationController::Taken(const QStringList& present) {
    if (m_filters.isEmpty()) {
        return present;
    }
    QStringList taken;
    for (const QString& port : present) {
        if (LooksLikeNetworkPort(port)) {
            taken << port; // named one by one: no USB identity to filter on
            continue;
        }
        const QString node = DeviceNumberOf(port);
        auto known = m_taken.find(port);
        if (known == m_taken.end() || known->first != node) {
            SerialPortEntry entry;
            entry.device = QFileInfo(port).canonicalFilePath();
            entry.stableNames << port;
            const UsbIdentity usb = IdentifyUsbDevice(port);
            entry.vendorId = usb.vendorId.toLower();
            entry.productId = usb.productId.toLower();
            entry.serialNumber = usb.serialNumber;
            known = m_taken.insert(port, {node, MatchesAny(m_filters, entry)});
        }
        if (known->second) {
            taken << port;
        }
    }
    return taken;
}

QString StationController::ResetCounters() {
    const OutputDone written = m_station ? m_station->Record({{"record", "counters"},
                                                              {"passed", m_passed},
                                                              {"failed", m_failed},
                                                              {"total", m_passed + m_failed}})
                                         : OutputDone{};
    if (!written) {
        return written.error().text; // counts not written stay, to be written the next time
    }
    m_passed = 0;
    m_failed = 0;
    return {};
}

QList<PortStatus> StationController::Ports() const {
    QList<PortStatus> ports;
    for (const QString& port : m_order) {
        ports << m_ports.at(port);
    }
    return ports;
}

void StationController::Tell(StationEvent::Kind kind, const PortStatus& status,
                             const QString& text) {
    Q_EMIT PortEvent(StationEvent{kind, status, text});
}

void StationController::OnStationEvent(const StationEvent& event) {
    const QString& port = event.status.port;
    PortStatus& status = m_ports[port];
    const QString usbSerial = status.usbSerial;
    status = event.status;
    status.usbSerial = usbSerial;
    const bool last = event.kind == StationEvent::Kind::Ended && !event.retrying;
    if (last) {
        // Counted whether or not anybody still shows the port: the counters agree with the log.
        m_busy.remove(port);
        const bool passed = status.state == PortState::Passed;
        ++(passed ? m_passed : m_failed);
        m_cut = m_cut || status.ending.failure == Failure::Stopped;
        if (passed) {
            m_plugs.Passed(port); // known before the look that may miss its port
        }
    }
    StationEvent told = event;
    told.status = status;
    Q_EMIT PortEvent(told);
    if (last) {
        SettleIfIdle();
    }
}

} // namespace station
