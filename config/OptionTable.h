// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one table of the options tavrel-flash and tavrel-station take: each option once, with its
// names, its value, its check, whether a configuration file or the environment may give it, its
// help and the programs that take it. Both programs read their command line through it, the help
// text and the bash completion come from it, and the configuration files are checked by it.

#include "config/RunSettings.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace config {

// What an option's check may look at besides its value: the words after it (-p com 3; a
// --watch GLOB given as its own word) and how it was spelled, for messages.
struct OptionContext {
    const QList<QByteArray>& words;
    int& next;       // the next word's index; an option that takes it moves it on
    QString spelled; // "--baud", "-b"
    Program program;
    bool attached; // the value came with the option (--watch=GLOB), not from a word of its own
    bool tookNextWord = false;
};

struct OptionRow {
    enum class Value { None, Required, Optional };
    const char* name; // the long name, which is also the configuration file's key
    char letter;      // the short name, or 0
    Value value;
    unsigned programs;       // kFlash | kStation
    bool inFiles;            // a configuration file may give it
    const char* environment; // the variable that may give it, or nullptr
    bool writtenInFull;      // never taken from a shortened name: it reaches ports nobody named
    const char* valueName;   // "RATE"; nullptr for a flag
    const char* help;        // its lines in --help, '\n' between them
    const char* stationHelp; // tavrel-station's lines where they differ, or nullptr
    // Takes the value into the settings; empty when taken, else why not (with `spelled`).
    QString (*take)(RunSettings& settings, const QByteArray& value, OptionContext& context);
};

const QList<OptionRow>& OptionTable();
// The option of that long name, or nullptr.
const OptionRow* FindOption(const QString& name);

// Reads `words` (the program's name first) through the table: GNU forms (--port=X, --port X,
// -pX, -p X, bundled flags, "--" before IMAGE, long names shortened while unambiguous). The
// IMAGE and the rules between options are checked as well, except for --help, --version and
// --list-ports. With `jobMayFollow`, a missing IMAGE is left for a job that the configuration
// files may name.
SettingsRead ParseCommandLine(Program program, const QList<QByteArray>& words,
                              bool jobMayFollow = false);

// The table's part of --help: each option the program takes, in the table's order.
QString OptionsHelp(Program program);
// The options a configuration file may give the program, by their keys (their long names).
QStringList FileKeys(Program program);
// Whether the program takes the option from its environment variable. The station watches its
// local ports: a port from the environment is the flasher's.
bool TakesFromEnvironment(const OptionRow& row, Program program);

// The table's part of --help on where else an option may come from: the environment variables
// and the configuration files' keys, and which source beats which.
QString SourcesHelp(Program program);
// The long options the program takes ("--port", ...), for the bash completion.
QStringList LongOptionNames(Program program);

} // namespace config
