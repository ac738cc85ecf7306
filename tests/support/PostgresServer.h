// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A PostgreSQL server of the test's own: Debian's PostgreSQL, a cluster made by initdb in a
// temporary folder, on a free port of 127.0.0.1, with a password for its one user. initdb and
// postgres refuse to run as root: as root, they run as the `postgres` user. The machine's own
// clusters are never touched.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>

class PostgresServer {
  public:
    // Makes the cluster and starts the server; throws when it cannot.
    PostgresServer();
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // Whether this machine has a PostgreSQL server to start.
    static bool Available();

    static constexpr const char* kPassword = "line-secret-7";
    // postgresql://tavrel@127.0.0.1:PORT/DATABASE, without the password (PGPASSWORD has it).
    QString Url(const QString& database = QStringLiteral("postgres")) const;
    quint16 Port() const { return m_port; }
    void Stop();
    void Start();
    // Freezes the server and every session of it (SIGSTOP), as a hung host: connections stay
    // open and nothing answers. Resume() thaws them.
    void Pause();
    void Resume();
    // The first column of each row the statement gives; throws when it fails.
    QList<QByteArray> Query(const QByteArray& sql,
                            const QString& database = QStringLiteral("postgres"));

  private:
    void Run(const QStringList& command);
    void SignalAll(int signal);

    QTemporaryDir m_dir;
    quint16 m_port = 0;
    bool m_running = false;
};
