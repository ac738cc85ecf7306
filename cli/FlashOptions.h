// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The command line of tavrel-flash.

#include "station/RunReport.h"
#include "update/ImageFormats.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

namespace flash {

using namespace station; // the exit statuses

struct FlashOptions {
    QString image;
    int imageArgument = -1; // its place on the command line, so that its exact bytes can be used
    QByteArray imagePath;   // the file name as the system knows it: bytes, not text
    QString port;           // as given: a path, "comN" or "com N"; empty: the system's one port
    QStringList ports;      // every -p, in order: more than one makes a station run
    bool allPorts = false;  // every serial port of the system
    bool watch = false;     // flash each port as it appears, until Ctrl-C
    QString watchPattern;   // with --watch: the paths to watch; empty: USB serial ports
    int retries = 0;        // more attempts for a port that failed for any reason but the image
    QString logFile;        // one JSON line per attempt
    std::optional<quint32> base;       // --base: an addressed image's first address
    std::optional<ImageFormat> format; // --format; empty: as the file's content shows
    qint32 baud = 115200;
    double timeoutSeconds = 10; // per ACK; 0 waits forever
    bool switchOnly = false;
    bool listPorts = false;
    bool json = false;
    QString traceFile; // "-" for standard error
    // Where the names above stand on the command line, so that their exact bytes are used (a
    // name need not be valid text): -1 where there is none.
    QList<int> portArguments; // one per entry of `ports`; -1 for "com N" given as two words
    int logArgument = -1;
    int traceArgument = -1;
    int watchArgument = -1; // with watchInline, the pattern follows "--watch=" in it
    bool watchInline = false;
    QByteArray logPath, tracePath, watchPath; // the bytes of logFile, traceFile, watchPattern
    bool quiet = false;
    bool help = false;
    bool version = false;
};

// Several ports, every port or watching: one update per port at once.
// A results log or retries ask for the station too, even with one port.
inline bool IsStationRun(const FlashOptions& options) {
    return options.ports.size() > 1 || options.allPorts || options.watch ||
           !options.logFile.isEmpty() || options.retries > 0;
}

struct ParseResult {
    std::optional<FlashOptions> options;
    QString error; // for the operator when options is empty
};

ParseResult ParseFlashOptions(const QStringList& arguments);
QString HelpText();

} // namespace flash
