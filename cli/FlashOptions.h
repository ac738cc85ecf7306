#pragma once
// The command line of tavrel-flash.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

namespace flash {

// Exit statuses, as --help and the README document them.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,
    kExitImage = 2,
    kExitPort = 3,
    kExitNoAck = 4,
    kExitPortLost = 5,
    kExitInterrupted = 130, // 128 + SIGINT; SIGTERM gives 143
};

struct FlashOptions {
    QString image;
    int imageArgument = -1; // its place on the command line, so that its exact bytes can be used
    QByteArray imagePath;   // the file name as the system knows it: bytes, not text
    QString port;           // as given: a path, "comN" or "com N"; empty: the system's one port
    qint32 baud = 115200;
    double timeoutSeconds = 10; // per ACK; 0 waits forever
    bool switchOnly = false;
    bool listPorts = false;
    bool json = false;
    QString traceFile; // "-" for standard error
    bool quiet = false;
    bool help = false;
    bool version = false;
};

struct ParseResult {
    std::optional<FlashOptions> options;
    QString error; // for the operator when options is empty
};

ParseResult ParseFlashOptions(const QStringList& arguments);
QString HelpText();

} // namespace flash
