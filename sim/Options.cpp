// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/DevSim.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

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
           "  --timing FILE        write per-block timestamps (microseconds) to FILE\n"
           "  --count N            serve N devices at once, one pty each, their paths printed one\n"
           "                       per line; FILE and PATH above get the device's number (for\n"
           "                       \"%d\" in them, or as \".N\" at the end)\n"
           "  -v, --verbose        report every packet on standard error, with the monotonic\n"
           "                       time in microseconds at which its last bytes arrived\n"
           "  -h, --help           show this help\n"
           "      --version        show the version\n"
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

std::string ParseOptions(int argc, char** argv, Options& options, bool& help) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char*& out) -> bool {
            if (i + 1 >= argc) {
                return false;
            }
            out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        long* count = nullptr;
        if (arg == "-h" || arg == "--help") {
            help = true;
            return {};
        }
        if (arg == "--version") {
            return {}; // answered by the program itself
        } else if (arg == "--split-ack") {
            options.splitAck = true;
        } else if (arg == "--noise") {
            options.noise = true;
        } else if (arg == "--exit-on-switch") {
            options.exitOnSwitch = true;
        } else if (arg == "-v" || arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--link" || arg == "--out" || arg == "--timing" ||
                   arg == "--ack-suffix") {
            if (!value(v)) {
                return arg + " needs a value";
            }
            if (arg == "--link") {
                options.link = v;
            } else if (arg == "--out") {
                options.outFile = v;
            } else if (arg == "--timing") {
                options.timingFile = v;
            } else {
                options.ackSuffix = Unescape(v);
            }
        } else if (arg == "--after-switch") {
            char* end = nullptr;
            if (!value(v) || (errno = 0, std::strtol(v, &end, 10) < 0) || end == v || *end != ':' ||
                errno != 0) {
                return arg + " needs MS:TEXT, for example 200:hello\\r\\n";
            }
            options.afterSwitch.emplace_back(std::strtol(v, nullptr, 10), Unescape(end + 1));
        } else if (arg == "--count") {
            count = &options.count;
        } else if (arg == "--baud") {
            count = &options.baud;
        } else if (arg == "--ack-delay") {
            count = &options.ackDelayMs;
        } else if (arg == "--silent-after") {
            count = &options.silentAfter;
        } else if (arg == "--silent-once-after") {
            count = &options.silentOnceAfter;
        } else if (arg == "--hangup-after") {
            count = &options.hangupAfter;
        } else if (!arg.empty() && arg[0] == '-') {
            return "unknown option " + arg;
        } else if (options.device) {
            return "only one DEVICE may be given";
        } else {
            options.device = arg;
        }
        if (count != nullptr) {
            if (!value(v) || !ParseCount(v, *count)) {
                return arg + " needs a whole number of 0 or more";
            }
        }
    }
    return {};
}

} // namespace devsim
