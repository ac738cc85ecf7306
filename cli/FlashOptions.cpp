// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/FlashOptions.h"

#include "serial/PortMapping.h"
#include "update/VisibleText.h"

#include <QFile>
#include <QRegularExpression>
#include <cmath>

namespace flash {

QString HelpText() {
    return QStringLiteral(
        "Usage: tavrel-flash [options] IMAGE\n"
        "Writes IMAGE into a device whose boot loader waits on a serial port: 1024-byte blocks,\n"
        "one per \"ACK\", then the switch packet that starts the new program. The bytes are the\n"
        "same as the Tavrel window sends. IMAGE is raw binary, Intel HEX or S-record, told\n"
        "from its content; an addressed file becomes the bytes from its lowest address to its\n"
        "highest, gaps filled with FF.\n"
        "\n"
        "Options:\n"
        "  -p, --port PORT      a device path (/dev/ttyUSB0), or comN / \"com N\" mapped as in "
        "the\n"
        "                       window (TAVREL_COM<N> first). Default: the system's only port.\n"
        "                       Give it several times to flash several ports at once.\n"
        "      --all-ports      flash every serial port of the system at once (USB first)\n"
        "      --watch [GLOB]   station mode: flash each port as it appears (the system's USB\n"
        "                       serial ports, or the paths matching GLOB, which must hold * ? or\n"
        "                       [, e.g. '/dev/serial/by-id/*'), again only after it has gone and\n"
        "                       come back (one that drops the port within 2 s of passing and\n"
        "                       is back within 10 s is taken for the same board restarting);\n"
        "                       runs until Ctrl-C, then prints the totals\n"
        "      --retries N      start a port that failed (for any reason but the image) over\n"
        "                       from block 0, up to N more times (default 0)\n"
        "      --log FILE       append one JSON line per attempt to FILE, synced to the disk\n"
        "      --base ADDRESS   for an Intel HEX or S-record IMAGE: the address of the image's\n"
        "                       first byte (default: the lowest address in the file)\n"
        "      --format FORMAT  read IMAGE as bin, hex (Intel HEX) or srec (S-record); by\n"
        "                       default its content tells (a file named as HEX or S-record,\n"
        "                       .hex, .srec, .s19 and so on, that does not begin like either\n"
        "                       is refused)\n"
        "  -b, --baud RATE      baud rate (default 115200); 8 data bits, no parity, 1 stop bit\n"
        "  -t, --timeout SECS   how long to wait for each ACK (default 10; 0 waits forever;\n"
        "                       at most 1000000)\n"
        "      --switch-only    send the switch packet alone and exit (IMAGE not needed)\n"
        "      --list-ports     show com 1 to com 15 and what each maps to, then other ports\n"
        "      --json           progress as one JSON object per line on standard output\n"
        "      --trace FILE     log every byte sent and received (\"-\": standard error)\n"
        "  -q, --quiet          no progress, only errors\n"
        "                       (--json ends every run, failed or not, with a record that\n"
        "                       carries the exit status)\n"
        "  -h, --help           show this help\n"
        "      --version        show the version\n"
        "\n"
        "A reply counts as an acknowledgement when the bytes received since the last packet\n"
        "begin with \"ACK\" (a reply split over several reads is joined). Complete text lines\n"
        "before it are the device's messages and are shown on standard error, with control\n"
        "characters shown as \\xNN. A device that closes the port after the switch packet\n"
        "(a USB boot loader starting its new program) has been written successfully.\n"
        "\n"
        "Exit status:\n"
        "  0    written\n"
        "  1    usage error\n"
        "  2    the image cannot be loaded (missing, unreadable, locked, too large, a HEX or\n"
        "       S-record file with a checksum error or overlapping records)\n"
        "  3    the port cannot be opened or set up\n"
        "  4    no acknowledgement in time\n"
        "  5    the port was lost, or input/output failed, before the switch packet\n"
        "  6    several ports: at least one of them failed (each port's status is in its\n"
        "       summary line, its JSON record and the log)\n"
        "  129  stopped (SIGHUP: the terminal closed)\n"
        "  130  interrupted (Ctrl-C, SIGINT)\n"
        "  143  stopped (SIGTERM)\n");
}

ParseResult ParseFlashOptions(const QStringList& arguments, const QList<QByteArray>& bytes) {
    FlashOptions options;
    QStringList positional;
    bool watchTookWord = false; // --watch took the word after it as its pattern
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        auto takeValue = [&](QString& out) -> bool {
            if (i + 1 >= arguments.size()) {
                return false;
            }
            out = arguments[++i];
            return true;
        };
        // A name's exact bytes: the value just taken, or `skip` bytes into the argument itself.
        const auto nameAt = [&](qsizetype at, qsizetype skip = 0) {
            return (at < bytes.size() ? bytes[at] : QFile::encodeName(arguments[at])).mid(skip);
        };
        QString value;
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            options.help = true;
        } else if (arg == QLatin1String("--version")) {
            options.version = true;
        } else if (arg == QLatin1String("-q") || arg == QLatin1String("--quiet")) {
            options.quiet = true;
        } else if (arg == QLatin1String("--json")) {
            options.json = true;
        } else if (arg == QLatin1String("--switch-only")) {
            options.switchOnly = true;
        } else if (arg == QLatin1String("--list-ports")) {
            options.listPorts = true;
        } else if (arg == QLatin1String("-p") || arg == QLatin1String("--port")) {
            if (!takeValue(options.port) || options.port.isEmpty()) {
                // An empty name (a script's unset variable) never means "any port".
                return {std::nullopt, QStringLiteral("%1 needs a port, and an empty name is "
                                                     "none")
                                          .arg(arg)};
            }
            // "-p com 3": the number may come as its own word.
            if (options.port.compare(QLatin1String("com"), Qt::CaseInsensitive) == 0 &&
                i + 1 < arguments.size() && ParseComName(options.port + arguments[i + 1])) {
                options.port += QLatin1Char(' ') + arguments[++i];
            } else {
                options.port = PortNameFromBytes(nameAt(i));
            }
            options.ports << options.port;
        } else if (arg == QLatin1String("--all-ports")) {
            options.allPorts = true;
        } else if (arg == QLatin1String("--watch") || arg.startsWith(QLatin1String("--watch="))) {
            options.watch = true;
            static const QRegularExpression wildcard(QStringLiteral("[*?\\[]"));
            if (arg.startsWith(QLatin1String("--watch="))) {
                options.watchPattern = nameAt(i, qsizetype(sizeof "--watch=") - 1);
                if (options.watchPattern.isEmpty()) {
                    return {std::nullopt, QStringLiteral("--watch= needs a pattern; give "
                                                         "--watch alone to watch the USB serial "
                                                         "ports")};
                }
            } else if (i + 1 < arguments.size() && arguments[i + 1].isEmpty()) {
                return {std::nullopt, QStringLiteral("--watch is followed by an empty pattern; "
                                                     "give --watch alone to watch the USB "
                                                     "serial ports")};
            } else if (i + 1 < arguments.size() && arguments[i + 1].contains(wildcard)) {
                options.watchPattern = nameAt(++i);
                watchTookWord = true;
            }
        } else if (arg == QLatin1String("--retries")) {
            bool ok = false;
            if (!takeValue(value) || (options.retries = value.toInt(&ok), !ok) ||
                options.retries < 0 || options.retries > 1000) {
                return {std::nullopt, QStringLiteral("--retries needs a whole number from 0 to "
                                                     "1000")};
            }
        } else if (arg == QLatin1String("--base")) {
            bool ok = false;
            const qulonglong address = takeValue(value) ? value.toULongLong(&ok, 0) : 0;
            // Decimal or 0x hex: a leading zero is not octal here, it is refused.
            const bool octalLooking = value.size() > 1 && value.startsWith(QLatin1Char('0')) &&
                                      !value.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
            if (!ok || octalLooking || address > 0xFFFFFFFFULL) {
                return {std::nullopt, QStringLiteral("--base needs an address in decimal or "
                                                     "0x hex, for example 0x08000000")};
            }
            options.base = static_cast<quint32>(address);
        } else if (arg == QLatin1String("--format")) {
            const QString name = takeValue(value) ? value.toLower() : QString();
            if (name == QLatin1String("bin")) {
                options.format = ImageFormat::Binary;
            } else if (name == QLatin1String("hex")) {
                options.format = ImageFormat::IntelHex;
            } else if (name == QLatin1String("srec")) {
                options.format = ImageFormat::SRecord;
            } else {
                return {std::nullopt, QStringLiteral("--format needs bin, hex or srec")};
            }
        } else if (arg == QLatin1String("--log")) {
            if (!takeValue(value) || value.isEmpty()) {
                return {std::nullopt, QStringLiteral("--log needs a file")};
            }
            options.logFile = nameAt(i);
        } else if (arg == QLatin1String("-b") || arg == QLatin1String("--baud")) {
            bool ok = false;
            if (!takeValue(value) || (options.baud = value.toInt(&ok), !ok) || options.baud < 1) {
                return {std::nullopt,
                        QStringLiteral("%1 needs a baud rate, a whole number from 1 up").arg(arg)};
            }
        } else if (arg == QLatin1String("-t") || arg == QLatin1String("--timeout")) {
            bool ok = false;
            if (!takeValue(value) || (options.timeoutSeconds = value.toDouble(&ok), !ok) ||
                !std::isfinite(options.timeoutSeconds) || options.timeoutSeconds < 0 ||
                options.timeoutSeconds > 1e6) {
                return {std::nullopt, QStringLiteral("%1 needs a number of seconds from 0 (waits "
                                                     "forever) to 1000000")
                                          .arg(arg)};
            }
        } else if (arg == QLatin1String("--trace")) {
            if (!takeValue(value) || value.isEmpty()) {
                return {std::nullopt,
                        QStringLiteral("--trace needs a file (or - for standard error)")};
            }
            options.traceFile = nameAt(i);
        } else if (arg.startsWith(QLatin1Char('-')) && arg != QLatin1String("-")) {
            return {std::nullopt, QStringLiteral("unknown option %1").arg(arg)};
        } else {
            positional << arg;
            options.imagePath = nameAt(i);
        }
    }
    if (options.help || options.version || options.listPorts) {
        return {options, {}};
    }
    if (positional.size() > 1) {
        return {std::nullopt, QStringLiteral("give one IMAGE, not %1").arg(positional.size())};
    }
    if (positional.isEmpty() && !options.switchOnly) {
        if (watchTookWord) {
            return {std::nullopt, QStringLiteral("--watch took %1 as the pattern of ports to "
                                                 "watch, and no IMAGE is left; write "
                                                 "--watch=GLOB or put IMAGE before --watch")
                                      .arg(VisibleText(options.watchPattern))};
        }
        return {std::nullopt, QStringLiteral("no IMAGE given")};
    }
    if (SeveralPorts(options)) {
        const int ways = !options.ports.isEmpty() + options.allPorts + options.watch;
        if (ways > 1) {
            return {std::nullopt, QStringLiteral("give several -p, --all-ports or --watch, not "
                                                 "more than one of them")};
        }
        if (options.switchOnly || !options.traceFile.isEmpty()) {
            return {std::nullopt, QStringLiteral("--switch-only and --trace take one port")};
        }
    }
    if (options.switchOnly && (!options.logFile.isEmpty() || options.retries > 0)) {
        return {std::nullopt, QStringLiteral("--switch-only writes no image: it takes neither "
                                             "--log nor --retries")};
    }
    if (options.ports.size() == 1) {
        options.port = options.ports.first();
    }
    return {options, {}};
}

} // namespace flash
