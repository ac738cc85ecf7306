// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/OptionTable.h"

#include "base/VisibleText.h"
#include "serial/NetworkAddress.h"
#include "serial/PortMapping.h"
#include "station/PortUpdate.h"
#include "station/PortWatcher.h"

#include <QRegularExpression>
#include <cmath>
#include <getopt.h>
#include <vector>

namespace config {

namespace {

using Value = OptionRow::Value;
constexpr unsigned kBoth = kFlash | kStation;

QString Text(const QByteArray& value) {
    return QString::fromLocal8Bit(value);
}

QString Flag(bool& flag) {
    flag = true;
    return {};
}

QString TakePort(RunSettings& s, const QByteArray& value, OptionContext& c) {
    if (value.startsWith('=')) {
        return QStringLiteral("%1 takes the port without '=' (-pPORT or -p PORT)").arg(c.spelled);
    }
    if (value.isEmpty()) {
        // An empty name (a script's unset variable) never means "any port".
        return QStringLiteral("%1 needs a port, and an empty name is none").arg(c.spelled);
    }
    const QString text = Text(value);
    // "-p com 3": the number may come as its own word.
    if (text.compare(QLatin1String("com"), Qt::CaseInsensitive) == 0 && c.next < c.words.size() &&
        ParseComName(text + Text(c.words[c.next]))) {
        s.port = text + QLatin1Char(' ') + Text(c.words[c.next++]);
    } else {
        s.port = PortNameFromBytes(value);
    }
    // A port on a serial server is checked now, before any other port is opened.
    if (LooksLikeNetworkPort(s.port)) {
        if (const NetworkAddressParse parse = ParseNetworkAddress(s.port); !parse) {
            return QStringLiteral("%1: %2").arg(c.spelled, parse.error().text);
        }
    }
    s.ports << s.port;
    return {};
}

QString TakeWatch(RunSettings& s, const QByteArray& value, OptionContext& c) {
    s.watch = true;
    static const QRegularExpression wildcard(QStringLiteral("[*?\\[]"));
    if (c.attached) {
        if (value.isEmpty()) {
            return QStringLiteral("--watch= needs a pattern; give --watch alone to watch the USB "
                                  "serial ports");
        }
        if (const QString why = station::RefuseWatchPattern(value); !why.isEmpty()) {
            return QStringLiteral("--watch: %1").arg(why);
        }
        s.watchPattern = value;
    } else if (c.program == kStation) {
        // The station watches the USB serial ports unless given a pattern, which follows.
        const QByteArray pattern = c.words.value(c.next);
        if (pattern.isEmpty() || pattern.startsWith('-')) {
            return QStringLiteral("%1 needs a pattern such as '/dev/serial/by-id/*'")
                .arg(c.spelled);
        }
        if (const QString why = station::RefuseWatchPattern(pattern); !why.isEmpty()) {
            return QStringLiteral("%1: %2").arg(c.spelled, why);
        }
        s.watchPattern = pattern;
        ++c.next;
    } else if (c.next < c.words.size() && c.words[c.next].isEmpty()) {
        return QStringLiteral("--watch is followed by an empty pattern; give --watch alone to "
                              "watch the USB serial ports");
    } else if (c.next < c.words.size() && !c.words[c.next].startsWith('-') &&
               Text(c.words[c.next]).contains(wildcard)) {
        s.watchPattern = c.words[c.next++];
        c.tookNextWord = true;
    }
    return {};
}

QString TakeRetries(RunSettings& s, const QByteArray& value, OptionContext& c) {
    bool ok = false;
    s.retries = Text(value).toInt(&ok);
    return ok && s.retries >= 0 && s.retries <= 1000
               ? QString()
               : QStringLiteral("%1 needs a whole number from 0 to 1000").arg(c.spelled);
}

QString TakeFile(QByteArray& into, const QByteArray& value, const QString& spelled,
                 const char* what) {
    if (value.isEmpty()) {
        return QStringLiteral("%1 needs %2").arg(spelled, QLatin1String(what));
    }
    into = value;
    return {};
}

QString TakeBase(RunSettings& s, const QByteArray& value, OptionContext& c) {
    const QString text = Text(value);
    bool ok = false;
    const qulonglong address = text.toULongLong(&ok, 0);
    // Decimal or 0x hex: a leading zero is not octal here, it is refused.
    const bool octalLooking = text.size() > 1 && text.startsWith(QLatin1Char('0')) &&
                              !text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    if (!ok || octalLooking || address > 0xFFFFFFFFULL) {
        return QStringLiteral("%1 needs an address in decimal or 0x hex, for example 0x08000000")
            .arg(c.spelled);
    }
    s.base = static_cast<quint32>(address);
    return {};
}

QString TakeFormat(RunSettings& s, const QByteArray& value, OptionContext& c) {
    const QString name = Text(value).toLower();
    if (name == QLatin1String("bin")) {
        s.format = ImageFormat::Binary;
    } else if (name == QLatin1String("hex")) {
        s.format = ImageFormat::IntelHex;
    } else if (name == QLatin1String("srec")) {
        s.format = ImageFormat::SRecord;
    } else {
        return QStringLiteral("%1 needs bin, hex or srec").arg(c.spelled);
    }
    return {};
}

QString TakeBaud(RunSettings& s, const QByteArray& value, OptionContext& c) {
    bool ok = false;
    s.baud = Text(value).toInt(&ok);
    return ok && s.baud >= 1
               ? QString()
               : QStringLiteral("%1 needs a baud rate, a whole number from 1 up").arg(c.spelled);
}

QString TakeTimeout(RunSettings& s, const QByteArray& value, OptionContext& c) {
    bool ok = false;
    s.timeoutSeconds = Text(value).toDouble(&ok);
    return ok && std::isfinite(s.timeoutSeconds) && s.timeoutSeconds >= 0 && s.timeoutSeconds <= 1e6
               ? QString()
               : QStringLiteral("%1 needs a number of seconds from 0 (waits forever) to 1000000")
                     .arg(c.spelled);
}

QString TakePortFilter(RunSettings& s, const QByteArray& value, OptionContext& c) {
    const auto filter = ParsePortFilter(Text(value));
    if (!filter) {
        return QStringLiteral("%1: %2").arg(c.spelled, filter.error().text);
    }
    s.portFilters << *filter;
    return {};
}

QString TakeExpect(RunSettings& s, const QByteArray& value, OptionContext& c) {
    if (const QString why = station::RefuseExpectation(Text(value)); !why.isEmpty()) {
        return QStringLiteral("%1 %2").arg(c.spelled, why);
    }
    s.expect = Text(value);
    return {};
}

QString TakeExpectWithin(RunSettings& s, const QByteArray& value, OptionContext& c) {
    const std::optional<double> seconds = station::ExpectWithinSeconds(Text(value));
    if (!seconds) {
        return QStringLiteral("%1 needs %2").arg(c.spelled, station::kExpectWithinRange);
    }
    s.expectWithinSeconds = *seconds;
    return {};
}

QString TakeSequence(ModemSequence& into, const QByteArray& value, const QString& spelled) {
    const auto steps = ParseModemSequence(Text(value));
    if (!steps) {
        return QStringLiteral("%1: %2").arg(spelled, steps.error().text);
    }
    into = *steps;
    return {};
}

QString TakeNetworkPorts(RunSettings& s, const QByteArray& value, OptionContext& c) {
    const auto ports = ParseNetworkPortList(Text(value));
    if (!ports) {
        return ports.error().text;
    }
    s.networkPorts = *ports;
    if (s.networkPorts.isEmpty()) {
        return QStringLiteral("%1 needs a list of ports such as rfc2217://10.0.0.5:4001")
            .arg(c.spelled);
    }
    return {};
}

const QList<OptionRow> kTable = {
    {"port", 'p', Value::Required, kBoth, false, "TAVREL_PORT", false, "PORT",
     "a device path (/dev/ttyUSB0), comN / \"com N\" mapped as in the\n"
     "window (TAVREL_COM<N> first), or a port on a serial server:\n"
     "rfc2217://HOST:PORT (the line set through RFC 2217) or\n"
     "socket://HOST:PORT (raw TCP). Default: the one USB serial port\n"
     "(never a built-in UART, ttyS*). Give it several times to flash\n"
     "several ports at once.",
     "a port on a serial server as well: rfc2217://HOST:PORT or\n"
     "socket://HOST:PORT, shown once the server takes a connection;\n"
     "give it again for another (default: network-ports in the\n"
     "configuration file)",
     TakePort},
    {"port-filter", 0, Value::Required, kBoth, true, nullptr, false, "F",
     "only ports F takes, for the default port, --all-ports and\n"
     "--watch: vid=0483,pid=5740,serial=...,name=GLOB (fields\n"
     "and-ed; give it again for another filter, either may match)",
     nullptr, TakePortFilter},
    {"all-ports", 0, Value::None, kFlash, false, nullptr, true, nullptr,
     "flash every serial port of the system at once (USB first);\n"
     "a built-in UART (ttyS*) only when -p or name=ttyS... names it",
     nullptr, [](RunSettings& s, const QByteArray&, OptionContext&) { return Flag(s.allPorts); }},
    {"watch", 0, Value::Optional, kBoth, true, nullptr, false, "[GLOB]",
     "station mode: flash each port as it appears (the system's USB\n"
     "serial ports, or the paths matching GLOB, which must hold * ? or\n"
     "[, e.g. '/dev/serial/by-id/*'), again only after it has gone and\n"
     "come back (one that drops the port within 2 s of passing and\n"
     "is back within 10 s is taken for the same board restarting);\n"
     "runs until Ctrl-C, then prints the totals",
     "show the ports whose paths match GLOB (for example\n"
     "'/dev/serial/by-id/*') instead of the system's USB serial ports",
     TakeWatch},
    {"network-ports", 0, Value::Required, kBoth, true, nullptr, false, "LIST",
     "with --watch: ports on serial servers as well\n"
     "(rfc2217://HOST:PORT or socket://HOST:PORT, separated by\n"
     "commas), each flashed once its server takes a connection",
     "ports on serial servers, as -p gives them one by one,\n"
     "separated by commas",
     TakeNetworkPorts},
    {"auto", 0, Value::None, kStation, false, nullptr, false, nullptr,
     "start in Auto: flash each device as soon as it appears", nullptr,
     [](RunSettings& s, const QByteArray&, OptionContext&) { return Flag(s.autoMode); }},
    {"retries", 0, Value::Required, kBoth, true, nullptr, false, "N",
     "start a port that failed (for any reason but the image) over\n"
     "from block 0, up to N more times (default 0)",
     nullptr, TakeRetries},
    {"log", 0, Value::Required, kBoth, true, nullptr, false, "FILE",
     "append one JSON line per attempt to FILE, synced to the disk",
     "append the results to FILE (default: results.jsonl in the user's\n"
     "data folder)",
     [](RunSettings& s, const QByteArray& value, OptionContext& c) {
         return TakeFile(s.logFile, value, c.spelled, "a file");
     }},
    {"base", 0, Value::Required, kBoth, false, nullptr, false, "ADDRESS",
     "for an Intel HEX or S-record IMAGE: the address of the image's\n"
     "first byte (default: the lowest address in the file)",
     nullptr, TakeBase},
    {"format", 0, Value::Required, kBoth, false, nullptr, false, "FORMAT",
     "read IMAGE as bin, hex (Intel HEX) or srec (S-record); by\n"
     "default its content tells (a file named as HEX or S-record,\n"
     ".hex, .srec, .s19 and so on, that does not begin like either\n"
     "is refused)",
     nullptr, TakeFormat},
    {"baud", 'b', Value::Required, kBoth, true, "TAVREL_BAUD", false, "RATE",
     "baud rate (default 115200); 8 data bits, no parity, 1 stop bit", nullptr, TakeBaud},
    {"timeout", 't', Value::Required, kBoth, true, nullptr, false, "SECS",
     "how long to wait for each ACK (default 10; 0 waits forever;\n"
     "at most 1000000)",
     nullptr, TakeTimeout},
    {"switch-only", 0, Value::None, kFlash, false, nullptr, true, nullptr,
     "send the switch packet alone and exit (IMAGE not needed)", nullptr,
     [](RunSettings& s, const QByteArray&, OptionContext&) { return Flag(s.switchOnly); }},
    {"expect", 0, Value::Required, kBoth, true, nullptr, false, "REGEX",
     "after the switch packet the new program must say something that\n"
     "matches REGEX, or the board fails (exit 7): the only proof that\n"
     "it runs; a port dropped meanwhile is opened again by its name",
     "after the switch packet the new program must say something that\n"
     "matches REGEX, or the board fails",
     TakeExpect},
    {"expect-within", 0, Value::Required, kBoth, true, nullptr, false, "SECS",
     "how long it has to say it (default 5)", nullptr, TakeExpectWithin},
    {"slots", 0, Value::Required, kBoth, true, nullptr, false, "FILE",
     "the fixture's names for its ports: lines of PORT-OR-GLOB = Label\n"
     "(\"Slot 3\"), shown and recorded in the log",
     nullptr,
     [](RunSettings& s, const QByteArray& value, OptionContext& c) {
         QByteArray file;
         const QString why = TakeFile(file, value, c.spelled, "a file");
         s.slotsFile = Text(file);
         return why;
     }},
    {"before", 0, Value::Required, kBoth, true, nullptr, false, "SEQ",
     "modem-line steps on the opened port before the first block,\n"
     "to drive a fixture's reset and boot pins: dtr, -dtr, rts, -rts,\n"
     "break, -break and wait:MS, comma-separated, or a named one:\n"
     "reset-dtr, reset-rts, boot-dtr-reset-rts (tavrel-flash --help\n"
     "lists them); a port that cannot set a line is refused before any\n"
     "block is sent",
     nullptr,
     [](RunSettings& s, const QByteArray& value, OptionContext& c) {
         return TakeSequence(s.before, value, c.spelled);
     }},
    {"after", 0, Value::Required, kBoth, true, nullptr, false, "SEQ",
     "the same after the switch packet", nullptr,
     [](RunSettings& s, const QByteArray& value, OptionContext& c) {
         return TakeSequence(s.after, value, c.spelled);
     }},
    {"list-ports", 0, Value::None, kFlash, false, nullptr, false, nullptr,
     "show com 1 to com 15 and what each maps to, then every port with\n"
     "its stable names, USB ids, serial number, maker and use",
     nullptr, [](RunSettings& s, const QByteArray&, OptionContext&) { return Flag(s.listPorts); }},
    {"json", 'j', Value::None, kFlash, false, nullptr, false, nullptr,
     "progress as one JSON object per line on standard output", nullptr,
     [](RunSettings& s, const QByteArray&, OptionContext&) { return Flag(s.json); }},
    {"verbose", 'v', Value::None, kFlash, false, nullptr, false, nullptr,
     "where each value came from, how each port was found and set\n"
     "up, and every block with its time; twice: every byte too",
     nullptr,
     [](RunSettings& s, const QByteArray&, OptionContext&) {
         ++s.verbose;
         return QString();
     }},
    {"trace", 0, Value::Required, kFlash, false, nullptr, false, "FILE",
     "log every byte sent and received (\"-\": standard error)", nullptr,
     [](RunSettings& s, const QByteArray& value, OptionContext& c) {
         return TakeFile(s.traceFile, value, c.spelled, "a file (or - for standard error)");
     }},
    {"quiet", 'q', Value::None, kFlash, false, nullptr, false, nullptr,
     "no progress, only errors\n"
     "(--json ends every run, failed or not, with a record that\n"
     "carries the exit status)",
     nullptr, [](RunSettings& s, const QByteArray&, OptionContext&) { return Flag(s.quiet); }},
    {"job", 0, Value::Required, kBoth, true, nullptr, false, "FILE",
     "follow the signed job FILE: its image (by its SHA-256), rate,\n"
     "waits, modem sequences and check after the switch, which nothing\n"
     "else may change; refused unless signed by a key in\n"
     "/etc/tavrel/job-keys or ~/.config/tavrel/job-keys (tavrel-job)",
     nullptr,
     [](RunSettings& s, const QByteArray& value, OptionContext& c) {
         return TakeFile(s.jobPath, value, c.spelled, "a job file");
     }},
    {"operator", 0, Value::Required, kBoth, false, nullptr, false, "ID",
     "who runs the station, recorded with every attempt", nullptr,
     [](RunSettings& s, const QByteArray& value, OptionContext& c) {
         s.operatorId = Text(value).trimmed();
         return s.operatorId.isEmpty() ? QStringLiteral("%1 needs a name").arg(c.spelled)
                                       : QString();
     }},
    {"work-order", 0, Value::Required, kBoth, false, nullptr, false, "WO",
     "the work order the boards are made for, recorded with every\n"
     "attempt",
     nullptr,
     [](RunSettings& s, const QByteArray& value, OptionContext& c) {
         s.workOrder = Text(value).trimmed();
         return s.workOrder.isEmpty() ? QStringLiteral("%1 needs a work order").arg(c.spelled)
                                      : QString();
     }},
    {"store", 0, Value::Required, kBoth, true, "TAVREL_STORE", false, "URL",
     "keep every attempt in a records store: sqlite:PATH, or the line's\n"
     "PostgreSQL as postgresql://USER@HOST:PORT/DB (its password from\n"
     "~/.pgpass or PGPASSWORD); records wait in the station's own\n"
     "SQLite until the server takes them",
     "keep every attempt in a records store (default: sqlite: records.sqlite\n"
     "in the user's data folder), or forward them to the line's\n"
     "PostgreSQL: postgresql://USER@HOST:PORT/DB (its password from\n"
     "~/.pgpass or PGPASSWORD)",
     [](RunSettings& s, const QByteArray& value, OptionContext& c) {
         const auto url = records::ParseStoreUrl(Text(value));
         if (!url) {
             return QStringLiteral("%1: %2").arg(c.spelled, url.error().text);
         }
         s.store = *url;
         return QString();
     }},
    {"stamp", 0, Value::Required, kBoth, true, nullptr, false, "RECIPE",
     "write each board's own fields into its copy of the image:\n"
     "serial@OFFSET:FORMAT (u32le, u32be, u64le, dec:N, hex:N),\n"
     "mac@OFFSET, text@OFFSET:N=TEXT ({serial}, {mac}, {station}, {date})\n"
     "and crc32@OFFSET=FROM..TO, separated by ';'; ':over' lets a field\n"
     "cover bytes that are not blank. Serial numbers come from\n"
     "--stamp-counter, MAC addresses from --stamp-mac-pool, each given to\n"
     "one board only",
     nullptr,
     [](RunSettings& s, const QByteArray& value, OptionContext&) {
         auto recipe = ParseStampRecipe(Text(value));
         if (!recipe) {
             return recipe.error().text;
         }
         s.stamp = *recipe;
         return QString();
     }},
    {"stamp-counter", 0, Value::Required, kBoth, true, nullptr, false, "NAME=FROM..TO",
     "the counter of serial numbers --stamp writes, kept in the records\n"
     "store (across the line with PostgreSQL)",
     nullptr,
     [](RunSettings& s, const QByteArray& value, OptionContext& c) {
         static const QRegularExpression shape(
             QStringLiteral("^([A-Za-z0-9_.-]+)=([0-9]+)\\.\\.([0-9]+)$"));
         const QRegularExpressionMatch match = shape.match(Text(value));
         bool fromOk = false;
         bool toOk = false;
         const qint64 from = match.captured(2).toLongLong(&fromOk);
         const qint64 to = match.captured(3).toLongLong(&toOk);
         if (!match.hasMatch() || !fromOk || !toOk || to < from || to >= (qint64(1) << 62)) {
             return QStringLiteral("%1 takes NAME=FROM..TO (below 2^62), for example "
                                   "sn=1000..1999")
                 .arg(c.spelled);
         }
         s.stampSerial = StampCounter{match.captured(1), from, to};
         return QString();
     }},
    {"stamp-mac-pool", 0, Value::Required, kBoth, true, nullptr, false, "[NAME=]FIRST..LAST",
     "the MAC addresses --stamp writes, as FIRST..LAST\n"
     "(02:12:34:00:00:00..02:12:34:00:ff:ff), kept in the records store\n"
     "as the counter NAME (default: mac)",
     nullptr,
     [](RunSettings& s, const QByteArray& value, OptionContext& c) {
         static const QRegularExpression shape(
             QStringLiteral("^(?:([A-Za-z0-9_.-]+)=)?([0-9A-Fa-f:]+)\\.\\.([0-9A-Fa-f:]+)$"));
         const QRegularExpressionMatch match = shape.match(Text(value));
         const std::optional<quint64> first = ParseMac(match.captured(2));
         const std::optional<quint64> last = ParseMac(match.captured(3));
         if (!match.hasMatch() || !first || !last || *last < *first) {
             return QStringLiteral("%1 takes [NAME=]FIRST..LAST, for example "
                                   "02:12:34:00:00:00..02:12:34:00:ff:ff")
                 .arg(c.spelled);
         }
         // The first byte's lowest bit marks a group (multicast) address, never a board's.
         if ((*first >> 40) & 1 || (*first >> 40) != (*last >> 40)) {
             return QStringLiteral("%1: %2 is a group (multicast) address, no board's, or the "
                                   "pool leaves its first byte")
                 .arg(c.spelled, match.captured((*first >> 40) & 1 ? 2 : 3));
         }
         const QString name = match.captured(1);
         s.stampMac = StampCounter{name.isEmpty() ? QStringLiteral("mac") : name, qint64(*first),
                                   qint64(*last)};
         return QString();
     }},
    {"stamp-lease", 0, Value::Required, kBoth, true, nullptr, false, "N",
     "hold N numbers of each counter on the station, leased from the\n"
     "line's store, for boards while it cannot be reached (default 0:\n"
     "a station cut off from it gives no board a number)",
     nullptr,
     [](RunSettings& s, const QByteArray& value, OptionContext& c) {
         bool ok = false;
         const int count = Text(value).toInt(&ok);
         if (!ok || count < 0 || count > 100000) {
             return QStringLiteral("%1 takes a count from 0 to 100000").arg(c.spelled);
         }
         s.stampLease = count;
         return QString();
     }},
    {"station-name", 0, Value::Required, kBoth, true, nullptr, false, "NAME",
     "the station's name in the records (default: the host's name)", nullptr,
     [](RunSettings& s, const QByteArray& value, OptionContext& c) {
         s.stationName = Text(value).trimmed();
         return s.stationName.isEmpty() ? QStringLiteral("%1 needs a name").arg(c.spelled)
                                        : QString();
     }},
    {"help", 'h', Value::None, kBoth, false, nullptr, false, nullptr, "show this help", nullptr,
     [](RunSettings& s, const QByteArray&, OptionContext&) { return Flag(s.help); }},
    {"version", 'V', Value::None, kBoth, false, nullptr, false, nullptr, "show the version",
     nullptr, [](RunSettings& s, const QByteArray&, OptionContext&) { return Flag(s.version); }},
};

// The long options a word starting with "--" may stand for, as the user wrote it.
QStringList LongOptionsFor(Program program, const QByteArray& word) {
    const QByteArray name = word.mid(2).split('=').first();
    QStringList matches;
    for (const OptionRow& o : kTable) {
        if ((o.programs & program) == 0) {
            continue;
        }
        if (QByteArray(o.name) == name) {
            return {QStringLiteral("--") + QLatin1String(o.name)};
        }
        if (QByteArray(o.name).startsWith(name)) {
            matches << QStringLiteral("--") + QLatin1String(o.name);
        }
    }
    return matches;
}

// The rules between options, once all are read.
QString CheckTogether(Program program, RunSettings& s, const QList<QByteArray>& positional,
                      bool watchTookWord, bool jobMayFollow) {
    if (positional.size() > 1) {
        return QStringLiteral("give one IMAGE, not %1").arg(positional.size());
    }
    s.imagePath = positional.value(0);
    // A job names its image.
    if (positional.isEmpty() && !s.switchOnly && program == kFlash && s.jobPath.isEmpty() &&
        !jobMayFollow) {
        if (watchTookWord) {
            return QStringLiteral("--watch took %1 as the pattern of ports to watch, and no IMAGE "
                                  "is left; write --watch=GLOB or put IMAGE before --watch")
                .arg(VisibleText(s.watchPattern));
        }
        return QStringLiteral("no IMAGE given");
    }
    if (program == kStation) {
        // Local ports are watched; a port on a serial server is named.
        for (const QString& port : std::as_const(s.ports)) {
            const NetworkAddressParse parse = ParseNetworkAddress(port);
            if (!parse) {
                return QStringLiteral("-p names a port on a serial server (rfc2217://HOST:PORT or "
                                      "socket://HOST:PORT); the window shows local ports by "
                                      "itself, or those --watch GLOB matches");
            }
            if (!s.networkPorts.contains(parse->Name())) {
                s.networkPorts << parse->Name();
            }
        }
        s.ports.clear();
        s.port.clear();
    }
    if (SeveralPorts(s)) {
        const int ways = !s.ports.isEmpty() + s.allPorts + s.watch;
        if (ways > 1) {
            return QStringLiteral("give several -p, --all-ports or --watch, not more than one of "
                                  "them");
        }
        if (s.switchOnly || !s.traceFile.isEmpty()) {
            return QStringLiteral("--switch-only and --trace take one port");
        }
    }
    if (program == kFlash && !s.networkPorts.isEmpty() && !s.watch) {
        return QStringLiteral("--network-ports goes with --watch; name a network port with -p to "
                              "flash it now");
    }
    if (!s.ports.isEmpty() && !s.portFilters.isEmpty()) {
        return QStringLiteral("--port-filter chooses among the system's ports, and -p names the "
                              "port already; give one or the other");
    }
    if (s.given.contains(QStringLiteral("expect-within")) && s.expect.isEmpty()) {
        return QStringLiteral("--expect-within gives the time for --expect; give --expect too, or "
                              "leave both out");
    }
    if (s.switchOnly && !s.jobPath.isEmpty()) {
        return QStringLiteral("--switch-only writes no image, and a job is an image to write; "
                              "give one or the other");
    }
    if (s.switchOnly && !s.expect.isEmpty()) {
        return QStringLiteral("--expect checks a new program after an update; --switch-only "
                              "writes none");
    }
    if (s.switchOnly && (!s.logFile.isEmpty() || s.retries > 0)) {
        return QStringLiteral("--switch-only writes no image: it takes neither --log nor "
                              "--retries");
    }
    if (s.ports.size() == 1) {
        s.port = s.ports.first();
    }
    return {};
}

} // namespace

const QList<OptionRow>& OptionTable() {
    return kTable;
}

const OptionRow* FindOption(const QString& name) {
    for (const OptionRow& o : kTable) {
        if (name == QLatin1String(o.name)) {
            return &o;
        }
    }
    return nullptr;
}

SettingsRead ParseCommandLine(Program program, const QList<QByteArray>& arguments,
                              bool jobMayFollow) {
    RunSettings settings;
    std::vector<option> longOptions;
    // Options first take what follows them; a leading '-' keeps the words in their order (so
    // that --watch and -p com may look at the next one), ':' lets a missing value be told apart.
    QByteArray shortOptions = "-:";
    for (int i = 0; i < kTable.size(); ++i) {
        const OptionRow& o = kTable[i];
        if ((o.programs & program) == 0) {
            continue;
        }
        const int argument = o.value == Value::None       ? no_argument
                             : o.value == Value::Required ? required_argument
                                                          : optional_argument;
        longOptions.push_back({o.name, argument, nullptr, 256 + i});
        if (o.letter != 0) {
            shortOptions += o.letter;
            shortOptions += o.value == Value::Required ? ":" : "";
        }
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});
    // getopt reorders nothing in this mode but reads a char* array of its own.
    QList<QByteArray> words = arguments;
    std::vector<char*> argv;
    for (QByteArray& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());
    QList<QByteArray> positional;
    bool watchTookWord = false;
    const auto refuse = [](const QString& message) {
        return SettingsRead(ConfigError{ConfigErrorCode::Usage, message});
    };
    opterr = 0;
    optind = 0; // from the start, whatever parsed before
    for (;;) {
        const int at = optind == 0 ? 1 : optind; // the word being read
        const int code =
            getopt_long(argc, argv.data(), shortOptions.constData(), longOptions.data(), nullptr);
        if (code == -1) {
            break;
        }
        const QByteArray word = at < argc ? words[at] : QByteArray();
        const bool missing = code == ':';
        const int id = missing ? optopt : code;
        const OptionRow* row = nullptr;
        for (int i = 0; i < kTable.size() && row == nullptr; ++i) {
            if (id == 256 + i ||
                (id < 256 && id == kTable[i].letter && (kTable[i].programs & program) != 0)) {
                row = &kTable[i];
            }
        }
        // The option as it was written, for messages: a long one whole, a short one alone.
        const QString spelled =
            word.startsWith("--") ? Text(word.split('=').first())
                                  : QStringLiteral("-%1").arg(
                                        QLatin1Char(char(code == '?' || missing ? optopt : code)));
        if (code == '?') {
            const QStringList meant = LongOptionsFor(program, word);
            if (word.startsWith("--") && meant.size() > 1) {
                return refuse(QStringLiteral("%1 is ambiguous: %2")
                                  .arg(spelled, meant.join(QStringLiteral(", "))));
            }
            if (word.startsWith("--") && meant.size() == 1) {
                return refuse(QStringLiteral("%1 takes no value").arg(meant.first()));
            }
            return refuse(QStringLiteral("unknown option %1").arg(spelled));
        }
        if (code == 1) { // a word that is no option
            positional << QByteArray(optarg);
            continue;
        }
        if (row == nullptr) {
            return refuse(QStringLiteral("unknown option %1").arg(spelled));
        }
        if (row->writtenInFull && word != QByteArray("--") + row->name) {
            // Options that reach ports nobody named are never taken from a shortened name.
            return refuse(
                QStringLiteral("%1: write --%2 in full").arg(spelled, QLatin1String(row->name)));
        }
        const QByteArray value = missing || optarg == nullptr ? QByteArray() : QByteArray(optarg);
        if (row->value != Value::None) { // what a default may not override
            settings.given << QLatin1String(row->name);
        }
        int next = optind;
        OptionContext context{words, next, spelled, program, optarg != nullptr};
        if (const QString why = row->take(settings, value, context); !why.isEmpty()) {
            return refuse(why);
        }
        optind = next;
        watchTookWord = watchTookWord || context.tookNextWord;
    }
    for (int i = optind; i < argc; ++i) {
        positional << words[i]; // after "--"
    }
    if (settings.help || settings.version || settings.listPorts) {
        return settings;
    }
    if (const QString why =
            CheckTogether(program, settings, positional, watchTookWord, jobMayFollow);
        !why.isEmpty()) {
        return refuse(why);
    }
    return settings;
}

QString OptionsHelp(Program program) {
    QString help;
    for (const OptionRow& o : kTable) {
        if ((o.programs & program) == 0) {
            continue;
        }
        QString head = o.letter != 0 ? QStringLiteral("  -%1, --").arg(QLatin1Char(o.letter))
                                     : QStringLiteral("      --");
        head += QLatin1String(o.name);
        if (o.valueName != nullptr) {
            // The station's --watch takes its pattern always.
            QString value = QLatin1String(o.valueName);
            if (program == kStation) {
                value.remove(QLatin1Char('[')).remove(QLatin1Char(']'));
            }
            head += QLatin1Char(' ') + value;
        }
        const char* text = program == kStation && o.stationHelp != nullptr ? o.stationHelp : o.help;
        const QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
        constexpr int kColumn = 23;
        if (head.size() < kColumn - 1) {
            help +=
                head.leftJustified(kColumn, QLatin1Char(' ')) + lines.first() + QLatin1Char('\n');
        } else {
            help += head + QStringLiteral("  ") + lines.first() + QLatin1Char('\n');
        }
        for (qsizetype i = 1; i < lines.size(); ++i) {
            help += QString(kColumn, QLatin1Char(' ')) + lines[i] + QLatin1Char('\n');
        }
    }
    return help;
}

QStringList FileKeys(Program program) {
    QStringList keys;
    for (const OptionRow& o : kTable) {
        if (o.inFiles && (o.programs & program) != 0) {
            keys << QLatin1String(o.name);
        }
    }
    return keys;
}

bool TakesFromEnvironment(const OptionRow& row, Program program) {
    return row.environment != nullptr && (row.programs & program) != 0 &&
           (program == kFlash || QLatin1String(row.name) != QLatin1String("port"));
}

QString SourcesHelp(Program program) {
    QString environment;
    for (const OptionRow& o : kTable) {
        if (TakesFromEnvironment(o, program)) {
            environment +=
                QStringLiteral("  %1as --%2\n")
                    .arg(QString::fromLatin1(o.environment).leftJustified(15, QLatin1Char(' ')),
                         QLatin1String(o.name));
        }
    }
    const QStringList keys = FileKeys(program);
    // The keys wrapped as the rest of the help is.
    QString keyLines = QStringLiteral("  /etc/tavrel/tavrel.conf: INI keys named as the options:");
    QString line;
    for (const QString& key : keys) {
        const QString word = QLatin1Char(' ') + key + (key == keys.last() ? "." : ",");
        if (keyLines.size() - keyLines.lastIndexOf(QLatin1Char('\n')) + word.size() > 86) {
            keyLines += QStringLiteral("\n ");
        }
        keyLines += word;
    }
    return QStringLiteral("Environment:\n") + environment +
           QStringLiteral("  TAVREL_COM<N>  the device that com N stands for\n"
                          "\n"
                          "Files:\n"
                          "  $XDG_CONFIG_HOME/tavrel/tavrel.conf (by default "
                          "~/.config/tavrel/tavrel.conf) over\n") +
           keyLines +
           QStringLiteral("\n  The command line beats the environment, which beats the files.\n");
}

QStringList LongOptionNames(Program program) {
    QStringList names;
    for (const OptionRow& o : kTable) {
        if ((o.programs & program) != 0) {
            names << QStringLiteral("--") + QLatin1String(o.name);
        }
    }
    return names;
}

} // namespace config
