// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/Job.h"

#include "station/ConfigurationFiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <fcntl.h>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

namespace config {

namespace {

constexpr qint64 kLargestJob = 1 << 20;
const QByteArray kSignatureKey = "signature";

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

Key ReadKey(const QByteArray& pem, bool isPrivate) {
    const std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    return Key(isPrivate ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                         : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
}

QByteArray KeyPem(EVP_PKEY* key, bool isPrivate) {
    const std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    const int written =
        isPrivate ? PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                  : PEM_write_bio_PUBKEY(bio.get(), key);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return written == 1 ? QByteArray(data, int(size)) : QByteArray();
}

// The first 8 bytes of the raw public key's SHA-256, in hex: how a job names its key.
QByteArray KeyId(EVP_PKEY* key) {
    unsigned char raw[64];
    size_t length = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(key, raw, &length) != 1) {
        return {};
    }
    return Sha256Hex(QByteArray(reinterpret_cast<const char*>(raw), qsizetype(length))).left(16);
}

// Writes a new file only: a key is never written over another.
ConfigDone WriteNewFile(const QString& path, const QByteArray& content, mode_t mode) {
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        return ConfigError{
            ConfigErrorCode::FileUnusable,
            QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)))};
    }
    const bool written = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    ::close(fd);
    if (!written) {
        return ConfigError{ConfigErrorCode::FileUnusable,
                           QStringLiteral("%1 could not be written").arg(path)};
    }
    return {};
}

QByteArray Quoted(const QByteArray& value) {
    QByteArray quoted = "\"";
    for (const char c : value) {
        quoted += c == '"'    ? QByteArray("\\\"")
                  : c == '\\' ? QByteArray("\\\\")
                  : c == '\n' ? QByteArray("\\n")
                              : QByteArray(1, c);
    }
    return quoted + '"';
}

// The job's text before its signature line, and the signature line's value; the signature is
// empty when the last line is no signature.
std::pair<QByteArray, QByteArray> SplitSignature(const QByteArray& content) {
    QByteArray body = content;
    while (body.endsWith('\n')) {
        body.chop(1);
    }
    const qsizetype lineStart = body.lastIndexOf('\n') + 1;
    const QByteArray last = body.mid(lineStart);
    const qsizetype equals = last.indexOf('=');
    if (equals < 0 || last.left(equals).trimmed() != kSignatureKey) {
        return {content, {}};
    }
    return {body.left(lineStart), last.mid(equals + 1).trimmed()};
}

} // namespace

QByteArray Sha256Hex(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

ConfigDone CheckImageOfJob(const Job& job, const LoadedImage& image) {
    if (image.sha256 == job.imageSha256) {
        return {};
    }
    return ConfigError{
        ConfigErrorCode::JobRefused,
        QStringLiteral("the image %1 is not the one job %2 names: its SHA-256 is %3, the "
                       "job's %4")
            .arg(QString::fromLocal8Bit(image.path), job.Title(), QString::fromLatin1(image.sha256),
                 QString::fromLatin1(job.imageSha256))};
}

const QStringList& PinnableOptions() {
    static const QStringList options{
        QStringLiteral("baud"),          QStringLiteral("timeout"), QStringLiteral("retries"),
        QStringLiteral("before"),        QStringLiteral("after"),   QStringLiteral("expect"),
        QStringLiteral("expect-within"), QStringLiteral("slots"),   QStringLiteral("format"),
        QStringLiteral("base"),          QStringLiteral("stamp"),   QStringLiteral("stamp-counter"),
        QStringLiteral("stamp-mac-pool")};
    return options;
}

QStringList TrustedKeyFolders(const QString& systemFolder) {
    if (!QDir(systemFolder).entryList({QStringLiteral("*.pub")}, QDir::Files).isEmpty()) {
        return {systemFolder};
    }
    const QString home =
        qEnvironmentVariable("XDG_CONFIG_HOME", QDir::homePath() + QStringLiteral("/.config"));
    return {home + QStringLiteral("/tavrel/job-keys")};
}

Result<Job, ConfigError> ReadJob(const QString& path, const QStringList& keyFolders) {
    const auto refuse = [&](const QString& why) {
        return ConfigError{ConfigErrorCode::JobRefused, QStringLiteral("job %1 %2").arg(path, why)};
    };
    QByteArray content;
    if (QFileInfo(path).size() > kLargestJob) {
        return refuse(QStringLiteral("is too large for a job"));
    }
    if (const QString why = station::ReadRegularFile(path, &content); !why.isEmpty()) {
        return refuse(QStringLiteral("cannot be read: %1").arg(why));
    }
    const auto [body, signature] = SplitSignature(content);
    if (signature.isEmpty()) {
        return refuse(QStringLiteral("is not signed; sign it with tavrel-job sign"));
    }
    const station::ConfigurationRead read = station::ReadConfigurationText(content, path);
    if (!read.error.isEmpty()) {
        return ConfigError{ConfigErrorCode::FileUnusable, read.error};
    }
    QMap<QString, QByteArray> values;
    for (const station::ConfigurationEntry& entry : read.entries) {
        values.insert(entry.key, entry.value);
    }
    const QByteArray keyId = values.value(QStringLiteral("signed-by"));
    Key key;
    for (const QString& folder : keyFolders) {
        const QDir keys(folder);
        for (const QString& name : keys.entryList({QStringLiteral("*.pub")}, QDir::Files)) {
            QFile file(keys.filePath(name));
            if (!key && file.open(QIODevice::ReadOnly)) {
                Key candidate = ReadKey(file.read(kLargestJob), false);
                if (candidate && KeyId(candidate.get()) == keyId) {
                    key = std::move(candidate);
                }
            }
        }
    }
    if (!key) {
        return refuse(
            QStringLiteral("is signed by key %1, which this station does not trust "
                           "(its public key goes into %2)")
                .arg(QString::fromLatin1(keyId), keyFolders.join(QStringLiteral(" or "))));
    }
    // One spelling of a signature only: a signature line altered and still accepted would give
    // one job many hashes in the records.
    const auto decoded =
        QByteArray::fromBase64Encoding(signature, QByteArray::AbortOnBase64DecodingErrors);
    const QByteArray signatureBytes = decoded ? *decoded : QByteArray();
    if (signatureBytes.size() != 64 || signatureBytes.toBase64() != signature) {
        return refuse(QStringLiteral("was changed after it was signed: its signature line is "
                                     "not one"));
    }
    const std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestVerify(
            context.get(), reinterpret_cast<const unsigned char*>(signatureBytes.constData()),
            size_t(signatureBytes.size()), reinterpret_cast<const unsigned char*>(body.constData()),
            size_t(body.size())) != 1) {
        return refuse(QStringLiteral("was changed after it was signed: its signature does not "
                                     "verify"));
    }
    Job job;
    job.path = path;
    job.sha256 = Sha256Hex(content);
    job.name = QString::fromUtf8(values.value(QStringLiteral("name")));
    job.version = QString::fromUtf8(values.value(QStringLiteral("version")));
    job.imagePath = values.value(QStringLiteral("image"));
    job.imageSha256 = values.value(QStringLiteral("image-sha256")).toLower();
    job.signedBy = keyId;
    if (job.name.isEmpty() || job.imagePath.isEmpty() || job.imageSha256.size() != 64) {
        return refuse(QStringLiteral("needs a name, an image and the image's image-sha256"));
    }
    static const QStringList own{QStringLiteral("name"),      QStringLiteral("version"),
                                 QStringLiteral("image"),     QStringLiteral("image-sha256"),
                                 QStringLiteral("require"),   QStringLiteral("max-boards"),
                                 QStringLiteral("signed-by"), QString::fromLatin1(kSignatureKey)};
    for (const station::ConfigurationEntry& entry : read.entries) {
        if (own.contains(entry.key)) {
            continue;
        }
        if (!PinnableOptions().contains(entry.key)) {
            return refuse(QStringLiteral("sets %1, which a job cannot fix (it may fix %2)")
                              .arg(entry.key, PinnableOptions().join(QStringLiteral(", "))));
        }
        job.pinned << std::pair{entry.key, entry.value};
    }
    if (values.contains(QStringLiteral("max-boards"))) {
        bool ok = false;
        job.maxBoards = values.value(QStringLiteral("max-boards")).trimmed().toInt(&ok);
        if (!ok || job.maxBoards < 1) {
            return refuse(QStringLiteral("sets max-boards to %1; give a whole number from 1")
                              .arg(QString::fromUtf8(values.value(QStringLiteral("max-boards")))));
        }
    }
    for (const QByteArray& required : values.value(QStringLiteral("require")).split(',')) {
        const QString what = QString::fromUtf8(required.trimmed());
        if (what.isEmpty()) {
            continue;
        }
        if (what != QLatin1String("operator") && what != QLatin1String("work-order")) {
            return refuse(
                QStringLiteral("requires %1; it may require operator and work-order").arg(what));
        }
        job.required << what;
    }
    return job;
}

ConfigDone MakeKeyPair(const QString& basePath) {
    EVP_PKEY* made = nullptr;
    const std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> context(
        EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), EVP_PKEY_CTX_free);
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_keygen(context.get(), &made) != 1) {
        return ConfigError{ConfigErrorCode::FileUnusable,
                           QStringLiteral("no Ed25519 key could be made")};
    }
    const Key key(made);
    if (ConfigDone written =
            WriteNewFile(basePath + QStringLiteral(".key"), KeyPem(key.get(), true), 0600);
        !written) {
        return written;
    }
    return WriteNewFile(basePath + QStringLiteral(".pub"), KeyPem(key.get(), false), 0644);
}

QByteArray JobText(const QString& name, const QString& version, const QByteArray& imagePath,
                   const QByteArray& imageSha256,
                   const QList<std::pair<QString, QByteArray>>& pinned, const QStringList& required,
                   int maxBoards) {
    QByteArray text = "# A Tavrel job: sign it with tavrel-job sign. A station refuses it once a "
                      "byte has changed.\n";
    text += "name = " + Quoted(name.toUtf8()) + '\n';
    text += "version = " + Quoted(version.toUtf8()) + '\n';
    text += "image = " + Quoted(imagePath) + '\n';
    text += "image-sha256 = " + imageSha256 + '\n';
    if (!required.isEmpty()) {
        text += "require = " + required.join(QLatin1Char(',')).toUtf8() + '\n';
    }
    if (maxBoards > 0) {
        text += "max-boards = " + QByteArray::number(maxBoards) + '\n';
    }
    for (const auto& [option, value] : pinned) {
        text += option.toUtf8() + " = " + Quoted(value) + '\n';
    }
    return text;
}

ConfigDone SignJob(const QString& jobPath, const QString& privateKeyPath) {
    QByteArray content;
    QByteArray pem;
    if (const QString why = station::ReadRegularFile(jobPath, &content); !why.isEmpty()) {
        return ConfigError{ConfigErrorCode::FileUnusable,
                           QStringLiteral("%1: %2").arg(jobPath, why)};
    }
    if (const QString why = station::ReadRegularFile(privateKeyPath, &pem); !why.isEmpty()) {
        return ConfigError{ConfigErrorCode::FileUnusable,
                           QStringLiteral("%1: %2").arg(privateKeyPath, why)};
    }
    const Key key = ReadKey(pem, true);
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
        return ConfigError{ConfigErrorCode::FileUnusable,
                           QStringLiteral("%1 holds no Ed25519 private key").arg(privateKeyPath)};
    }
    // A job signed before is signed anew: its signature and its key's name go.
    QByteArray body;
    for (const QByteArray& line : SplitSignature(content).first.split('\n')) {
        const QByteArray key = line.left(line.indexOf('=')).trimmed();
        if (!line.isEmpty() && key != "signed-by") {
            body += line + '\n';
        }
    }
    body += "signed-by = " + KeyId(key.get()) + '\n';
    unsigned char signature[64];
    size_t length = sizeof signature;
    const std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    if (EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), signature, &length,
                       reinterpret_cast<const unsigned char*>(body.constData()),
                       size_t(body.size())) != 1) {
        return ConfigError{ConfigErrorCode::FileUnusable,
                           QStringLiteral("%1 could not be signed").arg(jobPath)};
    }
    body += kSignatureKey + " = " +
            QByteArray(reinterpret_cast<const char*>(signature), qsizetype(length)).toBase64() +
            '\n';
    QFile file(jobPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(body) != body.size() ||
        !file.flush()) {
        return ConfigError{ConfigErrorCode::FileUnusable,
                           QStringLiteral("%1: %2").arg(jobPath, file.errorString())};
    }
    return {};
}

} // namespace config
