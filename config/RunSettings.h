// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One run's settings, as tavrel-flash and tavrel-station both read them from the command line,
// the environment and the configuration files through the one option table.

#include "config/Job.h"
#include "records/StoreUrl.h"
#include "serial/ModemSequence.h"
#include "serial/PortFilter.h"
#include "update/ImageFormats.h"
#include "update/StampRecipe.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <optional>

namespace config {

// The programs that read the table; an option lists those that take it.
enum Program : unsigned { kFlash = 1, kStation = 2 };

struct RunSettings {
    // Every name is kept as the system knows it, bytes and not text: it need not be valid UTF-8.
    QByteArray imagePath;
    QString port;               // as given: a path, "comN" or "com N"; empty: the system's one port
    QString portSource;         // where a port not given on the command line came from
    QStringList unusedDefaults; // defaults the run does not use, said with or without -v
    QStringList ports;          // every -p, in order: more than one makes a station run
    bool allPorts = false;      // every serial port of the system
    bool watch = false;         // flash each port as it appears, until Ctrl-C
    QByteArray watchPattern;    // with --watch: the paths to watch; empty: USB serial ports
    QStringList networkPorts;   // with --watch: ports on serial servers, tried until they answer
    int retries = 0;            // more attempts for a port that failed for any reason but the image
    QByteArray logFile;         // one JSON line per attempt
    std::optional<quint32> base;       // --base: an addressed image's first address
    std::optional<ImageFormat> format; // --format; empty: as the file's content shows
    qint32 baud = 115200;
    double timeoutSeconds = 10; // per ACK; 0 waits forever
    bool switchOnly = false;
    bool listPorts = false;
    bool json = false;
    QByteArray traceFile; // "-" for standard error
    bool quiet = false;
    int verbose = 0; // -v: how each port was found and set up, every block; -vv: every byte
    QList<PortFilter> portFilters; // narrow the default port, --all-ports and --watch
    QString expect;                // after the switch packet, the new program's text must match
    double expectWithinSeconds = 5;
    QString slotsFile;                      // the fixture's names for its ports
    ModemSequence before;                   // modem-line steps before the first block
    ModemSequence after;                    // and after the switch packet
    bool autoMode = false;                  // the station: flash each board as soon as it appears
    QByteArray jobPath;                     // --job: the signed job the run follows
    std::optional<Job> job;                 // the job, read and verified
    QString operatorId;                     // who runs the station, for the records
    QString workOrder;                      // what the boards are made for, for the records
    std::optional<records::StoreUrl> store; // where the records are kept besides the log
    QString stationName;                    // the station's name in the records; empty: the host's
    std::optional<StampRecipe> stamp;       // per-board fields written into each board's image
    StampCounter stampSerial;               // the counter their serial numbers come from
    StampCounter stampMac;                  // and their MAC addresses
    int stampLease = 0;  // numbers the station holds for when the line's store is away
    QSet<QString> given; // the options the command line gave: "port", "baud", "port-filter", ...
    bool help = false;
    bool version = false;
};

// Several ports, every port or watching: one update per port at once.
inline bool SeveralPorts(const RunSettings& settings) {
    return settings.ports.size() > 1 || settings.allPorts || settings.watch;
}

// Settings, or why the words cannot be run.
using SettingsRead = Result<RunSettings, ConfigError>;

} // namespace config
