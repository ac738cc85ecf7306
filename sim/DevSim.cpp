// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/DevSim.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace devsim {

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnStopSignal(int) {
    g_stop = 1;
}

// A switch packet is told apart from the first bytes of block 0xFF by the quiet that follows.
constexpr int kIdleMs = 20;
constexpr const char* kNoiseLine = "boot: flash sector erased, waiting for data\r\n";

long long NowMicros() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000;
}

void SleepMicros(long long micros) {
    if (micros <= 0) {
        return;
    }
    timespec ts{static_cast<time_t>(micros / 1000000), static_cast<long>(micros % 1000000) * 1000};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR && !g_stop) {
    }
}

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size() && !g_stop) { // a peer that never reads cannot keep us here
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return done == bytes.size();
}

void MakeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
}

struct Line {
    int fd = -1;      // the side the simulator reads and writes
    int holdFd = -1;  // the pty's slave, held open so that the tool may close and reopen it
    std::string name; // what the tool opens
};

std::string OpenLine(const Options& options, Line& line) {
    if (options.device) {
        line.fd = ::open(options.device->c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (line.fd < 0) {
            return "cannot open " + *options.device + ": " + std::strerror(errno);
        }
        MakeRaw(line.fd);
        line.name = *options.device;
        return {};
    }
    line.fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line.fd < 0 || ::grantpt(line.fd) != 0 || ::unlockpt(line.fd) != 0) {
        return std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    }
    const char* slave = ::ptsname(line.fd);
    if (slave == nullptr) {
        return std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
    }
    line.name = slave;
    line.holdFd = ::open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line.holdFd < 0) {
        return "cannot open " + line.name + ": " + std::strerror(errno);
    }
    MakeRaw(line.holdFd); // no echo, no line editing: bytes pass as they are
    ::fcntl(line.fd, F_SETFL, ::fcntl(line.fd, F_GETFL) | O_NONBLOCK);
    if (options.link) {
        ::unlink(options.link->c_str());
        if (::symlink(slave, options.link->c_str()) != 0) {
            return "cannot link " + *options.link + ": " + std::strerror(errno);
        }
    }
    return {};
}

void CloseLine(Line& line) {
    if (line.fd >= 0) {
        ::close(line.fd);
    }
    if (line.holdFd >= 0) {
        ::close(line.holdFd);
    }
    line.fd = line.holdFd = -1;
}

} // namespace

std::string ReceivedImage::Put(std::uint8_t blockNumber, const std::uint8_t* data) {
    constexpr int kFirst = 0x14;
    if (blockNumber == kFirst) {
        m_bytes.clear(); // a new update: nothing of an earlier one stays
        m_updating = true;
    } else if (!m_updating || blockNumber != m_lastNumber + 1) {
        char why[120];
        if (m_updating) {
            std::snprintf(why, sizeof why, "block 0x%02X came after block 0x%02X (expected 0x%02X)",
                          blockNumber, m_lastNumber, m_lastNumber + 1);
        } else {
            std::snprintf(why, sizeof why, "block 0x%02X came before block 0x14", blockNumber);
        }
        return why;
    }
    m_lastNumber = blockNumber;
    m_bytes.insert(m_bytes.end(), data, data + 1024);
    return {};
}

std::string SummaryLine(const Summary& s) {
    char text[200];
    std::snprintf(text, sizeof text, "devsim: %ld blocks, %lld bytes, %s, %lld noise bytes",
                  s.blocks, s.bytes, s.switchSeen ? "switch seen" : "no switch", s.noiseBytes);
    return s.fault.empty() ? std::string(text) : text + (", " + s.fault);
}

int ExitStatus(const Summary& s) {
    return (s.blockBeforeSwitch && s.noiseBytes == 0 && s.fault.empty()) ? 0 : 1;
}

namespace {
// Writes the image to `path`; empty when it went well, otherwise why not.
std::string WriteImage(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        return "cannot write " + path + ": " + std::strerror(errno);
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    const int writeError = errno;
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed) {
        return "cannot write " + path + ": " + std::strerror(written ? errno : writeError);
    }
    return {};
}
} // namespace

std::string NumberedPath(const std::string& path, long number) {
    const std::size_t at = path.find("%d");
    if (at == std::string::npos) {
        return path + "." + std::to_string(number);
    }
    return path.substr(0, at) + std::to_string(number) + path.substr(at + 2);
}

int RunMany(const Options& options) {
    // Without SA_RESTART, so that a signal ends the wait for the children and is passed on.
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::vector<pid_t> children;
    for (long number = 1; number <= options.count; ++number) {
        Options one = options;
        one.count = 0;
        for (std::optional<std::string>* path : {&one.outFile, &one.link, &one.timingFile}) {
            if (*path) {
                *path = NumberedPath(**path, number);
            }
        }
        std::fflush(stdout);
        int ready[2] = {-1, -1};
        if (::pipe(ready) != 0) {
            break;
        }
        const pid_t child = ::fork();
        if (child == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM); // a killed parent takes its devices with it
            ::close(ready[0]);
            one.readyFd = ready[1];
            std::_Exit(Run(one)); // prints its own pty's path on a line of its own
        }
        ::close(ready[1]);
        if (child > 0) {
            children.push_back(child);
            // The paths come out in the devices' order: the next starts once this one's is out.
            char told = 0;
            while (::read(ready[0], &told, 1) < 0 && errno == EINTR && !g_stop) {
            }
        }
        ::close(ready[0]);
    }
    int worst = children.size() == static_cast<std::size_t>(options.count) ? 0 : 69;
    bool forwarded = false;
    std::size_t ended = 0;
    while (ended < children.size()) {
        if (g_stop && !forwarded) {
            for (pid_t child : children) {
                ::kill(child, SIGTERM);
            }
            forwarded = true;
        }
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, 0);
        if (pid < 0 && errno == EINTR) {
            continue;
        }
        if (pid < 0) {
            break;
        }
        ++ended;
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
        worst = std::max(worst, code);
    }
    return worst;
}

int Run(const Options& options) {
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGHUP, OnStopSignal);
    std::signal(SIGPIPE, SIG_IGN);

    Line line;
    const std::string error = OpenLine(options, line);
    if (!error.empty()) {
        std::fprintf(stderr, "tavrel-devsim: %s\n", error.c_str());
        CloseLine(line);
        return 69;
    }
    std::printf("%s\n", line.name.c_str());
    std::fflush(stdout);
    if (options.readyFd >= 0) {
        [[maybe_unused]] const ssize_t told = ::write(options.readyFd, "", 1);
        ::close(options.readyFd);
    }

    Summary summary;
    ReceivedImage image;
    std::FILE* timing = options.timingFile ? std::fopen(options.timingFile->c_str(), "w") : nullptr;
    long long lastAckDone = -1; // when the last answer left, for the turnaround figures
    bool hangup = false;
    bool stopAfterSwitch = false;
    std::vector<std::pair<long long, std::string>> scheduled; // (due, text) after a switch
    long updates = 0;                                         // begun, each with block 0x14
    auto fail = [&](const std::string& why) {
        if (summary.fault.empty()) {
            summary.fault = why;
        }
        std::fprintf(stderr, "tavrel-devsim: %s\n", why.c_str());
    };

    auto answer = [&](long long packetDone) {
        if (options.baud > 0) {
            const long long lineMicros = 1034LL * 10 * 1000000 / options.baud;
            SleepMicros(packetDone + lineMicros - NowMicros());
        }
        SleepMicros(options.ackDelayMs * 1000);
        if (options.noise) {
            WriteAll(line.fd, kNoiseLine);
            SleepMicros(20000);
        }
        if (options.splitAck) {
            WriteAll(line.fd, "AC");
            SleepMicros(50000);
            WriteAll(line.fd, "K" + options.ackSuffix);
        } else {
            WriteAll(line.fd, "ACK" + options.ackSuffix);
        }
        lastAckDone = NowMicros();
    };

    long long packetDone = 0;
    ParserEvents events;
    events.onBlock = [&](std::uint8_t number, const std::uint8_t* data) {
        ++summary.blocks;
        summary.bytes += 1024;
        updates += number == 0x14 ? 1 : 0;
        const std::string outOfOrder = image.Put(number, data);
        if (!outOfOrder.empty()) {
            fail(outOfOrder);
        }
        if (options.verbose) {
            std::fprintf(stderr, "devsim: %lld block 0x%02X\n", packetDone, number);
        }
        const bool silent = (options.silentAfter >= 0 && summary.blocks > options.silentAfter) ||
                            (options.silentOnceAfter >= 0 && updates == 1 &&
                             image.Blocks() > options.silentOnceAfter);
        if (!silent) {
            answer(packetDone);
        }
        if (options.hangupAfter >= 0 && summary.blocks >= options.hangupAfter) {
            hangup = true;
        }
    };
    events.onSwitch = [&] {
        summary.switchSeen = true;
        summary.blockBeforeSwitch = summary.blockBeforeSwitch || summary.blocks > 0;
        if (options.verbose) {
            std::fprintf(stderr, "devsim: %lld switch packet\n", packetDone);
        }
        image.Finish();
        if (options.outFile) {
            const std::string error = WriteImage(*options.outFile, image.Bytes());
            if (!error.empty()) {
                fail(error);
            }
        }
        for (const auto& [delayMs, text] : options.afterSwitch) {
            scheduled.emplace_back(packetDone + delayMs * 1000, text);
        }
        if (options.echoOffset >= 0) {
            const std::string serial =
                ReadSerial(std::string(image.Bytes().begin(), image.Bytes().end()),
                           options.echoOffset, options.echoFormat);
            scheduled.emplace_back(packetDone + 50'000, "SN=" + serial + "\r\n");
        }
        stopAfterSwitch = options.exitOnSwitch;
    };
    events.onNoise = [&](std::size_t count) {
        summary.noiseBytes += static_cast<long long>(count);
        if (options.verbose) {
            std::fprintf(stderr, "devsim: %zu noise bytes\n", count);
        }
    };
    StreamParser parser(events);

    std::uint8_t buffer[65536];
    long long lastByte = NowMicros();
    while (!g_stop && !hangup && !stopAfterSwitch) {
        // What the new program says after a switch, when its time has come.
        const long long now = NowMicros();
        int timeoutMs = parser.Pending() > 0 ? kIdleMs : 200;
        for (auto it = scheduled.begin(); it != scheduled.end();) {
            if (it->first <= now) {
                WriteAll(line.fd, it->second);
                it = scheduled.erase(it);
            } else {
                timeoutMs =
                    std::min<int>(timeoutMs, static_cast<int>((it->first - now) / 1000) + 1);
                ++it;
            }
        }
        pollfd p{line.fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeoutMs);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (ready == 0) {
            parser.Idle(static_cast<int>((NowMicros() - lastByte) / 1000));
            continue;
        }
        const ssize_t n = ::read(line.fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            break; // the far side is gone
        }
        lastByte = NowMicros();
        if (timing && lastAckDone >= 0) {
            // First byte of the tool's next packet after our last answer.
            std::fprintf(timing, "%lld %lld\n", lastAckDone, lastByte);
            lastAckDone = -1;
        }
        packetDone = lastByte;
        parser.Feed(buffer, static_cast<std::size_t>(n));
    }
    if (hangup) {
        SleepMicros(100000); // the last answer reaches the tool before the line goes
    } else {
        parser.Finish();
    }
    if (image.Updating() && !hangup) {
        char why[120];
        std::snprintf(why, sizeof why,
                      "the last update never finished: %ld blocks and no switch packet",
                      image.Blocks());
        fail(why);
    }
    if (timing) {
        std::fclose(timing);
    }
    CloseLine(line);
    if (options.link) {
        ::unlink(options.link->c_str());
    }
    std::printf("%s\n", SummaryLine(summary).c_str());
    std::fflush(stdout);
    return ExitStatus(summary);
}

std::string ReadSerial(const std::string& image, long offset, const std::string& format) {
    const auto fits = [&](long size) {
        return offset >= 0 && offset <= long(image.size()) && size <= long(image.size()) - offset;
    };
    if (format == "u32le" || format == "u32be" || format == "u64le") {
        const int size = format == "u64le" ? 8 : 4;
        if (!fits(size)) {
            return {};
        }
        unsigned long long value = 0;
        for (int i = 0; i < size; ++i) {
            const unsigned long long byte =
                static_cast<unsigned char>(image[std::size_t(offset + i)]);
            value |= byte << (8 * (format == "u32be" ? size - 1 - i : i));
        }
        return std::to_string(value);
    }
    const bool decimal = format.rfind("dec:", 0) == 0;
    if (!decimal && format.rfind("hex:", 0) != 0) {
        return {};
    }
    const long size = std::strtol(format.c_str() + 4, nullptr, 10);
    if (size < 1 || size > (decimal ? 19 : 16) || !fits(size)) {
        return {};
    }
    // Digits only: no sign, blank or prefix that strtoull would take as well.
    unsigned long long value = 0;
    for (long i = 0; i < size; ++i) {
        const char c = image[std::size_t(offset + i)];
        const int digit = c >= '0' && c <= '9'               ? c - '0'
                          : !decimal && c >= 'A' && c <= 'F' ? c - 'A' + 10
                          : !decimal && c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                             : -1;
        if (digit < 0) {
            return {};
        }
        value = value * (decimal ? 10 : 16) + unsigned(digit);
    }
    return std::to_string(value);
}

} // namespace devsim
