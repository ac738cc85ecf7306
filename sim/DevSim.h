// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// tavrel-devsim: a boot loader that lives on a pseudo-terminal. It takes block packets,
// answers each with "ACK", keeps the received image and writes it out on the switch packet.

#include "sim/StreamParser.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace devsim {

struct Options {
    std::optional<std::string> device; // an existing port instead of a new pty
    std::optional<std::string> link;
    std::optional<std::string> outFile;
    std::optional<std::string> timingFile;
    long baud = 0; // 0: answer at once
    long ackDelayMs = 0;
    long silentAfter = -1;     // -1: never silent
    long silentOnceAfter = -1; // the same, in the first update only
    long hangupAfter = -1;
    bool splitAck = false;
    std::string ackSuffix;
    bool noise = false;
    bool exitOnSwitch = false;
    bool verbose = false;
    long count = 0;   // --count: simulated devices, one pty each; 0: one, as without it
    int readyFd = -1; // of several devices: told once this one has printed its path
    // Text sent this many milliseconds after each switch packet: the new program's banner.
    std::vector<std::pair<long, std::string>> afterSwitch;
    // --echo-serial: after each switch packet, the number at this offset of the received image
    // in this format ("u32le", "u32be", "u64le", "dec:N", "hex:N"), sent back as "SN=NUMBER":
    // a new program that prints its own serial number.
    long echoOffset = -1;
    std::string echoFormat;
};

// The number at `offset` of `image` in `format` (as --echo-serial takes it); empty when the
// image is too short or the bytes are no number in that format.
std::string ReadSerial(const std::string& image, long offset, const std::string& format);

// Parses the command line; returns an error text (empty when fine). Sets `help` for --help.
// `help` and `version`: what was asked for instead of a device.
std::string ParseOptions(int argc, char** argv, Options& options, bool& help, bool& version);
std::string UsageText();
// Turns "\r\n", "\t", "\\" and "\xNN" escapes into bytes.
std::string Unescape(const std::string& text);

struct Summary {
    long blocks = 0;
    long long bytes = 0;
    bool switchSeen = false;
    bool blockBeforeSwitch = false;
    long long noiseBytes = 0;
    std::string fault; // the first thing that makes the run a failure, for the operator
};

std::string SummaryLine(const Summary& summary);
int ExitStatus(const Summary& summary);

// The image of the update under way: blocks in the order the boot loader takes them. Block
// 0x14 begins a new update; every other block must follow the one before it.
class ReceivedImage {
  public:
    // Empty when the block is in order; otherwise why it is not (the block is not taken).
    std::string Put(std::uint8_t blockNumber, const std::uint8_t* data);
    // The switch packet ends the update.
    void Finish() { m_updating = false; }
    bool Updating() const { return m_updating; }
    long Blocks() const { return static_cast<long>(m_bytes.size() / 1024); }
    const std::vector<std::uint8_t>& Bytes() const { return m_bytes; }

  private:
    std::vector<std::uint8_t> m_bytes;
    int m_lastNumber = -1;
    bool m_updating = false;
};

int Run(const Options& options);
// Serves options.count devices at once, one process each; 0 only when every one of them exits 0.
int RunMany(const Options& options);
// The file for device `number` of several: "%d" in `path` becomes the number, or the number is
// appended as ".N".
std::string NumberedPath(const std::string& path, long number);

} // namespace devsim
