// SPDX-License-Identifier: GPL-3.0-or-later
// tavrel-station: the station window. tavrel-station [--baud N] [--watch GLOB] [--auto]
// [--log FILE] [IMAGE], so that a production line can start preloaded, in auto mode.
#include "app/Resources.h"
#include "serial/ModemSequence.h"
#include "serial/NetworkAddress.h"
#include "serial/NetworkLibrary.h"
#include "serial/PortFilter.h"
#include "station/ConfigurationFiles.h"
#include "station/PortUpdate.h"
#include "station/PortWatcher.h"
#include "station/SlotLabels.h"
#include "ui/station/StationWindow.h"
#include "update/ImageFormats.h"

#include <QApplication>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <getopt.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

// A signal only writes its number into this pipe; the event loop reads it and ends the program
// the orderly way: every update stopped and recorded before the window goes.
int g_signalPipe[2] = {-1, -1};

void OnSignal(int signal) {
    const char number = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &number, 1);
}

const char kHelp[] =
    "Usage: tavrel-station [options] [IMAGE]\n"
    "Flashes one firmware image into many devices at once: a tile per serial port, green or red\n"
    "for every board, and a JSON line per attempt in the results log.\n"
    "\n"
    "Options:\n"
    "  -b, --baud N          the baud rate (default 115200)\n"
    "      --watch GLOB      show the ports whose paths match GLOB (for example\n"
    "                        '/dev/serial/by-id/*') instead of the system's USB serial ports\n"
    "  -p, --port PORT       a port on a serial server as well: rfc2217://HOST:PORT or\n"
    "                        socket://HOST:PORT, shown once the server takes a connection;\n"
    "                        give it again for another (default: network-ports in the\n"
    "                        configuration file)\n"
    "      --port-filter F   only the ports F takes: vid=0483,pid=5740,serial=...,name=GLOB\n"
    "                        (fields and-ed; give it again for another filter)\n"
    "      --auto            start in Auto: flash each device as soon as it appears\n"
    "      --expect REGEX    after the switch packet the new program must say something that\n"
    "                        matches REGEX, or the board fails\n"
    "      --expect-within S how long it has to say it (default 5 seconds)\n"
    "      --before SEQ      modem-line steps before the first block (dtr, -dtr, rts, -rts,\n"
    "                        break, -break, wait:MS, or reset-dtr, reset-rts,\n"
    "                        boot-dtr-reset-rts), as tavrel-flash --before\n"
    "      --after SEQ       the same after the switch packet\n"
    "      --slots FILE      the fixture's names for its ports: lines of PORT-OR-GLOB = Label\n"
    "                        (\"Slot 3\"), on the tiles and in the log\n"
    "      --log FILE        append the results to FILE (default: results.jsonl in the user's\n"
    "                        data folder)\n"
    "  -h, --help            show this help\n"
    "  -V, --version         show the version\n"
    "\n"
    "Arguments:\n"
    "  IMAGE                 the firmware image to load at start (optional)\n"
    "\n"
    "Exit status: 0 when the window is closed; 1 for a usage error; 128 + the signal when\n"
    "SIGTERM, SIGHUP or SIGINT ended it (every update stopped and recorded first).\n";

// The command line, read before any window exists: --help and --version need no display.
struct StationCommandLine {
    StationWindow::Options options;
    bool help = false;
    bool version = false;
    QString error;
};

StationCommandLine ParseCommandLine(int argc, char** argv) {
    enum {
        kWatch = 256,
        kAuto,
        kLog,
        kPortFilter,
        kExpect,
        kExpectWithin,
        kBefore,
        kAfter,
        kSlots,
        kPort
    };
    static const option kOptions[] = {{"baud", required_argument, nullptr, 'b'},
                                      {"watch", required_argument, nullptr, kWatch},
                                      {"auto", no_argument, nullptr, kAuto},
                                      {"log", required_argument, nullptr, kLog},
                                      {"port-filter", required_argument, nullptr, kPortFilter},
                                      {"expect", required_argument, nullptr, kExpect},
                                      {"expect-within", required_argument, nullptr, kExpectWithin},
                                      {"before", required_argument, nullptr, kBefore},
                                      {"after", required_argument, nullptr, kAfter},
                                      {"slots", required_argument, nullptr, kSlots},
                                      {"port", required_argument, nullptr, 'p'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, 'V'},
                                      {nullptr, 0, nullptr, 0}};
    StationCommandLine line;
    StationWindow::Options& options = line.options;
    QStringList images;
    bool expectWithinGiven = false;
    opterr = 0;
    optind = 0;
    for (;;) {
        const int at = optind == 0 ? 1 : optind;
        const int code = getopt_long(argc, argv, "-:b:p:hV", kOptions, nullptr);
        if (code == -1) {
            break;
        }
        const QString word = at < argc ? QString::fromLocal8Bit(argv[at]) : QString();
        const QString spelled = word.startsWith(QLatin1String("--"))
                                    ? word.section(QLatin1Char('='), 0, 0)
                                    : QStringLiteral("-%1").arg(QLatin1Char(
                                          char(code == '?' || code == ':' ? optopt : code)));
        const QString value =
            code == ':' || optarg == nullptr ? QString() : QString::fromLocal8Bit(optarg);
        bool ok = false;
        switch (code == ':' ? optopt : code) {
        case 1:
            images << value;
            break;
        case 'h':
            line.help = true;
            break;
        case 'V':
            line.version = true;
            break;
        case 'b':
            options.baud = value.toInt(&ok);
            if (!ok || options.baud < 1) {
                line.error = QStringLiteral("%1 needs a whole number from 1 up").arg(spelled);
                return line;
            }
            break;
        case 'p': {
            // Local ports are watched; a port on a serial server is named.
            const NetworkAddressParse parse = ParseNetworkAddress(value);
            if (!parse.address) {
                line.error = LooksLikeNetworkPort(value)
                                 ? parse.error
                                 : QStringLiteral("%1 names a port on a serial server "
                                                  "(rfc2217://HOST:PORT or socket://HOST:PORT); "
                                                  "the window shows local ports by itself, or "
                                                  "those --watch GLOB matches")
                                       .arg(spelled);
                return line;
            }
            if (!options.networkPorts.contains(parse.address->Name())) {
                options.networkPorts << parse.address->Name();
            }
            break;
        }
        case kAuto:
            options.autoMode = true;
            break;
        case kWatch:
        case kLog:
            // An empty name (a script's unset variable) is no name: refused, nothing opened.
            if (value.isEmpty()) {
                line.error =
                    QStringLiteral("%1 needs a value, and an empty one is none").arg(spelled);
                return line;
            }
            if (const QString why = station::RefuseWatchPattern(QFile::encodeName(value));
                code == kWatch && !why.isEmpty()) {
                line.error = QStringLiteral("%1: %2").arg(spelled, why);
                return line;
            }
            (code == kWatch ? options.watchPattern : options.logFile) = value;
            break;
        case kPortFilter: {
            QString error;
            const std::optional<PortFilter> filter = ParsePortFilter(value, &error);
            if (!filter) {
                line.error = QStringLiteral("%1: %2").arg(spelled, error);
                return line;
            }
            options.portFilters << *filter;
            break;
        }
        case kExpect:
            if (const QString why = station::RefuseExpectation(value); !why.isEmpty()) {
                line.error = QStringLiteral("%1 %2").arg(spelled, why);
                return line;
            }
            options.expect = value;
            break;
        case kBefore:
        case kAfter: {
            QString error;
            const std::optional<ModemSequence> steps = ParseModemSequence(value, &error);
            if (!steps) {
                line.error = QStringLiteral("%1: %2").arg(spelled, error);
                return line;
            }
            (code == kBefore ? options.before : options.after) = *steps;
            break;
        }
        case kSlots: {
            QString error;
            const std::optional<SlotLabels> slots = SlotLabels::Read(value, &error);
            if (!slots) {
                line.error = error;
                return line;
            }
            options.slots = *slots;
            break;
        }
        case kExpectWithin:
            expectWithinGiven = true;
            if (const auto seconds = station::ExpectWithinSeconds(value)) {
                options.expectWithinSeconds = *seconds;
            } else {
                line.error =
                    QStringLiteral("%1 needs %2").arg(spelled, station::kExpectWithinRange);
                return line;
            }
            break;
        default:
            line.error = QStringLiteral("unknown option %1").arg(spelled);
            return line;
        }
    }
    for (int i = optind; i < argc; ++i) {
        images << QString::fromLocal8Bit(argv[i]);
    }
    if (expectWithinGiven && options.expect.isEmpty()) {
        line.error = QStringLiteral("--expect-within gives the time for --expect; give --expect "
                                    "too, or leave both out");
        return line;
    }
    if (images.size() > 1) {
        line.error = QStringLiteral("give one IMAGE");
    }
    options.image = images.value(0);
    if (options.networkPorts.isEmpty() && line.error.isEmpty()) {
        const station::ConfiguredPorts configured = station::ConfiguredNetworkPorts();
        line.error = configured.error;
        options.networkPorts = configured.ports;
    }
    return line;
}

} // namespace

// --help or --version (or a shortening of either, -h, -V) before "--": answered before any
// window, or Qt's own options, exist.
const char* HelpOrVersion(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const QByteArray word(argv[i]);
        if (word == "--") {
            break;
        }
        if (word == "-h" || (word.size() > 2 && QByteArray("--help").startsWith(word))) {
            return kHelp;
        }
        if (word == "-V" || (word.size() > 3 && QByteArray("--version").startsWith(word))) {
            return "tavrel-station " TAVREL_VERSION "\n";
        }
    }
    return nullptr;
}

// The words without Qt's own options (-platform NAME, -style NAME, -reverse, ...), which
// QApplication takes: the program's options are read, and refused, before any display is needed.
std::vector<char*> WithoutQtOptions(int argc, char** argv) {
    static const QSet<QByteArray> withValue{
        "platform",    "platformpluginpath", "platformtheme", "plugin",     "qwindowgeometry",
        "qwindowicon", "qwindowtitle",       "style",         "stylesheet", "session",
        "display",     "geometry",           "title",         "name",       "qmljsdebugger"};
    static const QSet<QByteArray> alone{"reverse", "widgetcount", "nograb", "dograb", "sync"};
    std::vector<char*> words{argv[0]};
    for (int i = 1; i < argc; ++i) {
        QByteArray name(argv[i]);
        if (name == "--") {
            words.insert(words.end(), argv + i, argv + argc);
            break;
        }
        name = name.startsWith("--") ? name.mid(2) : name.startsWith('-') ? name.mid(1) : "";
        if (withValue.contains(name.split('=').first()) && !name.contains('=')) {
            ++i; // and its value
        } else if (!withValue.contains(name.split('=').first()) && !alone.contains(name)) {
            words.push_back(argv[i]);
        }
    }
    words.push_back(nullptr);
    return words;
}

int main(int argc, char** argv) {
    if (const char* text = HelpOrVersion(argc, argv)) {
        std::fputs(text, stdout);
        return 0;
    }
    std::vector<char*> own = WithoutQtOptions(argc, argv);
    const StationCommandLine line = ParseCommandLine(static_cast<int>(own.size()) - 1, own.data());
    if (!line.error.isEmpty()) {
        std::fprintf(stderr, "tavrel-station: %s\nTry tavrel-station --help.\n",
                     line.error.toLocal8Bit().constData());
        return 1;
    }
    if (!line.options.image.isEmpty()) {
        ImageStore image;
        const QByteArray path = QFile::encodeName(line.options.image);
        if (const QString empty = RefuseEmptyImage(LoadFirmwareFile(image, path).result, path);
            !empty.isEmpty()) {
            std::fprintf(stderr, "tavrel-station: %s\n", empty.toLocal8Bit().constData());
            return 2;
        }
    }
    QApplication app(argc, argv);
    NetworkLibrary network;
    QCoreApplication::setApplicationName(QStringLiteral("tavrel-station"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));
    QApplication::setWindowIcon(StationIcon());
    const StationWindow::Options& options = line.options;
    StationWindow window(options);
    int stoppedBy = 0;
    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
            sigaction(signal, &action, nullptr);
        }
        signalNotifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, [&] {
            char number = 0;
            if (::read(g_signalPipe[0], &number, 1) == 1 && stoppedBy == 0) {
                stoppedBy = number;
                window.StopForSignal(stoppedBy);
                QApplication::quit();
            }
        });
    }
    window.show();
    const int status = app.exec();
    return stoppedBy != 0 ? 128 + stoppedBy : status; // as a shell reports a signal
}
