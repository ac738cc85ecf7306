// SPDX-License-Identifier: GPL-3.0-or-later
#include "line/LineFeed.h"

#include "records/PostgresStore.h"
#include "records/Schema.h"
#include "records/SqliteStore.h"

#include <QDateTime>

namespace line {

namespace {

constexpr int kBatch = 5000;
constexpr qint64 kHoleMs = 60000; // a gap in the seqs is looked at again this long
constexpr std::size_t kMaxHoles = 2000;

qint64 NowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

LineFeed::LineFeed(records::StoreUrl store, LineModel& model, qint64 windowSeconds, QObject* parent)
    : QObject(parent), m_url(std::move(store)), m_model(model), m_windowSeconds(windowSeconds) {
    connect(&m_poll, &QTimer::timeout, this, &LineFeed::Poll);
    connect(&m_tick, &QTimer::timeout, this, [this] {
        if (m_store) {
            if (const auto backlogs = m_store->Backlogs(); backlogs) {
                for (const records::StationBacklog& told : *backlogs) {
                    m_model.SetBacklog(told.station, told.waiting, told.time.toMSecsSinceEpoch());
                }
            }
        }
        m_model.Tick(NowMs());
        Q_EMIT Changed();
    });
}

records::StoreDone LineFeed::Open() {
    if (m_url.kind == records::StoreUrl::Kind::Sqlite) {
        auto opened = records::SqliteStore::Open(m_url.path, records::kReadOnly);
        if (!opened) {
            return opened.error();
        }
        m_store = std::move(*opened);
    } else {
        auto opened = records::PostgresStore::Open(m_url, records::kReadOnly);
        if (!opened) {
            return opened.error();
        }
        m_store = std::move(*opened);
    }
    return {};
}

records::StoreDone LineFeed::Start() {
    if (records::StoreDone opened = Open(); !opened) {
        return opened;
    }
    // Records older than the shift are not read at all: the looks begin after the newest.
    const Result<qint64, records::StoreError> last = m_store->LastSeq();
    if (!last) {
        return last.error();
    }
    m_lastSeq = *last;
    records::RecordFilter shift;
    shift.since = QDateTime::currentDateTimeUtc().addSecs(-m_windowSeconds);
    shift.afterSeq = 0;
    const records::Records records = m_store->Fetch(shift);
    if (!records) {
        return records.error();
    }
    for (const QJsonObject& record : *records) {
        m_model.Add(record);
        m_lastSeq = std::max(m_lastSeq, record.value(QLatin1String("seq")).toInteger());
    }
    m_model.Tick(NowMs());
    m_poll.start(250);
    m_tick.start(5000);
    return {};
}

void LineFeed::Poll() {
    if (!m_store) {
        if (records::StoreDone opened = Open(); !opened) {
            m_reachable = false;
            m_lastError = opened.error().text;
            return;
        }
    }
    const qint64 now = NowMs();
    for (auto it = m_holes.begin(); it != m_holes.end();) {
        it = now - it->second > kHoleMs ? m_holes.erase(it) : std::next(it);
    }
    const auto look = [this](records::RecordFilter filter) {
        filter.limit = kBatch;
        const records::Records records = m_store->Fetch(filter);
        if (!records) {
            m_reachable = false;
            m_lastError = records.error().text;
            m_store.reset(); // opened again at the next look
            return -1;
        }
        m_reachable = true;
        Take(*records);
        return int(records->size());
    };
    // The gaps a second time each second, apart from the newest records, each query on the
    // key's index.
    if (!m_holes.empty() && (!m_holesLooked.isValid() || m_holesLooked.elapsed() >= 1000)) {
        m_holesLooked.start();
        records::RecordFilter gaps;
        for (const auto& [seq, since] : m_holes) {
            gaps.seqs << seq;
        }
        if (look(gaps) < 0) {
            return;
        }
    }
    for (;;) {
        records::RecordFilter newer;
        newer.afterSeq = m_lastSeq;
        const int took = look(newer);
        if (took < kBatch) {
            return;
        }
    }
}

void LineFeed::Take(const QList<QJsonObject>& records) {
    if (records.isEmpty()) {
        return;
    }
    const qint64 now = NowMs();
    for (const QJsonObject& record : records) {
        const qint64 seq = record.value(QLatin1String("seq")).toInteger();
        if (m_holes.erase(seq) == 0) {
            // The seqs skipped on the way may belong to transactions not yet committed.
            for (qint64 missed = m_lastSeq + 1; missed < seq && m_holes.size() < kMaxHoles;
                 ++missed) {
                m_holes.emplace(missed, now);
            }
            m_lastSeq = std::max(m_lastSeq, seq);
        }
        m_model.Add(record);
    }
    Q_EMIT Changed();
}

} // namespace line
