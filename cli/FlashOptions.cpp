// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/FlashOptions.h"

#include "serial/NetworkAddress.h"

#include "serial/PortMapping.h"
#include "station/PortUpdate.h"
#include "station/PortWatcher.h"
#include "update/VisibleText.h"

#include <QFile>
#include <QRegularExpression>
#include <cmath>
#include <getopt.h>

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
        "  -p, --port PORT      a device path (/dev/ttyUSB0), comN / \"com N\" mapped as in "
        "the\n"
        "                       window (TAVREL_COM<N> first), or a port on a serial server:\n"
        "                       rfc2217://HOST:PORT (the line set through RFC 2217) or\n"
        "                       socket://HOST:PORT (raw TCP). Default: the one USB serial port\n"
        "                       (never a built-in UART, ttyS*). Give it several times to flash\n"
        "                       several ports at once.\n"
        "      --port-filter F  only ports F takes, for the default port, --all-ports and\n"
        "                       --watch: vid=0483,pid=5740,serial=...,name=GLOB (fields\n"
        "                       and-ed; give it again for another filter, either may match)\n"
        "      --all-ports      flash every serial port of the system at once (USB first);\n"
        "                       a built-in UART (ttyS*) only when -p or name=ttyS... names it\n"
        "      --watch [GLOB]   station mode: flash each port as it appears (the system's USB\n"
        "                       serial ports, or the paths matching GLOB, which must hold * ? or\n"
        "                       [, e.g. '/dev/serial/by-id/*'), again only after it has gone and\n"
        "                       come back (one that drops the port within 2 s of passing and\n"
        "                       is back within 10 s is taken for the same board restarting);\n"
        "                       runs until Ctrl-C, then prints the totals\n"
        "      --network-ports LIST  with --watch: ports on serial servers as well\n"
        "                       (rfc2217://HOST:PORT or socket://HOST:PORT, separated by\n"
        "                       commas), each flashed once its server takes a connection\n"
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
        "      --expect REGEX   after the switch packet the new program must say something that\n"
        "                       matches REGEX, or the board fails (exit 7): the only proof that\n"
        "                       it runs; a port dropped meanwhile is opened again by its name\n"
        "      --expect-within SECS  how long it has to say it (default 5)\n"
        "      --slots FILE     the fixture's names for its ports: lines of PORT-OR-GLOB = Label\n"
        "                       (\"Slot 3\"), shown and recorded in the log\n"
        "      --before SEQ     modem-line steps on the opened port before the first block,\n"
        "                       to drive a fixture's reset and boot pins: dtr, -dtr, rts, -rts,\n"
        "                       break, -break and wait:MS, comma-separated, or a named one:\n"
        "                       reset-dtr, reset-rts, boot-dtr-reset-rts (see below); a port\n"
        "                       that cannot set a line is refused before any block is sent\n"
        "      --after SEQ      the same after the switch packet\n"
        "      --list-ports     show com 1 to com 15 and what each maps to, then every port with\n"
        "                       its stable names, USB ids, serial number, maker and use\n"
        "  -j, --json           progress as one JSON object per line on standard output\n"
        "  -v, --verbose        where each value came from, how each port was found and set\n"
        "                       up, and every block with its time; twice: every byte too\n"
        "      --trace FILE     log every byte sent and received (\"-\": standard error)\n"
        "  -q, --quiet          no progress, only errors\n"
        "                       (--json ends every run, failed or not, with a record that\n"
        "                       carries the exit status)\n"
        "  -h, --help           show this help\n"
        "  -V, --version        show the version\n"
        "Options take the GNU forms: --port=X or --port X, -pX or -p X, bundled flags (-qj),\n"
        "-- before an IMAGE that begins with -, and long names shortened while unambiguous.\n"
        "\n"
        "A reply counts as an acknowledgement when the bytes received since the last packet\n"
        "begin with \"ACK\" (a reply split over several reads is joined). Complete text lines\n"
        "before it are the device's messages and are shown on standard error, with control\n"
        "characters shown as \\xNN. A device that closes the port after the switch packet\n"
        "(a USB boot loader starting its new program) has been written successfully.\n"
        "\n"
        "Exit status:\n"
        "  0    written\n"
        "  1    usage error (also: no port named, and not exactly one USB serial port)\n"
        "  2    the image cannot be loaded (missing, unreadable, locked, too large, a HEX or\n"
        "       S-record file with a checksum error or overlapping records)\n"
        "  3    the port cannot be opened or set up\n"
        "  4    no acknowledgement in time\n"
        "  5    the port was lost, or input/output failed, before the switch packet\n"
        "  7    the new program did not say what --expect asked for in time\n"
        "  6    several ports: at least one of them failed (each port's status is in its\n"
        "       summary line and its JSON record; the log names its failure)\n"
        "  129  stopped (SIGHUP: the terminal closed)\n"
        "  130  interrupted (Ctrl-C, SIGINT)\n"
        "  143  stopped (SIGTERM)\n"
        "\n"
        "Environment:\n"
        "  TAVREL_PORT    the port when no -p, --all-ports or --watch is given\n"
        "  TAVREL_BAUD    the baud rate when no -b is given\n"
        "  TAVREL_COM<N>  the device that com N stands for\n"
        "\n"
        "Files:\n"
        "  $XDG_CONFIG_HOME/tavrel/tavrel.conf (by default ~/.config/tavrel/tavrel.conf) over\n"
        "  /etc/tavrel/tavrel.conf: INI keys baud, timeout, retries, log, watch (the pattern of\n"
        "  a --watch given without one), port-filter (one filter, quoted), slots and\n"
        "  network-ports (the serial servers' ports a --watch tries as well). The command line\n"
        "  beats the environment, which beats the files; -v says where each value came from.\n"
        "\n"
        "Named modem-line sequences:\n"
        "  reset-dtr            dtr,wait:100,-dtr,wait:100\n"
        "  reset-rts            rts,wait:100,-rts,wait:100\n"
        "  boot-dtr-reset-rts   dtr,rts,wait:100,-rts,wait:100,-dtr\n"
        "\n"
        "Examples:\n"
        "  tavrel-flash -p /dev/ttyUSB0 -b 115200 firmware.bin\n"
        "  tavrel-flash --port-filter vid=0483,pid=5740 firmware.hex\n"
        "  tavrel-flash --watch '/dev/serial/by-id/*' --log results.jsonl firmware.bin\n");
}

namespace {

// The long options' own codes, beyond any short option's letter.
enum LongOnly : int {
    kAllPorts = 256,
    kWatch,
    kRetries,
    kLog,
    kBase,
    kFormat,
    kSwitchOnly,
    kListPorts,
    kTrace,
    kPortFilter,
    kExpect,
    kExpectWithin,
    kBefore,
    kAfter,
    kSlots,
    kNetworkPorts,
};

const option kOptions[] = {
    {"port", required_argument, nullptr, 'p'},
    {"baud", required_argument, nullptr, 'b'},
    {"timeout", required_argument, nullptr, 't'},
    {"quiet", no_argument, nullptr, 'q'},
    {"json", no_argument, nullptr, 'j'},
    {"verbose", no_argument, nullptr, 'v'},
    {"version", no_argument, nullptr, 'V'},
    {"help", no_argument, nullptr, 'h'},
    {"all-ports", no_argument, nullptr, kAllPorts},
    {"watch", optional_argument, nullptr, kWatch},
    {"retries", required_argument, nullptr, kRetries},
    {"log", required_argument, nullptr, kLog},
    {"base", required_argument, nullptr, kBase},
    {"format", required_argument, nullptr, kFormat},
    {"switch-only", no_argument, nullptr, kSwitchOnly},
    {"list-ports", no_argument, nullptr, kListPorts},
    {"trace", required_argument, nullptr, kTrace},
    {"port-filter", required_argument, nullptr, kPortFilter},
    {"expect", required_argument, nullptr, kExpect},
    {"expect-within", required_argument, nullptr, kExpectWithin},
    {"before", required_argument, nullptr, kBefore},
    {"after", required_argument, nullptr, kAfter},
    {"slots", required_argument, nullptr, kSlots},
    {"network-ports", required_argument, nullptr, kNetworkPorts},
    {nullptr, 0, nullptr, 0},
};
// Options first take what follows them; a leading '-' keeps the words in their order (so that
// --watch and -p com may look at the next one), ':' lets a missing value be told apart.
const char kShortOptions[] = "-:p:b:t:qjvVh";

// The long options a word starting with "--" may stand for, as the user wrote it.
QStringList LongOptionsFor(const QByteArray& word) {
    const QByteArray name = word.mid(2).split('=').first();
    QStringList matches;
    for (const option* o = kOptions; o->name != nullptr; ++o) {
        if (QByteArray(o->name) == name) {
            return {QStringLiteral("--") + QLatin1String(o->name)};
        }
        if (QByteArray(o->name).startsWith(name)) {
            matches << QStringLiteral("--") + QLatin1String(o->name);
        }
    }
    return matches;
}

} // namespace

ParseResult ParseFlashOptions(const QList<QByteArray>& arguments) {
    FlashOptions options;
    // getopt reorders nothing in this mode but reads a char* array of its own.
    QList<QByteArray> words = arguments;
    std::vector<char*> argv;
    for (QByteArray& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());
    QList<QByteArray> positional;
    bool watchTookWord = false; // --watch took the word after it as its pattern
    const auto refuse = [](const QString& message) { return ParseResult{std::nullopt, message}; };
    opterr = 0;
    optind = 0; // from the start, whatever parsed before
    for (;;) {
        const int at = optind == 0 ? 1 : optind; // the word being read
        const int code = getopt_long(argc, argv.data(), kShortOptions, kOptions, nullptr);
        if (code == -1) {
            break;
        }
        const QByteArray word = at < argc ? words[at] : QByteArray();
        // The option as it was written, for messages: a long one whole, a short one alone.
        const QString spelled = word.startsWith("--")
                                    ? QString::fromLocal8Bit(word.split('=').first())
                                    : QStringLiteral("-%1").arg(QLatin1Char(
                                          char(code == '?' || code == ':' ? optopt : code)));
        if (code == '?') {
            if (word.startsWith("--") && LongOptionsFor(word).size() > 1) {
                return refuse(QStringLiteral("%1 is ambiguous: %2")
                                  .arg(spelled, LongOptionsFor(word).join(QStringLiteral(", "))));
            }
            if (word.startsWith("--") && LongOptionsFor(word).size() == 1) {
                return refuse(
                    QStringLiteral("%1 takes no value").arg(LongOptionsFor(word).first()));
            }
            return refuse(QStringLiteral("unknown option %1").arg(spelled));
        }
        const bool missing = code == ':';
        const int id = missing ? optopt : code;
        const QByteArray value = missing || optarg == nullptr ? QByteArray() : QByteArray(optarg);
        const QString text = QString::fromLocal8Bit(value);
        bool ok = false;
        switch (id) {
        case 1: // a word that is no option
            positional << value;
            break;
        case 'h':
            options.help = true;
            break;
        case 'V':
            options.version = true;
            break;
        case 'q':
            options.quiet = true;
            break;
        case 'j':
            options.json = true;
            break;
        case 'v':
            ++options.verbose;
            break;
        case kSwitchOnly:
        case kAllPorts:
            // Options that reach ports nobody named are never taken from a shortened name.
            if (word != "--switch-only" && word != "--all-ports") {
                return refuse(QStringLiteral("%1: write %2 in full")
                                  .arg(spelled, LongOptionsFor(word).value(0)));
            }
            (id == kSwitchOnly ? options.switchOnly : options.allPorts) = true;
            break;
        case kListPorts:
            options.listPorts = true;
            break;
        case 'p':
            options.given << QStringLiteral("port");
            if (value.startsWith('=')) {
                return refuse(QStringLiteral("%1 takes the port without '=' (-pPORT or -p PORT)")
                                  .arg(spelled));
            }
            if (value.isEmpty()) {
                // An empty name (a script's unset variable) never means "any port".
                return refuse(
                    QStringLiteral("%1 needs a port, and an empty name is none").arg(spelled));
            }
            // "-p com 3": the number may come as its own word.
            if (text.compare(QLatin1String("com"), Qt::CaseInsensitive) == 0 && optind < argc &&
                ParseComName(text + QString::fromLocal8Bit(words[optind]))) {
                options.port = text + QLatin1Char(' ') + QString::fromLocal8Bit(words[optind++]);
            } else {
                options.port = PortNameFromBytes(value);
            }
            // A port on a serial server is checked now, before any other port is opened.
            if (LooksLikeNetworkPort(options.port)) {
                if (const NetworkAddressParse parse = ParseNetworkAddress(options.port);
                    !parse.address) {
                    return refuse(QStringLiteral("%1: %2").arg(spelled, parse.error));
                }
            }
            options.ports << options.port;
            break;
        case kWatch: {
            options.given << QStringLiteral("watch");
            options.watch = true;
            static const QRegularExpression wildcard(QStringLiteral("[*?\\[]"));
            if (optarg != nullptr) {
                options.watchPattern = value;
                if (value.isEmpty()) {
                    return refuse(QStringLiteral("--watch= needs a pattern; give --watch alone to "
                                                 "watch the USB serial ports"));
                }
                if (const QString why = station::RefuseWatchPattern(value); !why.isEmpty()) {
                    return refuse(QStringLiteral("--watch: %1").arg(why));
                }
            } else if (optind < argc && words[optind].isEmpty()) {
                return refuse(QStringLiteral("--watch is followed by an empty pattern; give "
                                             "--watch alone to watch the USB serial ports"));
            } else if (optind < argc && !words[optind].startsWith('-') &&
                       QString::fromLocal8Bit(words[optind]).contains(wildcard)) {
                options.watchPattern = words[optind++];
                watchTookWord = true;
            }
            break;
        }
        case kRetries:
            options.given << QStringLiteral("retries");
            options.retries = text.toInt(&ok);
            if (!ok || options.retries < 0 || options.retries > 1000) {
                return refuse(
                    QStringLiteral("%1 needs a whole number from 0 to 1000").arg(spelled));
            }
            break;
        case kBase: {
            const qulonglong address = text.toULongLong(&ok, 0);
            // Decimal or 0x hex: a leading zero is not octal here, it is refused.
            const bool octalLooking = text.size() > 1 && text.startsWith(QLatin1Char('0')) &&
                                      !text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
            if (!ok || octalLooking || address > 0xFFFFFFFFULL) {
                return refuse(QStringLiteral("%1 needs an address in decimal or 0x hex, for "
                                             "example 0x08000000")
                                  .arg(spelled));
            }
            options.base = static_cast<quint32>(address);
            break;
        }
        case kFormat: {
            const QString name = text.toLower();
            if (name == QLatin1String("bin")) {
                options.format = ImageFormat::Binary;
            } else if (name == QLatin1String("hex")) {
                options.format = ImageFormat::IntelHex;
            } else if (name == QLatin1String("srec")) {
                options.format = ImageFormat::SRecord;
            } else {
                return refuse(QStringLiteral("%1 needs bin, hex or srec").arg(spelled));
            }
            break;
        }
        case kLog:
            options.given << QStringLiteral("log");
            if (value.isEmpty()) {
                return refuse(QStringLiteral("%1 needs a file").arg(spelled));
            }
            options.logFile = value;
            break;
        case 'b':
            options.given << QStringLiteral("baud");
            options.baud = text.toInt(&ok);
            if (!ok || options.baud < 1) {
                return refuse(
                    QStringLiteral("%1 needs a baud rate, a whole number from 1 up").arg(spelled));
            }
            break;
        case 't':
            options.given << QStringLiteral("timeout");
            options.timeoutSeconds = text.toDouble(&ok);
            if (!ok || !std::isfinite(options.timeoutSeconds) || options.timeoutSeconds < 0 ||
                options.timeoutSeconds > 1e6) {
                return refuse(QStringLiteral("%1 needs a number of seconds from 0 (waits forever) "
                                             "to 1000000")
                                  .arg(spelled));
            }
            break;
        case kTrace:
            if (value.isEmpty()) {
                return refuse(
                    QStringLiteral("%1 needs a file (or - for standard error)").arg(spelled));
            }
            options.traceFile = value;
            break;
        case kPortFilter: {
            options.given << QStringLiteral("port-filter");
            QString error;
            const std::optional<PortFilter> filter = ParsePortFilter(text, &error);
            if (!filter) {
                return refuse(QStringLiteral("%1: %2").arg(spelled, error));
            }
            options.portFilters << *filter;
            break;
        }
        case kExpect:
            if (const QString why = station::RefuseExpectation(text); !why.isEmpty()) {
                return refuse(QStringLiteral("%1 %2").arg(spelled, why));
            }
            options.expect = text;
            break;
        case kBefore:
        case kAfter: {
            QString error;
            const std::optional<ModemSequence> steps = ParseModemSequence(text, &error);
            if (!steps) {
                return refuse(QStringLiteral("%1: %2").arg(spelled, error));
            }
            (id == kBefore ? options.before : options.after) = *steps;
            break;
        }
        case kSlots:
            options.given << QStringLiteral("slots");
            if (value.isEmpty()) {
                return refuse(QStringLiteral("%1 needs a file").arg(spelled));
            }
            options.slotsFile = QString::fromLocal8Bit(value);
            break;
        case kNetworkPorts: {
            QString why;
            options.networkPorts = ParseNetworkPortList(text, &why);
            if (options.networkPorts.isEmpty()) {
                return refuse(why.isEmpty() ? QStringLiteral("%1 needs a list of ports such as "
                                                             "rfc2217://10.0.0.5:4001")
                                                  .arg(spelled)
                                            : why);
            }
            break;
        }
        case kExpectWithin:
            options.given << QStringLiteral("expect-within");
            if (const auto seconds = station::ExpectWithinSeconds(text)) {
                options.expectWithinSeconds = *seconds;
            } else {
                return refuse(
                    QStringLiteral("%1 needs %2").arg(spelled, station::kExpectWithinRange));
            }
            break;
        default:
            return refuse(QStringLiteral("unknown option %1").arg(spelled));
        }
    }
    for (int i = optind; i < argc; ++i) {
        positional << words[i]; // after "--"
    }
    if (options.help || options.version || options.listPorts) {
        return {options, {}};
    }
    if (positional.size() > 1) {
        return refuse(QStringLiteral("give one IMAGE, not %1").arg(positional.size()));
    }
    if (!positional.isEmpty()) {
        options.imagePath = positional.first();
    }
    if (positional.isEmpty() && !options.switchOnly) {
        if (watchTookWord) {
            return refuse(QStringLiteral("--watch took %1 as the pattern of ports to watch, and "
                                         "no IMAGE is left; write --watch=GLOB or put IMAGE "
                                         "before --watch")
                              .arg(VisibleText(options.watchPattern)));
        }
        return refuse(QStringLiteral("no IMAGE given"));
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
    if (!options.networkPorts.isEmpty() && !options.watch) {
        return refuse(QStringLiteral("--network-ports goes with --watch; name a network port "
                                     "with -p to flash it now"));
    }
    if (!options.ports.isEmpty() && !options.portFilters.isEmpty()) {
        return refuse(QStringLiteral("--port-filter chooses among the system's ports, and -p "
                                     "names the port already; give one or the other"));
    }
    if (options.given.contains(QStringLiteral("expect-within")) && options.expect.isEmpty()) {
        return refuse(QStringLiteral("--expect-within gives the time for --expect; give --expect "
                                     "too, or leave both out"));
    }
    if (options.switchOnly && !options.expect.isEmpty()) {
        return refuse(QStringLiteral("--expect checks a new program after an update; "
                                     "--switch-only writes none"));
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
