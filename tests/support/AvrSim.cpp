// SPDX-License-Identifier: GPL-3.0-or-later
// An ATmega2560 in simavr with its UART0 on a pseudo-terminal: a board whose boot loader Tavrel
// updates, for the tests and the benchmarks. It runs the boot loader from the top of the flash,
// keeps the chip's time in step with the clock on the wall (so that the firmware's timeouts and
// the line's byte times are the chip's), prints the pty's path on the first line of standard
// output, and on SIGTERM or SIGINT writes the whole flash to --dump and ends.
//
//   tavrel-avrsim --boot BOOT.elf [--boot-at 0x3E000] [--dump FLASH.bin] [--link PATH]

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern "C" {
#include <avr_uart.h>
#include <sim_avr.h>
#include <sim_elf.h>
#include <sim_io.h>
#include <sim_irq.h>
}

namespace {

std::atomic<bool> g_stop{false};

void Stop(int) {
    g_stop = true;
}

// The simulator's own messages go to standard error, and only its warnings and errors: standard
// output carries the pty's path alone.
void Log(avr_t*, const int level, const char* format, va_list arguments) {
    if (level <= LOG_WARNING) {
        std::vfprintf(stderr, format, arguments);
    }
}

struct Options {
    std::string boot;
    unsigned long bootAt = 0x3E000;
    std::string dump;
    std::string link;
};

struct UartBridge {
    int master = -1;
    bool full = false;           // the UART's input FIFO is full: hold the next byte back
    std::deque<uint8_t> input;   // read from the pty, not yet in the UART
    std::vector<uint8_t> output; // from the UART, not yet on the pty
};

void OnOutput(avr_irq_t*, uint32_t value, void* param) {
    auto* bridge = static_cast<UartBridge*>(param);
    // Nobody may be reading the port (the tool has not opened it yet): what a program says
    // meanwhile is kept up to a point, as a real line would lose it.
    if (bridge->output.size() < 64 * 1024) {
        bridge->output.push_back(static_cast<uint8_t>(value));
    }
}

void OnXon(avr_irq_t*, uint32_t, void* param) {
    static_cast<UartBridge*>(param)->full = false;
}

void OnXoff(avr_irq_t*, uint32_t, void* param) {
    static_cast<UartBridge*>(param)->full = true;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const bool hasValue = i + 1 < argc;
        if (word == "--boot" && hasValue) {
            options.boot = argv[++i];
        } else if (word == "--boot-at" && hasValue) {
            options.bootAt = std::strtoul(argv[++i], nullptr, 0);
        } else if (word == "--dump" && hasValue) {
            options.dump = argv[++i];
        } else if (word == "--link" && hasValue) {
            options.link = argv[++i];
        } else {
            return false;
        }
    }
    return !options.boot.empty();
}

// The pty's master, non-blocking, with its slave held open (raw) so that the tool may close and
// open the port again; the slave's path, or empty.
std::string OpenPty(int& master, int& hold) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        return {};
    }
    const char* slave = ::ptsname(master);
    if (slave == nullptr) {
        return {};
    }
    hold = ::open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    ::tcgetattr(hold, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(hold, TCSANOW, &tio);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    return slave;
}

// Moves bytes between the pty and the UART: what the UART takes, and what it sent.
void ServeLine(UartBridge& bridge, avr_irq_t* uartInput) {
    if (bridge.input.size() < 4096) {
        uint8_t buffer[1024];
        const ssize_t n = ::read(bridge.master, buffer, sizeof buffer);
        for (ssize_t i = 0; i < n; ++i) {
            bridge.input.push_back(buffer[i]);
        }
    }
    while (!bridge.input.empty() && !bridge.full) {
        const uint8_t byte = bridge.input.front();
        bridge.input.pop_front();
        avr_raise_irq(uartInput, byte);
    }
    if (!bridge.output.empty()) {
        const ssize_t n = ::write(bridge.master, bridge.output.data(), bridge.output.size());
        if (n > 0) {
            bridge.output.erase(bridge.output.begin(), bridge.output.begin() + n);
        }
    }
}

bool WriteDump(const avr_t* avr, const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const size_t size = size_t(avr->flashend) + 1;
    const bool written = std::fwrite(avr->flash, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: tavrel-avrsim --boot BOOT.elf [--boot-at ADDRESS] "
                             "[--dump FLASH.bin] [--link PATH]\n");
        return 2;
    }
    avr_global_logger_set(Log);
    elf_firmware_t firmware{};
    if (elf_read_firmware(options.boot.c_str(), &firmware) != 0) {
        std::fprintf(stderr, "tavrel-avrsim: cannot read %s\n", options.boot.c_str());
        return 1;
    }
    avr_t* avr = avr_make_mcu_by_name("atmega2560");
    if (avr == nullptr || avr_init(avr) != 0) {
        std::fprintf(stderr, "tavrel-avrsim: simavr has no ATmega2560\n");
        return 1;
    }
    avr->frequency = 16000000;
    firmware.flashbase = static_cast<uint32_t>(options.bootAt);
    avr_load_firmware(avr, &firmware);
    avr->reset_pc =
        static_cast<avr_flashaddr_t>(options.bootAt); // BOOTRST: start in the boot section
    avr->pc = avr->reset_pc;

    // The UART's own console and its sleeping while the firmware polls would both distort the
    // line: off.
    uint32_t flags = 0;
    avr_ioctl(avr, AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
    flags &= ~(AVR_UART_FLAG_STDIO | AVR_UART_FLAG_POLL_SLEEP);
    avr_ioctl(avr, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);

    UartBridge bridge;
    int hold = -1;
    const std::string slave = OpenPty(bridge.master, hold);
    if (slave.empty()) {
        std::fprintf(stderr, "tavrel-avrsim: cannot make a pty: %s\n", std::strerror(errno));
        return 1;
    }
    if (!options.link.empty()) {
        ::unlink(options.link.c_str());
        if (::symlink(slave.c_str(), options.link.c_str()) != 0) {
            std::fprintf(stderr, "tavrel-avrsim: cannot link %s: %s\n", options.link.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT),
                            OnOutput, &bridge);
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XON), OnXon,
                            &bridge);
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XOFF),
                            OnXoff, &bridge);
    avr_irq_t* uartInput = avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);

    std::signal(SIGTERM, Stop);
    std::signal(SIGINT, Stop);
    std::signal(SIGPIPE, SIG_IGN);
    std::printf("%s\n", slave.c_str());
    std::fflush(stdout);

    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    int state = cpu_Running;
    for (unsigned long step = 0; !g_stop; ++step) {
        state = avr_run(avr);
        if (state == cpu_Done || state == cpu_Crashed) {
            break;
        }
        if (step % 2048 != 0) {
            continue;
        }
        ServeLine(bridge, uartInput);
        // The chip's time never runs ahead of the wall's: a timeout in the firmware lasts as
        // long as on the board.
        const auto chip = std::chrono::nanoseconds(
            static_cast<long long>(double(avr->cycle) * 1e9 / double(avr->frequency)));
        const auto wall = Clock::now() - start;
        if (chip > wall + std::chrono::milliseconds(1)) {
            std::this_thread::sleep_for(chip - wall);
        }
    }
    if (!options.link.empty()) {
        ::unlink(options.link.c_str());
    }
    if (!options.dump.empty() && !WriteDump(avr, options.dump)) {
        std::fprintf(stderr, "tavrel-avrsim: cannot write %s\n", options.dump.c_str());
        return 1;
    }
    if (state == cpu_Crashed) {
        std::fprintf(stderr, "tavrel-avrsim: the chip crashed at 0x%05x\n", unsigned(avr->pc));
        return 1;
    }
    ::close(hold);
    return 0;
}
