// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/DevSim.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

namespace devsim {

std::string UsageText() {
    return "Usage: tavrel-devsim [options] [DEVICE]\n"
           "A simulated boot loader. Without DEVICE it creates a pseudo-terminal and prints the\n"
           "path of its slave side on the first line of standard output.\n"
           "  --link PATH          also make a symbolic link to the pty at PATH\n"
           "  --out FILE           write the received image to FILE on each switch packet\n"
           "  --baud N             answer only after the packet's time on a line of N baud\n"
           "  --ack-delay MS       wait MS milliseconds more before each answer\n"
           "  --silent-after N     answer no block after the N-th\n"
           "  --silent-once-after N  the same in the first update only (a device that stalls\n"
           "                       once and takes the update when it is started over)\n"
           "  --hangup-after N     close the pty after the N-th block (an unplugged cable)\n"
           "  --split-ack          send \"AC\", pause, then \"K\"\n"
           "  --ack-suffix TEXT    send TEXT after each ACK (escapes: \\r \\n \\t \\xNN)\n"
           "  --noise              send a line of text before every answer\n"
           "  --exit-on-switch     exit once the switch packet has arrived\n"
           "  --after-switch MS:TEXT  send TEXT (escapes as above) MS milliseconds after each\n"
           "                       switch packet, as a new program's banner; may be repeated\n"
           "  --echo-serial OFFSET:FORMAT  after each switch packet send \"SN=NUMBER\\r\\n\", the\n"
           "                       number at OFFSET of the received image in FORMAT (u32le,\n"
           "                       u32be, u64le, dec:N, hex:N), as a program printing its own\n"
           "  --timing FILE        write per-block timestamps (microseconds) to FILE\n"
           "  --count N            serve N devices at once, one pty each, their paths printed one\n"
           "                       per line; FILE and PATH above get the device's number (for\n"
           "                       \"%d\" in them, or as \".N\" at the end)\n"
           "  -v, --verbose        report every packet on standard error, with the monotonic\n"
           "                       time in microseconds at which its last bytes arrived\n"
           "  -h, --help           show this help\n"
           "  -V, --version        show the version\n"
           "Blocks must come in order: block 0x14 begins an update (and drops any earlier\n"
           "one), every other block follows the one before it, and the switch packet ends it.\n"
           "Exit status: 0 when at least one block and then the switch packet arrived, every\n"
           "block came in order, the last update was finished, --out could be written and\n"
           "nothing malformed was seen; 1 otherwise, with the reason on standard error; 64 for\n"
           "a usage error; 69 when the port cannot be set up.\n";
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'r') {
            out += '\r';
        } else if (c == 'n') {
            out += '\n';
        } else if (c == 't') {
            out += '\t';
        } else if (c == '0') {
            out += '\0';
        } else if (c == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

namespace {
bool ParseCount(const char* text, long& value) {
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < 0) {
        return false;
    }
    value = parsed;
    return true;
}
} // namespace

std::string ParseOptions(int argc, char** argv, Options& options, bool& help, bool& version) {
    enum : int {
        kSplitAck = 256,
        kNoise,
        kExitOnSwitch,
        kLink,
        kOut,
        kTiming,
        kAckSuffix,
        kAfterSwitch,
        kCount,
        kBaud,
        kAckDelay,
        kSilentAfter,
        kSilentOnceAfter,
        kHangupAfter,
        kEchoSerial,
    };
    static const option kOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {"verbose", no_argument, nullptr, 'v'},
        {"split-ack", no_argument, nullptr, kSplitAck},
        {"noise", no_argument, nullptr, kNoise},
        {"exit-on-switch", no_argument, nullptr, kExitOnSwitch},
        {"link", required_argument, nullptr, kLink},
        {"out", required_argument, nullptr, kOut},
        {"timing", required_argument, nullptr, kTiming},
        {"ack-suffix", required_argument, nullptr, kAckSuffix},
        {"after-switch", required_argument, nullptr, kAfterSwitch},
        {"count", required_argument, nullptr, kCount},
        {"baud", required_argument, nullptr, kBaud},
        {"ack-delay", required_argument, nullptr, kAckDelay},
        {"silent-after", required_argument, nullptr, kSilentAfter},
        {"silent-once-after", required_argument, nullptr, kSilentOnceAfter},
        {"hangup-after", required_argument, nullptr, kHangupAfter},
        {"echo-serial", required_argument, nullptr, kEchoSerial},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    optind = 0;
    for (;;) {
        const int at = optind == 0 ? 1 : optind;
        const int code = getopt_long(argc, argv, "-:hVv", kOptions, nullptr);
        if (code == -1) {
            break;
        }
        const std::string word = at < argc ? argv[at] : "";
        // The option as it was written, for messages.
        const std::string arg =
            word.rfind("--", 0) == 0
                ? word.substr(0, word.find('='))
                : std::string("-") + char(code == '?' || code == ':' ? optopt : code);
        if (code == '?') {
            return "unknown option " + arg;
        }
        if (code == ':') {
            return arg + " needs a value";
        }
        const char* v = optarg;
        long* count = nullptr;
        switch (code) {
        case 1:
            if (options.device) {
                return "only one DEVICE may be given";
            }
            options.device = v;
            break;
        case 'h':
            help = true;
            return {};
        case 'V':
            version = true;
            break;
        case 'v':
            options.verbose = true;
            break;
        case kSplitAck:
            options.splitAck = true;
            break;
        case kNoise:
            options.noise = true;
            break;
        case kExitOnSwitch:
            options.exitOnSwitch = true;
            break;
        case kLink:
            options.link = v;
            break;
        case kOut:
            options.outFile = v;
            break;
        case kTiming:
            options.timingFile = v;
            break;
        case kAckSuffix:
            options.ackSuffix = Unescape(v);
            break;
        case kAfterSwitch: {
            char* end = nullptr;
            errno = 0;
            const long ms = std::strtol(v, &end, 10);
            if (ms < 0 || end == v || *end != ':' || errno != 0) {
                return arg + " needs MS:TEXT, for example 200:hello\\r\\n";
            }
            options.afterSwitch.emplace_back(ms, Unescape(end + 1));
            break;
        }
        case kEchoSerial: {
            char* end = nullptr;
            errno = 0;
            const long offset = std::strtol(v, &end, 0);
            const std::string format = end && *end == ':' ? std::string(end + 1) : std::string();
            if (offset < 0 || end == v || errno != 0 ||
                ReadSerial(std::string(8 + 20, '0'), 0, format).empty()) {
                return arg + " needs OFFSET:FORMAT, for example 0x100:u32le or 16:dec:8";
            }
            options.echoOffset = offset;
            options.echoFormat = format;
            break;
        }
        case kCount:
            count = &options.count;
            break;
        case kBaud:
            count = &options.baud;
            break;
        case kAckDelay:
            count = &options.ackDelayMs;
            break;
        case kSilentAfter:
            count = &options.silentAfter;
            break;
        case kSilentOnceAfter:
            count = &options.silentOnceAfter;
            break;
        case kHangupAfter:
            count = &options.hangupAfter;
            break;
        default:
            return "unknown option " + arg;
        }
        if (count != nullptr && !ParseCount(v, *count)) {
            return arg + " needs a whole number of 0 or more";
        }
    }
    for (int i = optind; i < argc; ++i) {
        if (options.device) {
            return "only one DEVICE may be given";
        }
        options.device = argv[i];
    }
    return {};
}

} // namespace devsim
