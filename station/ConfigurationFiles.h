// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The configuration files that tavrel-flash and the station window read:
// $XDG_CONFIG_HOME/tavrel/tavrel.conf over /etc/tavrel/tavrel.conf. Each line is "key = value"
// outside any [section] but [General]; ';' or '#' at a line's start makes it a comment. A value
// is read as QSettings reads it: comma-separated items, each quoted (C escapes inside) or not
// (';' ends it), joined again with ','. Values are bytes, as names are: a log file's name need
// not be valid UTF-8.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace station {

// The files, the one that wins last.
QStringList ConfigurationFiles();

struct ConfigurationEntry {
    QString key;
    QByteArray value;
    QString source; // "PATH line N", for messages
};

struct ConfigurationRead {
    QList<ConfigurationEntry> entries; // in the file's order
    QString error;                     // why the file cannot be used; nothing is taken then
};

// One file, read whole. A file that is not a regular file (a FIFO, whose reading would block, a
// folder, a device) is refused without being opened; so are a line that is no "key = value",
// a [section], and a key given twice (both lines named). A file that does not exist has nothing.
ConfigurationRead ReadConfigurationFile(const QString& path);
// The same rules for text read already (a job's), `path` naming it in messages.
ConfigurationRead ReadConfigurationText(const QByteArray& content, const QString& path);
// A regular file read whole, never blocking on one that is not; empty when read, else why not.
QString ReadRegularFile(const QString& path, QByteArray* content);

} // namespace station
