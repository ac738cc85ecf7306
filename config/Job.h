// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A job: the settings an engineer fixes for a production run (the image by its SHA-256, the rate,
// the waits, the modem sequences, the check after the switch, the slots), with a name and a
// version, signed with an Ed25519 key. A station takes a job only when its signature verifies
// against a key it trusts, and then lets nobody change what the job pins.
//
// The file is "key = value" lines as a configuration file has them; its last line is
// "signature = BASE64", made over every byte before that line, and "signed-by = KEYID" (the
// first 8 bytes of the public key's SHA-256, in hex) is among the signed lines.

#include "base/ConfigError.h"
#include "update/LoadedImage.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace config {

struct Job {
    QString name;
    QString version;
    QString path;           // the job file
    QByteArray sha256;      // of the job file, hex
    QByteArray imagePath;   // as the job names it, relative to the job file's folder
    QByteArray imageSha256; // hex
    QByteArray signedBy;    // the id of the key that signed it
    QList<std::pair<QString, QByteArray>> pinned; // option name, value: what the job fixes
    QStringList required;                         // "operator", "work-order"
    int maxBoards = 0; // how many boards the job may make across the line; 0: no limit
    QString Title() const { return QStringLiteral("%1 %2").arg(name, version); }
};

// The options a job may fix: the run's settings, never the station's own ports.
const QStringList& PinnableOptions();

// Reads and verifies a job against the public keys in `keyFolders` (files *.pub); refused when
// unsigned, changed after signing, signed by a key not trusted, or malformed.
Result<Job, ConfigError> ReadJob(const QString& path, const QStringList& keyFolders);
// The folders whose keys a station trusts: `systemFolder` (/etc/tavrel/job-keys) alone once it
// holds a key, for then the line's administrator decides and the operator's own folder
// counts for nothing; else $XDG_CONFIG_HOME/tavrel/job-keys, for a bench of one's own.
QStringList TrustedKeyFolders(const QString& systemFolder = QStringLiteral("/etc/tavrel/job-keys"));

// Makes a key pair: KEY.key (private, mode 0600) and KEY.pub, or says why not.
ConfigDone MakeKeyPair(const QString& basePath);
// The job's unsigned text for these settings.
QByteArray JobText(const QString& name, const QString& version, const QByteArray& imagePath,
                   const QByteArray& imageSha256,
                   const QList<std::pair<QString, QByteArray>>& pinned, const QStringList& required,
                   int maxBoards = 0);
// Signs the job file in place with the private key (any signature before is replaced), or says
// why it could not.
ConfigDone SignJob(const QString& jobPath, const QString& privateKeyPath);
// Whether `image` is the one the job names; refused, saying why, when it is not.
ConfigDone CheckImageOfJob(const Job& job, const LoadedImage& image);
// SHA-256 of the bytes, in hex.
QByteArray Sha256Hex(const QByteArray& bytes);

} // namespace config
