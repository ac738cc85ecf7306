// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/FlashOptions.h"

#include "config/OptionTable.h"
#include "serial/ModemSequence.h"

namespace flash {

QString HelpText() {
    return QStringLiteral(
               "Usage: tavrel-flash [options] IMAGE\n"
               "Writes IMAGE into a device whose boot loader waits on a serial port: 1024-byte "
               "blocks,\n"
               "one per \"ACK\", then the switch packet that starts the new program. The bytes are "
               "the\n"
               "same as the Tavrel window sends. IMAGE is raw binary, Intel HEX or S-record, told\n"
               "from its content; an addressed file becomes the bytes from its lowest address to "
               "its\n"
               "highest, gaps filled with FF.\n"
               "\n"
               "Options:\n") +
           config::OptionsHelp(config::kFlash) +
           QStringLiteral(
               "Options take the GNU forms: --port=X or --port X, -pX or -p X, bundled flags "
               "(-qj),\n"
               "-- before an IMAGE that begins with -, and long names shortened while "
               "unambiguous.\n"
               "\n"
               "A reply counts as an acknowledgement when the bytes received since the last "
               "packet\n"
               "begin with \"ACK\" (a reply split over several reads is joined). Complete text "
               "lines\n"
               "before it are the device's messages and are shown on standard error, with control\n"
               "characters shown as \\xNN. A device that closes the port after the switch packet\n"
               "(a USB boot loader starting its new program) has been written successfully.\n"
               "\n"
               "Exit status:\n"
               "  0    written\n"
               "  1    usage error (also: no port named, and not exactly one USB serial port)\n"
               "  2    the image cannot be loaded (missing, unreadable, locked, too large, a HEX "
               "or\n"
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
               "\n") +
           config::SourcesHelp(config::kFlash) +
           QStringLiteral("  -v says where each value came from.\n"
                          "\n"
                          "Named modem-line sequences:\n") +
           NamedSequencesHelp() +
           QStringLiteral(
               "\n"
               "Examples:\n"
               "  tavrel-flash -p /dev/ttyUSB0 -b 115200 firmware.bin\n"
               "  tavrel-flash --port-filter vid=0483,pid=5740 firmware.hex\n"
               "  tavrel-flash --watch '/dev/serial/by-id/*' --log results.jsonl firmware.bin\n");
}

} // namespace flash
