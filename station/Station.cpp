// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/Station.h"

#include "base/VisibleText.h"
#include "station/OutputFile.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QThread>
#include <QUuid>

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

namespace {

bool Retryable(Failure failure) {
    // The image and the outputs do not get better by trying again; a stop ends it all.
    return failure == Failure::Port || failure == Failure::NoAck || failure == Failure::PortLost;
}

// The station's name in its records: the host's unless given.
Station::Settings Named(Station::Settings settings) {
    settings.stationName = records::StationNameOr(settings.stationName);
    return settings;
}

} // namespace

// What one attempt on one port reports, turned into the port's status and the station's events.
class Station::Session : public ProgressReporter {
  public:
    Session(const Station& station, PortStatus& status) : m_station(station), m_status(status) {}
    void Start(const TransferFigures& figures) override {
        m_status.blocks = figures.blocks;
        m_status.device = figures.port;
        m_station.Emit(StationEvent::Kind::Progress, m_status);
    }
    void Block(int, int sent, double seconds) override {
        m_status.blocksSent = sent;
        m_status.seconds = seconds;
        m_status.kibPerSecond =
            seconds > 0
                ? std::min<qint64>(qint64(sent) * 1024, m_station.m_image.bytes) / 1024.0 / seconds
                : 0;
        m_station.Emit(StationEvent::Kind::Progress, m_status);
    }
    void Done(double, const Outcome& outcome) override { m_outcome = outcome; }
    void Error(const Ending&, const QString& message) override { m_reason = message; }
    void Reached(const Outcome& outcome) override { m_outcome = outcome; }
    void DeviceText(const QString& line) override {
        m_station.Emit(StationEvent::Kind::DeviceText, m_status, line);
    }
    const QString& Reason() const { return m_reason; }
    const Outcome& Result() const { return m_outcome; }

  private:
    const Station& m_station;
    PortStatus& m_status;
    QString m_reason;
    Outcome m_outcome;
};

Station::Station(const Settings& settings, const LoadedImage& image, const StopFlag& stopSignal,
                 EventSink sink)
    : m_settings(Named(settings)), m_image(image), m_stopSignal(stopSignal),
      m_sink(std::move(sink)) {}

Station::~Station() {
    WaitForAll();
}

OutputDone Station::OpenLog(const QStringList& ports) {
    if (m_settings.logFile.isEmpty()) {
        return {};
    }
    const QByteArray& path = m_settings.logFile;
    if (OutputDone taken =
            RefuseOutput(path, OutputKind::ResultsLog, m_settings.update.imagePath, ports);
        !taken) {
        return taken;
    }
    return m_log.Open(path);
}

bool Station::Flash(const QString& port, std::unique_ptr<Line> line) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_running[port]) {
        return false;
    }
    for (auto old = m_threads.begin(); old != m_threads.end();) {
        if (m_running[old->first]) {
            ++old;
            continue;
        }
        old->second->wait(); // an earlier update there has ended; its thread goes now
        old = m_threads.erase(old);
    }
    m_running[port] = true;
    std::unique_ptr<QThread> thread(QThread::create(
        [this, port, held = std::move(line)]() mutable { RunSession(port, std::move(held)); }));
    thread->start();
    m_threads[port] = std::move(thread);
    return true;
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

namespace {

QString NewId() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

} // namespace

OutputDone Station::Keep(const QJsonObject& record) {
    if (m_log.IsOpen()) {
        if (OutputDone logged = m_log.Append(record); !logged) {
            return OutputError{logged.error().code,
                               QStringLiteral("to the log %1: %2")
                                   .arg(VisibleText(m_settings.logFile), logged.error().text)};
        }
    }
    if (m_settings.records) {
        if (records::StoreDone kept = m_settings.records->Add(record); !kept) {
            return OutputError{OutputErrorCode::CannotWrite,
                               QStringLiteral("to %1").arg(kept.error().text)};
        }
    }
    return {};
}

QString Station::TakeBoard(const QString& claim) {
    if (m_settings.maxBoards <= 0 || !m_settings.records) {
        return {};
    }
    const Result<bool, records::StoreError> taken = m_settings.records->TakeBoard(
        {claim, m_settings.jobSha256, m_settings.stationName}, m_settings.maxBoards);
    if (!taken) {
        return QStringLiteral("job %1 counts its boards in the records store, which cannot "
                              "count this one: %2")
            .arg(m_settings.job, taken.error().text);
    }
    if (!*taken) {
        return QStringLiteral("job %1 has made all the boards it may (max-boards %2)")
            .arg(m_settings.job, QString::number(m_settings.maxBoards));
    }
    return {};
}

OutputDone Station::Record(QJsonObject record) {
    if (!m_log.IsOpen() && !m_settings.records) {
        return {};
    }
    record.insert(QStringLiteral("id"), NewId());
    record.insert(QStringLiteral("station"), m_settings.stationName);
    record.insert(QStringLiteral("schema"), 1);
    record.insert(QStringLiteral("time"),
                  QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    record.insert(QStringLiteral("version"), QStringLiteral(TAVREL_VERSION));
    record.insert(QStringLiteral("host"), QSysInfo::machineHostName());
    return Keep(record);
}

void Station::Emit(StationEvent::Kind kind, const PortStatus& status, const QString& text,
                   bool retrying) const {
    if (m_sink) {
        m_sink(StationEvent{kind, status, text, retrying});
    }
}

void Station::RunSession(const QString& port, std::unique_ptr<Line> line) {
    const int attempts = 1 + std::max(0, m_settings.retries);
    const bool seen = QFileInfo::exists(port); // a port there when its update was asked for
    PortStatus status;
    status.port = port;
    status.slot = m_settings.slots.Of(port);
    status.blocks = m_settings.update.switchOnly ? 0 : m_image.store.m_lastBlock + 1;
    const QString claim = m_settings.maxBoards > 0 ? NewId() : QString();
    QString refused = TakeBoard(claim);
    const bool claimed = !claim.isEmpty() && refused.isEmpty();
    // The board's own copy of the image, with its own numbers in it.
    BoardNumbers numbers;
    LoadedImage stamped;
    if (refused.isEmpty() && m_settings.stamper) {
        refused = m_settings.stamper->Stamp(port, m_image, numbers, stamped);
    }
    const LoadedImage& image = m_settings.stamper && refused.isEmpty() ? stamped : m_image;
    status.boardSerial = numbers.serial ? QString::number(*numbers.serial) : QString();
    status.boardMac = numbers.mac ? MacText(quint64(*numbers.mac)) : QString();
    if (!refused.isEmpty()) {
        status.state = PortState::Failed;
        status.ending = Ending{Failure::Refused};
        status.reason = refused;
    }
    bool tookImage = false; // in any attempt: a later one may find the new program instead
    int mostBlocksSent = 0;
    for (int attempt = 1; refused.isEmpty() && attempt <= attempts; ++attempt) {
        const bool again =
            RunAttempt(status, attempt, attempts, seen, std::move(line), image, numbers.serial);
        tookImage = tookImage || status.lastBlockAcknowledged;
        mostBlocksSent = std::max(mostBlocksSent, status.blocksSent);
        if (!again) {
            break;
        }
        Emit(StationEvent::Kind::Ended, status, {}, true);
    }
    if (m_settings.stamper) {
        m_settings.stamper->Settle(numbers, status.ending.Passed(), mostBlocksSent);
    }
    if (claimed) {
        // A board that took the whole image keeps its place, passed or not (its new program
        // may not have said what was expected); one that never did gives it back. A place that
        // cannot be settled stays taken: the job never makes more than it may.
        (void)m_settings.records->SettleBoard(claim, refused.isEmpty() &&
                                                         (status.ending.Passed() || tookImage));
    }
    {
        // The port may be flashed again from here on, before anybody learns it has ended.
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_running[port] = false;
    }
    Emit(StationEvent::Kind::Ended, status);
}

bool Station::RunAttempt(PortStatus& status, int attempt, int attempts, bool seen,
                         std::unique_ptr<Line> line, const LoadedImage& image,
                         std::optional<qint64> serial) {
    const QString& port = status.port;
    UpdateSettings settings = m_settings.update;
    settings.port = port;
    if (serial) {
        // The new program says its own number back: the proof that it took it.
        settings.expect = ExpectWithSerial(settings.expect, *serial);
    }
    settings.appendTrace = attempt > 1; // the trace of a failed attempt is kept
    Session session(*this, status);
    // Before the update: a device that restarts after the switch may be gone after it.
    const UsbIdentity usb = IdentifyUsbDevice(port);
    const QString realDevice = QFileInfo(port).canonicalFilePath(); // what the name led to
    status.state = PortState::Flashing;
    status.attempt = attempt;
    status.blocksSent = 0;
    status.seconds = 0;
    status.kibPerSecond = 0;
    status.ending = {};
    status.reason.clear();
    Emit(StationEvent::Kind::Started, status);
    const QDateTime startedAt = QDateTime::currentDateTimeUtc();
    QElapsedTimer clock;
    clock.start();
    Ending ending;
    QString device;
    bool inUse = false;
    bool lastBlockAcknowledged = false; // from the update: a later failure leaves it out
    {
        PortUpdate update(settings, session, m_stopSignal, &image,
                          line                ? std::move(line)
                          : m_settings.lineTo ? m_settings.lineTo(port)
                                              : nullptr);
        ending = update.Run();
        device = realDevice.isEmpty() ? update.DevicePath() : realDevice;
        inUse = update.PortInUse();
        lastBlockAcknowledged = update.LastBlockAcknowledged();
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    // A port that another program holds is final: another attempt would fight it for the
    // board, and two stations on the same ports would flash every board twice.
    const bool worthRetrying = Retryable(ending.failure) && !inUse && attempt < attempts;
    if (worthRetrying) {
        // A moment for a board that was just plugged to settle. A stop then ends it all
        // here: opening the port again would raise DTR and reset an auto-reset board.
        for (int i = 0; i < 10 && m_stopSignal == 0; ++i) {
            QThread::msleep(100);
        }
    }
    bool retrying = worthRetrying && m_stopSignal == 0;
    QString reason = session.Reason();
    if (ending.failure == Failure::Port && seen && !QFileInfo::exists(port)) {
        reason = QStringLiteral("%1 vanished before it could be opened: it was unplugged, or "
                                "the board reset")
                     .arg(port);
    }
    if (worthRetrying && !retrying) {
        reason +=
            QStringLiteral("; no further attempt: stopped by %1").arg(StopCause(m_stopSignal));
    }
    if (m_log.IsOpen() || m_settings.records) {
        // On the disk before the next attempt on this port starts.
        const OutputDone logged = Keep(
            {{"id", NewId()},
             {"station", m_settings.stationName},
             {"schema", 1},
             {"record", "attempt"},
             {"time", startedAt.toString(Qt::ISODateWithMs)},
             {"version", QStringLiteral(TAVREL_VERSION)},
             {"host", QSysInfo::machineHostName()},
             {"port", port},
             {"slot", status.slot},
             {"device", device},
             {"usb_serial", usb.serialNumber},
             {"usb_vendor_id", usb.vendorId},
             {"usb_product_id", usb.productId},
             {"board_serial", status.boardSerial},
             {"board_mac", status.boardMac},
             {"image",
              QFileInfo(QFile::decodeName(m_settings.update.imagePath)).absoluteFilePath()},
             {"image_bytes", m_image.bytes},
             {"image_sha256", QString::fromLatin1(m_image.sha256)},
             {"blocks", m_image.store.m_lastBlock + 1},
             {"baud", m_settings.update.baud},
             {"result", ending.Passed() ? "passed" : "failed"},
             {"failure", FailureName(ending.failure)},
             {"stopped_by", ending.failure == Failure::Stopped ? StopName(ending.stop) : QString()},
             {"reason", reason},
             {"last_block_acknowledged", lastBlockAcknowledged},
             {"expect", m_settings.update.expect},
             {"expect_matched", session.Result().expectMatched},
             {"expect_text", session.Result().expectText},
             {"seconds", seconds},
             {"attempt", attempt},
             {"job", m_settings.job},
             {"job_sha256", m_settings.jobSha256},
             {"job_signed_by", m_settings.jobSignedBy},
             {"operator", m_settings.operatorId},
             {"work_order", m_settings.workOrder}});
        if (!logged) {
            // A board without its record is no board passed: the line stops here. The
            // board's own result stays beside the log's reason.
            reason = QStringLiteral("%1; and the result could not be written %2")
                         .arg(ending.Passed() ? QStringLiteral("the board passed") : reason,
                              logged.error().text);
            ending = ending.Passed() ? Ending{Failure::Output} : ending;
            retrying = false;
        }
    }
    status.state = ending.Passed() ? PortState::Passed : PortState::Failed;
    status.ending = ending;
    status.reason = reason;
    status.lastBlockAcknowledged = lastBlockAcknowledged;
    status.portClosedAfterSwitch = session.Result().portClosedAfterSwitch;
    status.expectMatched = session.Result().expectMatched;
    status.expectText = session.Result().expectText;
    status.seconds = seconds;
    // The one speed of the attempt: the image over the time the log holds.
    status.kibPerSecond = ending.Passed() && seconds > 0 ? m_image.bytes / 1024.0 / seconds : 0;
    if (!device.isEmpty()) {
        status.device = device;
    }
    return retrying;
}

} // namespace station
