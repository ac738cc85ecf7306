// SPDX-License-Identifier: GPL-3.0-or-later
#include "records/Forwarder.h"

#include "records/FaultPoint.h"
#include "records/PostgresStore.h"

#include <QElapsedTimer>
#include <QStringList>

namespace records {

Forwarder::Forwarder(SqliteStore& local, StoreUrl line, std::unique_ptr<PostgresStore> connected,
                     QString station)
    : m_local(local), m_line(std::move(line)), m_station(std::move(station)),
      m_reachable(connected != nullptr), m_server(std::move(connected)),
      m_thread([this] { Run(); }) {}

void Forwarder::TellBacklog(PostgresStore& server, bool idle) {
    constexpr qint64 kIdleTellMs = 10000;
    if (idle && m_lastTold.isValid() && m_lastTold.elapsed() < kIdleTellMs) {
        return;
    }
    const Result<qint64, StoreError> waiting = m_local.WaitingCount();
    // A line's store of an older schema has no table for it: the records matter, not this.
    if (waiting && server.ReportBacklog(m_station, *waiting)) {
        m_lastTold.start();
    }
}

Forwarder::~Forwarder() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void Forwarder::Wake() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_woken = true;
    }
    m_wake.notify_all();
}

QString Forwarder::LastError() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastError;
}

bool Forwarder::Drain(int ms) {
    Wake();
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const Result<qint64, StoreError> waiting = m_local.WaitingCount();
        if (waiting && *waiting == 0) {
            return true;
        }
        if (clock.elapsed() >= ms) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

Forwarder::Step Forwarder::Forward(std::unique_ptr<PostgresStore>& server) {
    const auto failed = [&](const StoreError& error) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_lastError = error.text;
        return Step::Failed;
    };
    const Records waiting = m_local.Waiting(kBatch);
    if (!waiting) {
        return failed(waiting.error());
    }
    if (waiting->isEmpty()) {
        if (server) {
            TellBacklog(*server, true);
        }
        return Step::Idle;
    }
    if (!server) {
        auto opened = PostgresStore::Open(m_line);
        if (!opened) {
            return failed(opened.error());
        }
        server = std::move(*opened);
    }
    if (StoreDone sent = server->Insert(*waiting); !sent) {
        if (sent.error().code != StoreErrorCode::Rejected) {
            server.reset(); // a fresh connection for the next try
            return failed(sent.error());
        }
        // The server answered and refused the batch: one record it will never take must not
        // hold up every record behind it. Each goes alone; one refused alone stays here.
        return ForwardOneByOne(*server, *waiting, failed);
    }
    m_reachable = true;
    HitFaultPoint("after-forward"); // the server has them; the station does not know yet
    QStringList ids;
    for (const QJsonObject& record : *waiting) {
        ids << record.value(QLatin1String("id")).toString();
    }
    if (StoreDone marked = m_local.MarkForwarded(ids); !marked) {
        return failed(marked.error());
    }
    TellBacklog(*server, false);
    return Step::Sent;
}

Forwarder::Step Forwarder::ForwardOneByOne(PostgresStore& server, const QList<QJsonObject>& batch,
                                           const std::function<Step(const StoreError&)>& failed) {
    for (const QJsonObject& record : batch) {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping) {
                return Step::Sent; // what is left waits for the next start
            }
        }
        const QStringList id{record.value(QLatin1String("id")).toString()};
        const StoreDone sent = server.Insert({record});
        if (!sent && sent.error().code != StoreErrorCode::Rejected) {
            return failed(sent.error());
        }
        if (!sent) {
            failed(sent.error()); // told, and kept on the station
        }
        if (StoreDone marked = m_local.MarkForwarded(id, sent ? SqliteStore::Forwarded::Sent
                                                              : SqliteStore::Forwarded::Refused);
            !marked) {
            return failed(marked.error());
        }
    }
    m_reachable = true;
    return Step::Sent;
}

void Forwarder::Run() {
    std::unique_ptr<PostgresStore>& server = m_server;
    int pause = 200; // ms between tries while the server is away, growing to 5 s
    for (;;) {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping) {
                return;
            }
        }
        const Step step = Forward(server);
        if (step == Step::Sent) {
            pause = 200;
            continue;
        }
        if (step == Step::Failed) {
            m_reachable = false;
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait_for(lock, std::chrono::milliseconds(step == Step::Failed ? pause : 1000),
                        [this] { return m_stopping || m_woken; });
        m_woken = false;
        if (step == Step::Failed) {
            pause = std::min(pause * 2, 5000);
        }
    }
}

} // namespace records
