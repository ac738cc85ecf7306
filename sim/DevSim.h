#pragma once
// tavrel-devsim: a boot loader that lives on a pseudo-terminal. It takes block packets,
// answers each with "ACK", keeps the received image and writes it out on the switch packet.

#include "sim/StreamParser.h"

#include <cstdint>
#include <map>
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
    long silentAfter = -1; // -1: never silent
    long hangupAfter = -1;
    bool splitAck = false;
    std::string ackSuffix;
    bool noise = false;
    bool exitOnSwitch = false;
    bool verbose = false;
};

// Parses the command line; returns an error text (empty when fine). Sets `help` for --help.
std::string ParseOptions(int argc, char** argv, Options& options, bool& help);
std::string UsageText();
// Turns "\r\n", "\t", "\\" and "\xNN" escapes into bytes.
std::string Unescape(const std::string& text);

struct Summary {
    long blocks = 0;
    long long bytes = 0;
    bool switchSeen = false;
    bool blockBeforeSwitch = false;
    long long noiseBytes = 0;
};

std::string SummaryLine(const Summary& summary);
int ExitStatus(const Summary& summary);

// The received image: blocks by block number, written out in that order.
class ReceivedImage {
  public:
    void Put(std::uint8_t blockNumber, const std::uint8_t* data);
    std::vector<std::uint8_t> Bytes() const;

  private:
    std::map<std::uint8_t, std::vector<std::uint8_t>> m_blocks;
};

int Run(const Options& options);

} // namespace devsim
