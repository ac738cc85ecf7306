// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/DevSim.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    devsim::Options options;
    bool help = false;
    bool version = false;
    const std::string error = devsim::ParseOptions(argc, argv, options, help, version);
    if (help) {
        std::fputs(devsim::UsageText().c_str(), stdout);
        return 0;
    }
    if (version && error.empty()) {
        std::puts("tavrel-devsim " TAVREL_VERSION);
        return 0;
    }
    if (!error.empty()) {
        std::fprintf(stderr, "tavrel-devsim: %s\n%s", error.c_str(), devsim::UsageText().c_str());
        return 64;
    }
    return options.count > 0 ? devsim::RunMany(options) : devsim::Run(options);
}
