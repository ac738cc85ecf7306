// SPDX-License-Identifier: GPL-3.0-or-later
#include "records/Recorder.h"

#include "records/FaultPoint.h"

#include <QDateTime>
#include <QSysInfo>

namespace records {

QString StationNameOr(const QString& given) {
    return given.isEmpty() ? QSysInfo::machineHostName() : given;
}

Result<std::shared_ptr<Recorder>, StoreError>
Recorder::Open(const StoreUrl& store, const QString& station, const QString& localPath) {
    std::shared_ptr<Recorder> recorder(new Recorder);
    recorder->m_station = station;
    auto local = SqliteStore::Open(store.kind == StoreUrl::Kind::Sqlite ? store.path : localPath);
    if (!local) {
        return local.error();
    }
    recorder->m_local = std::move(*local);
    if (store.kind == StoreUrl::Kind::Postgres) {
        recorder->m_line = store;
        // Checked now, before any board: a wrong password or a newer schema is the operator's
        // to mend. An absent server is not: the station keeps its records until it returns.
        auto line = PostgresStore::Open(store);
        std::unique_ptr<PostgresStore> connected;
        if (!line) {
            if (line.error().code != StoreErrorCode::Unreachable) {
                return line.error();
            }
        } else {
            connected = std::move(*line);
        }
        recorder->m_forwarder =
            std::make_unique<Forwarder>(*recorder->m_local, store, std::move(connected));
    }
    return recorder;
}

Recorder::~Recorder() = default;

StoreDone Recorder::Add(const QJsonObject& record) {
    if (StoreDone kept = m_local->Add(record); !kept) {
        return kept;
    }
    HitFaultPoint("after-commit"); // kept on the station, not yet sent
    if (m_forwarder) {
        m_forwarder->Wake();
    }
    return {};
}

Recorder::Backlog Recorder::Now() {
    Backlog backlog;
    backlog.line = m_forwarder != nullptr;
    if (m_forwarder) {
        backlog.reachable = m_forwarder->Reachable();
        const Result<qint64, StoreError> waiting = m_local->WaitingCount();
        backlog.waiting = waiting ? *waiting : 0;
    }
    return backlog;
}

QString Recorder::StatusText() {
    const QString local = QStringLiteral("sqlite:") + m_local->Path();
    if (!m_line) {
        return local;
    }
    const Backlog backlog = Now();
    QString text = QStringLiteral("%1 (kept first in %2)").arg(m_line->shown, local);
    if (!backlog.reachable) {
        text +=
            QStringLiteral("; line server unreachable: %1 records waiting").arg(backlog.waiting);
    }
    if (const Result<qint64, StoreError> refused = m_local->RefusedCount(); refused && *refused) {
        text += QStringLiteral("; %1 records the line server refused are kept here only (%2)")
                    .arg(*refused)
                    .arg(m_forwarder->LastError());
    }
    return text;
}

bool Recorder::Drain(int ms) {
    if (Leasing()) {
        TellLeased();
    }
    return m_forwarder ? m_forwarder->Drain(ms) : true;
}

Result<Store*, StoreError> Recorder::CountingStore() {
    if (!m_line) {
        return static_cast<Store*>(m_local.get());
    }
    if (!m_counting) {
        auto opened = PostgresStore::Open(*m_line);
        if (!opened) {
            return opened.error();
        }
        m_counting = std::move(*opened);
    }
    return static_cast<Store*>(m_counting.get());
}

template <typename Call> auto Recorder::OnCountingStore(Call call) -> decltype(call(nullptr)) {
    const std::lock_guard<std::mutex> lock(m_countMutex);
    const Result<Store*, StoreError> store = CountingStore();
    if (!store) {
        return store.error();
    }
    auto done = call(*store);
    if (!done && done.error().code == StoreErrorCode::Unreachable && m_line) {
        // The connection may be one the server dropped when it restarted: one more try on a
        // fresh one. (What a lost commit took stays taken: one board fewer, never one more.)
        m_counting.reset();
        const Result<Store*, StoreError> fresh = CountingStore();
        if (!fresh) {
            return fresh.error();
        }
        done = call(*fresh);
        if (!done && done.error().code == StoreErrorCode::Unreachable) {
            m_counting.reset(); // connect again for the next call
        }
    }
    return done;
}

Result<bool, StoreError> Recorder::TakeBoard(const BoardClaim& claim, int maxBoards) {
    return OnCountingStore([&](Store* store) { return store->TakeBoard(claim, maxBoards); });
}

StoreDone Recorder::SettleBoard(const QString& claim, bool kept) {
    return OnCountingStore([&](Store* store) { return store->SettleBoard(claim, kept); });
}

StoreDone Recorder::DefineCounter(const QString& name, qint64 first, qint64 last) {
    return OnCountingStore([&](Store* store) { return store->DefineCounter(name, first, last); });
}

Result<std::optional<Recorder::IssuedNumber>, StoreError>
Recorder::IssueSerial(const QString& counter, const QString& board) {
    if (!Leasing()) {
        const auto issued = OnCountingStore([&](Store* store) {
            return store->IssueSerials(counter, m_station, board, 1, false);
        });
        if (!issued) {
            return issued.error();
        }
        if (issued->values.isEmpty()) {
            return std::optional<IssuedNumber>();
        }
        return std::optional<IssuedNumber>(IssuedNumber{issued->values.first(), issued->left});
    }
    TellLeased();
    const StoreDone refilled = RefillLease(counter);
    const auto taken = m_local->TakeLeased(LeaseKey(counter), board);
    if (!taken) {
        return taken.error();
    }
    if (!*taken) {
        // Nothing leased: the line's store says why (unreachable), or the range is spent.
        if (!refilled) {
            return refilled.error();
        }
        return std::optional<IssuedNumber>();
    }
    const Result<qint64, StoreError> left = NumbersLeft(counter);
    return std::optional<IssuedNumber>(IssuedNumber{**taken, left ? *left : 0});
}

StoreDone Recorder::SettleSerial(const QString& counter, qint64 value, SerialState state) {
    if (Leasing()) {
        const Result<bool, StoreError> leased =
            m_local->SettleLeased(LeaseKey(counter), value, state);
        if (!leased) {
            return leased.error();
        }
        if (*leased) {
            TellLeased();
            return {};
        }
    }
    return OnCountingStore(
        [&](Store* store) { return store->SettleSerial(counter, value, state); });
}

Result<qint64, StoreError> Recorder::NumbersLeft(const QString& counter) {
    if (!Leasing()) {
        const auto account = OnCountingStore([&](Store* store) { return store->Account(counter); });
        if (!account) {
            return account.error();
        }
        return account->free;
    }
    const Result<qint64, StoreError> leased = m_local->LeasedFree(LeaseKey(counter));
    if (!leased) {
        return leased.error();
    }
    const std::lock_guard<std::mutex> lock(m_leaseMutex);
    const auto line = m_leftOnLine.find(counter);
    return *leased + (line == m_leftOnLine.end() ? 0 : line->second);
}

QString Recorder::LeaseKey(const QString& counter) const {
    return m_line->shown + QLatin1Char(' ') + counter;
}

bool Recorder::LineRecentlyLost() {
    constexpr qint64 kQuietMs = 10000; // a station cut off waits no longer than this per board
    return m_lineLostAt != 0 && QDateTime::currentMSecsSinceEpoch() - m_lineLostAt < kQuietMs;
}

StoreDone Recorder::RefillLease(const QString& counter) {
    const std::lock_guard<std::mutex> lock(m_leaseMutex);
    const Result<qint64, StoreError> free = m_local->LeasedFree(LeaseKey(counter));
    if (!free) {
        return free.error();
    }
    if (*free > m_lease / 2) {
        return {};
    }
    if (LineRecentlyLost()) {
        return StoreError{StoreErrorCode::Unreachable, QStringLiteral("line server unreachable")};
    }
    const auto leased = OnCountingStore([&](Store* store) {
        return store->IssueSerials(counter, m_station, QString(), int(m_lease - *free), true);
    });
    if (!leased) {
        if (leased.error().code == StoreErrorCode::Unreachable) {
            m_lineLostAt = QDateTime::currentMSecsSinceEpoch();
        }
        return leased.error();
    }
    m_lineLostAt = 0;
    m_leftOnLine[counter] = leased->left;
    // Killed between the server's commit and this one, the station loses these numbers: they
    // stay leased to it, and no board anywhere gets them.
    return m_local->AddLeased(LeaseKey(counter), leased->values);
}

void Recorder::TellLeased() {
    const Result<QList<SqliteStore::LeaseSettlement>, StoreError> untold = m_local->UntoldLeased();
    if (!untold || untold->isEmpty()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(m_leaseMutex);
        if (LineRecentlyLost()) {
            return;
        }
    }
    const QString prefix = m_line->shown + QLatin1Char(' ');
    for (const SqliteStore::LeaseSettlement& settled : *untold) {
        if (!settled.counter.startsWith(prefix)) {
            continue; // leased from another line's store
        }
        const QString counter = settled.counter.mid(prefix.size());
        const StoreDone told = OnCountingStore([&](Store* store) {
            return store->SettleSerial(counter, settled.value, settled.state);
        });
        if (!told) {
            if (told.error().code == StoreErrorCode::Unreachable) {
                const std::lock_guard<std::mutex> lock(m_leaseMutex);
                m_lineLostAt = QDateTime::currentMSecsSinceEpoch();
            }
            return;
        }
        (void)m_local->MarkLeasedTold(settled.counter, settled.value);
    }
}

} // namespace records
