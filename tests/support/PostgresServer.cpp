// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/PostgresServer.h"

#include "support/FreePort.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <csignal>
#include <libpq-fe.h>
#include <pwd.h>
#include <stdexcept>
#include <unistd.h>

namespace {

// The newest server Debian installed: /usr/lib/postgresql/VERSION/bin.
QString ServerBin() {
    QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql"))
                               .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    std::sort(versions.begin(), versions.end(),
              [](const QString& a, const QString& b) { return a.toInt() < b.toInt(); });
    for (auto it = versions.crbegin(); it != versions.crend(); ++it) {
        const QString bin = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(*it);
        if (QFile::exists(bin + QStringLiteral("/initdb"))) {
            return bin;
        }
    }
    return {};
}

} // namespace

bool PostgresServer::Available() {
    return !ServerBin().isEmpty() && (::geteuid() != 0 || ::getpwnam("postgres") != nullptr);
}

PostgresServer::PostgresServer() {
    if (!m_dir.isValid() || !Available()) {
        throw std::runtime_error("no PostgreSQL server to start");
    }
    QFile password(m_dir.filePath(QStringLiteral("password")));
    if (!password.open(QIODevice::WriteOnly) || password.write(kPassword) < 0) {
        throw std::runtime_error("cannot write the password file");
    }
    password.close();
    if (::geteuid() == 0) {
        const passwd* user = ::getpwnam("postgres");
        for (const QString& path : {m_dir.path(), password.fileName()}) {
            if (::chown(QFile::encodeName(path).constData(), user->pw_uid, user->pw_gid) != 0) {
                throw std::runtime_error("cannot hand the cluster's folder to postgres");
            }
        }
    }
    Run({ServerBin() + QStringLiteral("/initdb"), QStringLiteral("-D"),
         m_dir.filePath(QStringLiteral("data")), QStringLiteral("-U"), QStringLiteral("tavrel"),
         QStringLiteral("--pwfile=") + password.fileName(),
         QStringLiteral("--auth-host=scram-sha-256"), QStringLiteral("--auth-local=trust"),
         QStringLiteral("--no-sync"), QStringLiteral("-E"), QStringLiteral("UTF8"),
         QStringLiteral("--locale=C")});
    m_port = FreePort();
    qputenv("PGPASSWORD", kPassword); // for the programs the test starts, as a line's would have
    Start();
}

PostgresServer::~PostgresServer() {
    try {
        Stop();
    } catch (const std::exception&) {
        // the folder goes anyway
    }
}

void PostgresServer::Run(const QStringList& command) {
    QStringList words = command;
    if (::geteuid() == 0) {
        words = QStringList{QStringLiteral("runuser"), QStringLiteral("-u"),
                            QStringLiteral("postgres"), QStringLiteral("--")} +
                words;
    }
    QProcess process;
    process.setWorkingDirectory(m_dir.path());
    process.start(words.first(), words.mid(1));
    if (!process.waitForFinished(120'000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        throw std::runtime_error(("PostgreSQL: " + words.join(' ') + " failed: " +
                                  QString::fromLocal8Bit(process.readAllStandardError()))
                                     .toStdString());
    }
}

void PostgresServer::Start() {
    Run({ServerBin() + QStringLiteral("/pg_ctl"), QStringLiteral("-D"),
         m_dir.filePath(QStringLiteral("data")), QStringLiteral("-o"),
         QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off "
                        "-c max_connections=60")
             .arg(m_port)
             .arg(m_dir.path()),
         QStringLiteral("-l"), m_dir.filePath(QStringLiteral("server.log")), QStringLiteral("-w"),
         QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("start")});
    m_running = true;
}

void PostgresServer::Stop() {
    if (!m_running) {
        return;
    }
    m_running = false;
    Run({ServerBin() + QStringLiteral("/pg_ctl"), QStringLiteral("-D"),
         m_dir.filePath(QStringLiteral("data")), QStringLiteral("-m"), QStringLiteral("fast"),
         QStringLiteral("-w"), QStringLiteral("stop")});
}

void PostgresServer::SignalAll(int signal) {
    QFile pidFile(m_dir.filePath(QStringLiteral("data/postmaster.pid")));
    if (!pidFile.open(QIODevice::ReadOnly)) {
        throw std::runtime_error("the server is not running");
    }
    const pid_t server = pid_t(pidFile.readLine().trimmed().toInt());
    ::kill(server, signal);
    // Its sessions: the processes whose parent it is (field 4 of /proc/PID/stat).
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (entry.toInt() > 0 && stat.open(QIODevice::ReadOnly)) {
            const QByteArray line = stat.readAll();
            const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
            if (fields.value(1).toInt() == server) {
                ::kill(pid_t(entry.toInt()), signal);
            }
        }
    }
}

void PostgresServer::Pause() {
    SignalAll(SIGSTOP);
}

void PostgresServer::Resume() {
    SignalAll(SIGCONT);
}

QString PostgresServer::Url(const QString& database) const {
    return QStringLiteral("postgresql://tavrel@127.0.0.1:%1/%2").arg(m_port).arg(database);
}

QList<QByteArray> PostgresServer::Query(const QByteArray& sql, const QString& database) {
    const QByteArray url = Url(database).toUtf8() + "?password=" + kPassword;
    PGconn* connection = PQconnectdb(url.constData());
    PGresult* result = PQexec(connection, sql.constData());
    const ExecStatusType status = PQresultStatus(result);
    QList<QByteArray> rows;
    for (int row = 0; row < PQntuples(result); ++row) {
        rows << QByteArray(PQgetvalue(result, row, 0));
    }
    const std::string error = PQerrorMessage(connection);
    PQclear(result);
    PQfinish(connection);
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
        throw std::runtime_error("query failed: " + error);
    }
    return rows;
}
