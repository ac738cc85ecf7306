// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/Station.h"

#include "station/OutputFile.h"
#include "update/VisibleText.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QThread>

namespace station {

QString StateName(PortState state) {
    switch (state) {
    case PortState::Waiting:
        return QStringLiteral("waiting");
    case PortState::Flashing:
        return QStringLiteral("flashing");
    case PortState::Passed:
        return QStringLiteral("passed");
    case PortState::Failed:
        break;
    }
    return QStringLiteral("failed");
}

QByteArray ImageSha256(const ImageStore& image, qint64 bytes) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (int b = 0; b <= image.m_lastBlock && bytes > 0; ++b) {
        const auto block = image.Block(static_cast<std::uint8_t>(b));
        const qint64 take = std::min<qint64>(bytes, tavrel::kBlockSize);
        hash.addData(QByteArrayView(reinterpret_cast<const char*>(block.data()), take));
        bytes -= take;
    }
    return hash.result().toHex();
}

namespace {

bool Retryable(int exitCode) {
    // The image and the command line do not get better by trying again; a signal ends it all.
    return exitCode == kExitPort || exitCode == kExitNoAck || exitCode == kExitPortLost;
}

} // namespace

// What one attempt on one port reports, turned into the port's status and the station's events.
class Station::Session : public ProgressReporter {
  public:
    Session(Station& station, const QString& port) : m_station(station), m_port(port) {}
    void Start(const TransferFigures& figures) override {
        m_station.Update(
            m_port,
            [&](PortStatus& s) {
                s.blocks = figures.blocks;
                s.device = figures.port;
            },
            StationEvent::Kind::Progress);
    }
    void Block(int, int sent, double seconds) override {
        m_station.Update(
            m_port,
            [&](PortStatus& s) {
                s.blocksSent = sent;
                s.seconds = seconds;
                s.kibPerSecond =
                    seconds > 0 ? std::min<qint64>(qint64(sent) * 1024, m_station.m_imageBytes) /
                                      1024.0 / seconds
                                : 0;
            },
            StationEvent::Kind::Progress);
    }
    void Done(double, const Outcome& outcome) override { m_outcome = outcome; }
    void Error(int, const QString& message) override { m_reason = message; }
    void DeviceText(const QString& line) override {
        m_station.Update(
            m_port, [](PortStatus&) {}, StationEvent::Kind::DeviceText, line);
    }
    const QString& Reason() const { return m_reason; }
    const Outcome& Result() const { return m_outcome; }

  private:
    Station& m_station;
    QString m_port;
    QString m_reason;
    Outcome m_outcome;
};

Station::Station(const Settings& settings, const ImageStore& image, qint64 imageBytes,
                 const StopFlag& stopSignal, EventSink sink)
    : m_settings(settings), m_image(image), m_imageBytes(imageBytes),
      m_imageSha256(ImageSha256(image, imageBytes)), m_stopSignal(stopSignal),
      m_sink(std::move(sink)) {}

Station::~Station() {
    WaitForAll();
}

QString Station::OpenLog(const QStringList& ports) {
    if (m_settings.logFile.isEmpty()) {
        return {};
    }
    const QByteArray& path = m_settings.logFile;
    const QString refusal =
        RefuseOutput(path, OutputKind::ResultsLog, m_settings.update.imagePath, ports);
    return refusal.isEmpty() ? m_log.Open(path) : refusal;
}

bool Station::Flash(const QString& port) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_running[port]) {
        return false;
    }
    if (auto old = m_threads.find(port); old != m_threads.end()) {
        old->second->wait(); // an earlier update there has ended; its thread goes now
        m_threads.erase(old);
    }
    m_running[port] = true;
    if (!m_order.contains(port)) {
        m_order << port;
    }
    PortStatus& status = m_status[port];
    status = PortStatus{};
    status.port = port;
    status.blocks = m_image.m_lastBlock + 1;
    std::unique_ptr<QThread> thread(QThread::create([this, port] {
        RunSession(port);
        const std::lock_guard<std::mutex> done(m_mutex);
        m_running[port] = false;
    }));
    thread->start();
    m_threads[port] = std::move(thread);
    return true;
}

bool Station::Busy(const QString& port) const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_running.find(port);
    return found != m_running.end() && found->second;
}

bool Station::AnyBusy() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [port, running] : m_running) {
        if (running) {
            return true;
        }
    }
    return false;
}

void Station::Reap() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_threads.begin(); it != m_threads.end();) {
        if (!m_running[it->first]) {
            it->second->wait();
            it = m_threads.erase(it);
        } else {
            ++it;
        }
    }
}

void Station::WaitForAll() {
    std::map<QString, std::unique_ptr<QThread>> threads;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        threads.swap(m_threads);
    }
    for (auto& [port, thread] : threads) {
        thread->wait();
    }
}

QList<PortStatus> Station::Snapshot() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    QList<PortStatus> all;
    for (const QString& port : m_order) {
        all << m_status.at(port);
    }
    return all;
}

void Station::Update(const QString& port, const std::function<void(PortStatus&)>& change,
                     StationEvent::Kind kind, const QString& text, bool retrying) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    PortStatus& status = m_status[port];
    change(status);
    if (m_sink) {
        m_sink(StationEvent{kind, status, text, retrying}); // one at a time, in order
    }
}

void Station::RunSession(const QString& port) {
    const int attempts = 1 + std::max(0, m_settings.retries);
    const bool seen = QFileInfo::exists(port); // a port there when its update was asked for
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        UpdateSettings settings = m_settings.update;
        settings.port = port;
        Session session(*this, port);
        // Before the update: a device that restarts after the switch may be gone after it.
        const UsbIdentity usb = IdentifyUsbDevice(port);
        const QString realDevice = QFileInfo(port).canonicalFilePath(); // what the name led to
        Update(
            port,
            [&](PortStatus& s) {
                s.state = PortState::Flashing;
                s.attempt = attempt;
                s.blocksSent = 0;
                s.seconds = 0;
                s.kibPerSecond = 0;
                s.exitCode = -1;
                s.reason.clear();
            },
            StationEvent::Kind::Started);
        const QDateTime startedAt = QDateTime::currentDateTimeUtc();
        QElapsedTimer clock;
        clock.start();
        int exitCode = 0;
        QString device;
        bool inUse = false;
        {
            PortUpdate update(settings, session, m_stopSignal, &m_image, m_imageBytes,
                              m_settings.imageDescription);
            exitCode = update.Run();
            device = realDevice.isEmpty() ? update.DevicePath() : realDevice;
            inUse = update.PortInUse();
        }
        const double seconds = clock.nsecsElapsed() / 1e9;
        // A port that another program holds is final: another attempt would fight it for the
        // board, and two stations on the same ports would flash every board twice.
        const bool worthRetrying =
            exitCode != kExitOk && Retryable(exitCode) && !inUse && attempt < attempts;
        if (worthRetrying) {
            // A moment for a board that was just plugged to settle. A stop then ends it all
            // here: opening the port again would raise DTR and reset an auto-reset board.
            for (int i = 0; i < 10 && m_stopSignal == 0; ++i) {
                QThread::msleep(100);
            }
        }
        bool retrying = worthRetrying && m_stopSignal == 0;
        QString reason = session.Reason();
        if (exitCode == kExitPort && seen && !QFileInfo::exists(port)) {
            reason = QStringLiteral("%1 vanished before it could be opened: it was unplugged, or "
                                    "the board reset")
                         .arg(port);
        }
        if (worthRetrying && !retrying) {
            reason +=
                QStringLiteral("; no further attempt: stopped by %1").arg(StopCause(m_stopSignal));
        }
        if (m_log.IsOpen()) {
            // On the disk before the next attempt on this port starts.
            const QString logError = m_log.Append(
                {{"schema", 1},
                 {"time", startedAt.toString(Qt::ISODateWithMs)},
                 {"version", QStringLiteral(TAVREL_VERSION)},
                 {"host", QSysInfo::machineHostName()},
                 {"port", port},
                 {"device", device},
                 {"usb_serial", usb.serialNumber},
                 {"usb_vendor_id", usb.vendorId},
                 {"usb_product_id", usb.productId},
                 {"image",
                  QFileInfo(QFile::decodeName(m_settings.update.imagePath)).absoluteFilePath()},
                 {"image_bytes", m_imageBytes},
                 {"image_sha256", QString::fromLatin1(m_imageSha256)},
                 {"blocks", m_image.m_lastBlock + 1},
                 {"result", exitCode == kExitOk ? "passed" : "failed"},
                 {"exit_code", exitCode},
                 {"reason", reason},
                 {"last_block_acknowledged", session.Result().lastBlockAcknowledged},
                 {"seconds", seconds},
                 {"attempt", attempt}});
            if (!logError.isEmpty()) {
                // A board without its record is no board passed: the line stops here. The
                // board's own result stays beside the log's reason.
                reason = QStringLiteral("%1; and the result could not be written to the log %2: "
                                        "%3")
                             .arg(exitCode == kExitOk ? QStringLiteral("the board passed") : reason,
                                  VisibleText(m_settings.logFile), logError);
                exitCode = exitCode == kExitOk ? kExitUsage : exitCode;
                retrying = false;
            }
        }
        Update(
            port,
            [&](PortStatus& s) {
                s.state = exitCode == kExitOk ? PortState::Passed : PortState::Failed;
                s.exitCode = exitCode;
                s.reason = reason;
                s.lastBlockAcknowledged = session.Result().lastBlockAcknowledged;
                s.seconds = seconds;
                if (!device.isEmpty()) {
                    s.device = device;
                }
            },
            StationEvent::Kind::Ended, {}, retrying);
        if (!retrying) {
            return;
        }
    }
}

} // namespace station
