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
            std::make_unique<Forwarder>(*recorder->m_local, store, std::move(connected), station);
    }
    return recorder;
}

Recorder::~Recorder() {
    if (m_keeper.joinable()) {
        {
            const std::lock_guard<std::mutex> lock(m_keeperMutex);
            m_keeperStopping = true;
        }
        m_keeperWake.notify_all();
        m_keeper.join();
    }
}

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
    const StoreDone defined =
        OnCountingStore([&](Store* store) { return store->DefineCounter(name, first, last); });
    if (!Leasing()) {
        return defined;
    }
    if (defined) {
        CheckLease(name);
    } else {
        // A station started while the line's store is away goes on with the lease it holds.
        const auto held = m_local->LeasedValues(LeaseKey(name), QString());
        if (defined.error().code != StoreErrorCode::Unreachable || !held || held->isEmpty()) {
            return defined;
        }
    }
    WakeKeeper(name);
    return {};
}

Result<std::optional<Recorder::IssuedNumber>, StoreError>
Recorder::IssueSerial(const QString& counter, const QString& board) {
    if (!Leasing()) {
        const auto issued = OnCountingStore(
            [&](Store* store) { return store->IssueSerials(counter, m_station, board, 1, false); });
        if (!issued) {
            return issued.error();
        }
        if (issued->values.isEmpty()) {
            return std::optional<IssuedNumber>();
        }
        return std::optional<IssuedNumber>(IssuedNumber{issued->values.first(), issued->left});
    }
    for (int tries = 0; tries < 100; ++tries) {
        auto taken = m_local->TakeLeased(LeaseKey(counter), board);
        if (taken && !*taken) {
            // The lease is empty: filled now, on this board's time, and a number taken at once,
            // before other ports empty it again. Only a server that gives no more numbers says
            // the range is spent; one away says so.
            const std::lock_guard<std::mutex> lock(m_leaseMutex);
            taken = m_local->TakeLeased(LeaseKey(counter), board);
            if (taken && !*taken) {
                const Result<int, StoreError> added = RefillLeaseLocked(counter, true);
                if (!added) {
                    return added.error();
                }
                if (*added == 0) {
                    return std::optional<IssuedNumber>();
                }
                taken = m_local->TakeLeased(LeaseKey(counter), board);
            }
        }
        if (!taken) {
            return taken.error();
        }
        if (*taken) {
            WakeKeeper(counter); // to top the lease up, off this board's path
            const Result<qint64, StoreError> left = NumbersLeft(counter);
            return std::optional<IssuedNumber>(IssuedNumber{**taken, left ? *left : 0});
        }
    }
    return StoreError{StoreErrorCode::Write,
                      QStringLiteral("the station's lease of %1 empties faster than the line's "
                                     "store fills it")
                          .arg(counter)};
}

StoreDone Recorder::SettleSerial(const QString& counter, qint64 value, SerialState state) {
    if (Leasing()) {
        const Result<bool, StoreError> leased =
            m_local->SettleLeased(LeaseKey(counter), value, state);
        if (!leased) {
            return leased.error();
        }
        if (*leased) {
            WakeKeeper(counter); // told to the line's store off this board's path
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
    if (m_leftOnLine.find(counter) == m_leftOnLine.end()) {
        const auto account = OnCountingStore([&](Store* store) { return store->Account(counter); });
        if (!account) {
            return account.error(); // not known: no figure rather than a wrong one
        }
        m_leftOnLine[counter] = account->free;
    }
    return *leased + m_leftOnLine[counter];
}

void Recorder::SetLease(int count) {
    m_lease = count;
    if (Leasing() && !m_keeper.joinable()) {
        m_keeper = std::thread([this] { KeepLeases(); });
    }
}

void Recorder::WakeKeeper(const QString& counter) {
    {
        const std::lock_guard<std::mutex> lock(m_keeperMutex);
        m_leasedCounters.insert(counter);
        m_keeperWoken = true;
    }
    m_keeperWake.notify_all();
}

void Recorder::KeepLeases() {
    std::unique_lock<std::mutex> lock(m_keeperMutex);
    while (!m_keeperStopping) {
        m_keeperWake.wait_for(lock, std::chrono::seconds(5),
                              [this] { return m_keeperStopping || m_keeperWoken; });
        if (m_keeperStopping) {
            break;
        }
        m_keeperWoken = false;
        const std::set<QString> counters = m_leasedCounters;
        lock.unlock();
        TellLeased();
        for (const QString& counter : counters) {
            (void)RefillLease(counter, false);
        }
        lock.lock();
    }
}

void Recorder::CheckLease(const QString& counter) {
    const std::lock_guard<std::mutex> lock(m_leaseMutex);
    const auto onLine =
        OnCountingStore([&](Store* store) { return store->LeasedTo(counter, m_station); });
    const auto free = m_local->LeasedValues(LeaseKey(counter), QStringLiteral("free"));
    if (!onLine || !free) {
        return;
    }
    for (const qint64 value : *free) {
        if (!onLine->contains(value)) {
            (void)m_local->DropLeased(LeaseKey(counter), value);
        }
    }
}

QString Recorder::LeaseKey(const QString& counter) const {
    return m_line->shown + QLatin1Char(' ') + counter;
}

bool Recorder::LineRecentlyLost() {
    constexpr qint64 kQuietMs = 5000; // a station cut off tries the line no oftener
    return m_lineLostAt != 0 && QDateTime::currentMSecsSinceEpoch() - m_lineLostAt < kQuietMs;
}

Result<int, StoreError> Recorder::RefillLease(const QString& counter, bool force) {
    const std::lock_guard<std::mutex> lock(m_leaseMutex);
    return RefillLeaseLocked(counter, force);
}

Result<int, StoreError> Recorder::RefillLeaseLocked(const QString& counter, bool force) {
    const Result<qint64, StoreError> free = m_local->LeasedFree(LeaseKey(counter));
    if (!free) {
        return free.error();
    }
    if (force ? *free > 0 : *free > m_lease / 2) {
        return int(*free); // filled meanwhile by another port
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
    if (StoreDone kept = m_local->AddLeased(LeaseKey(counter), leased->values); !kept) {
        return kept.error();
    }
    return int(leased->values.size());
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
