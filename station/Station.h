// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Many ports at once: one update per port, each on a thread of its own with its own serial
// control and transfer engine, so that a slow, silent or lost device never delays or harms the
// others. The image is read once and every port gets the same bytes. A failed attempt (for any
// reason but the image) is started over from block 0 as often as asked, and every attempt is
// written to the results log before the next one on that port starts.

#include "records/Recorder.h"
#include "serial/UsbIdentity.h"
#include "station/BoardStamper.h"
#include "station/PortUpdate.h"
#include "station/ResultsLog.h"
#include "station/SlotLabels.h"
#include "update/LoadedImage.h"

#include <QJsonObject>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

class QThread;

namespace station {

enum class PortState { Waiting, Flashing, Passed, Failed };
QString StateName(PortState state);

struct PortStatus {
    QString port;
    PortState state = PortState::Waiting;
    int attempt = 0; // the attempt under way or last made, from 1
    int blocksSent = 0;
    int blocks = 0;
    double seconds = 0; // of the attempt under way or last made
    double kibPerSecond = 0;
    Ending ending;                      // of the last attempt that ended
    QString reason;                     // why the last attempt failed
    bool lastBlockAcknowledged = false; // the device answered the last block before the switch
    bool portClosedAfterSwitch = false; // and dropped the port after it (it restarts)
    bool expectMatched = false;         // the new program said what was expected
    QString expectText;                 // what of it matched
    QString device;                     // what the port name stood for
    QString usbSerial;                  // the USB serial number, where the system knows it
    QString slot;                       // the fixture's name for the port, if it has one
    QString boardSerial;                // the serial number stamped into this board's image
    QString boardMac;                   // and its MAC address
};

// What the station tells of a port as it goes. The updates tell Started, Progress, DeviceText
// and Ended, each from its port's thread, in order; the station's controller adds what its looks
// at the ports find.
struct StationEvent {
    enum class Kind { Appeared, Started, Progress, DeviceText, Ended, Note, Gone };
    Kind kind;
    PortStatus status;     // the port's status after the event
    QString text;          // the device's text, or a note
    bool retrying = false; // Ended: another attempt follows
};

class Station {
  public:
    struct Settings {
        UpdateSettings update; // port left empty: each session gets its own
        int retries = 0;       // more attempts after a failure that was not the image's
        QByteArray logFile;    // empty: no results log
        SlotLabels slots;      // the fixture's names for its ports, for the tiles and the records
        // What every record carries of the run: its job (and the job file's SHA-256), who ran
        // it, for which work order; empty when there is none.
        QString job;
        QString jobSha256;
        QString jobSignedBy; // the id of the key that signed the job
        QString operatorId;
        QString workOrder;
        // Where every record is kept besides the log (none: the log alone), the station's name
        // in them, and how many boards the job may make (0: no limit), counted in the store.
        std::shared_ptr<records::Recorder> records;
        QString stationName;
        int maxBoards = 0;
        // Per-board fields stamped into each board's copy of the image (none: every board gets
        // the same bytes).
        std::shared_ptr<BoardStamper> stamper;
        // The line to a port, for each attempt; by default the local serial port.
        std::function<std::unique_ptr<Line>(const QString& port)> lineTo;
    };
    // Called from the ports' threads, outside any lock of the station's, several at once.
    using EventSink = std::function<void(const StationEvent&)>;

    // `image` is the image read from `settings.update.imagePath`.
    Station(const Settings& settings, const LoadedImage& image, const StopFlag& stopSignal,
            EventSink sink);
    ~Station(); // waits for every update under way
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Opens the results log, refusing one that is the image, a serial port (of the system's or
    // `ports`) or not a regular file; the reason when it cannot be written.
    OutputDone OpenLog(const QStringList& ports = {});
    // Starts an update on `port`; false when one runs there already. A port's last event
    // (Ended, not retrying) comes once it may be flashed again; not from the sink itself,
    // which runs on the port's own thread.
    // `line`: a connection already open to the port (a watch found the port on it), for the
    // first attempt.
    bool Flash(const QString& port, std::unique_ptr<Line> line = nullptr);
    void WaitForAll();
    // Appends a record of the station's own to the results log (with the schema, the time, the
    // tool's version and the host); the reason when it could not be written.
    OutputDone Record(QJsonObject record);

  private:
    class Session;
    void RunSession(const QString& port, std::unique_ptr<Line> line);
    // One attempt, on `line` where one is open already; true when another should follow.
    // `image`: the board's own copy; `serial`: the number stamped into it, if any.
    bool RunAttempt(PortStatus& status, int attempt, int attempts, bool seen,
                    std::unique_ptr<Line> line, const LoadedImage& image,
                    std::optional<qint64> serial);
    // Writes the record to the log and the store; why not, when either could not keep it.
    OutputDone Keep(const QJsonObject& record);
    // A job with a limit: takes this board's place; the reason when it is refused.
    QString TakeBoard(const QString& claim);
    void Emit(StationEvent::Kind kind, const PortStatus& status, const QString& text = {},
              bool retrying = false) const;

    const Settings m_settings;
    const LoadedImage m_image;
    const StopFlag& m_stopSignal;
    EventSink m_sink;
    ResultsLog m_log;

    std::mutex m_mutex;
    std::map<QString, std::unique_ptr<QThread>> m_threads;
    std::map<QString, bool> m_running;
};

} // namespace station
