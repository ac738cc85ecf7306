// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What both stores answer: the records that a query asks for, and the count of the boards a
// job with a limit has taken (in a transaction, so that two stations never both take the last).

#include "records/StoreError.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

namespace records {

struct RecordFilter {
    QDateTime since; // invalid: from the first
    QString station; // empty: every station
    QString job;     // the job's title, its name or its file's SHA-256; empty: any
    QString board;   // a USB serial number, a board's serial number or a record id
    // >= 0: only the records the store took after the one of this "seq"; `seqs`: only those of
    // these (both: either); in the order it took them, each with its "seq"; at most `limit`
    // (0: all).
    qint64 afterSeq = -1;
    QList<qint64> seqs = {};
    int limit = 0;
};

// A board a job with a limit may make, taken before its first block and settled when it ends.
struct BoardClaim {
    QString claim; // a UUID of the station's
    QString jobSha256;
    QString station;
};

using Records = Result<QList<QJsonObject>, StoreError>;

// What became of a number a board was given: its board passed (used), failed after the number
// went out to it (spoiled), or failed before (returned: it never left the station).
enum class SerialState { Used, Spoiled, Returned };
inline const char* SerialStateName(SerialState state) {
    return state == SerialState::Used      ? "used"
           : state == SerialState::Spoiled ? "spoiled"
                                           : "returned";
}

// A counter's range, and what became of its numbers; they add up to the range.
struct CounterAccount {
    qint64 first = 0;
    qint64 last = 0;
    qint64 used = 0;
    qint64 spoiled = 0;
    qint64 returned = 0;
    qint64 inFlight = 0; // issued, not yet settled
    qint64 leased = 0;   // held by one station for when it cannot reach the line's store
    qint64 free = 0;
};

// What a station last told the line's store of the records it still has to send.
struct StationBacklog {
    QString station;
    qint64 waiting = 0;
    QDateTime time; // when it told
};

// Numbers taken from a counter in one transaction, and how many it has left after them.
struct IssuedSerials {
    QList<qint64> values; // none: the range is spent
    qint64 left = 0;
};

class Store {
  public:
    virtual ~Store() = default;
    // The records the filter leaves, oldest first.
    virtual Records Fetch(const RecordFilter& filter) = 0;
    // Takes a board for the job unless `maxBoards` are taken (passed, or under way); false then.
    virtual Result<bool, StoreError> TakeBoard(const BoardClaim& claim, int maxBoards) = 0;
    // A board that holds the image keeps its place (`kept`); one that never took it gives the
    // place back. A place never settled (its station was killed, or lost the server) stays
    // taken: a job may make a board fewer than it says, never one more.
    virtual StoreDone SettleBoard(const QString& claim, bool kept) = 0;

    // Makes the counter with its range, or finds it with the same range (refused otherwise).
    virtual StoreDone DefineCounter(const QString& name, qint64 first, qint64 last) = 0;
    // The counter's next `count` numbers (fewer where the range ends), given to `board` at
    // `station` in one transaction, so that no two boards anywhere get one number. `lease`: held
    // by the station for boards to come, rather than given to one.
    virtual Result<IssuedSerials, StoreError> IssueSerials(const QString& counter,
                                                           const QString& station,
                                                           const QString& board, int count,
                                                           bool lease) = 0;
    // The counter's next number for one board; none when the range is spent.
    Result<std::optional<qint64>, StoreError>
    IssueSerial(const QString& counter, const QString& station, const QString& board) {
        const auto issued = IssueSerials(counter, station, board, 1, false);
        if (!issued) {
            return issued.error();
        }
        return issued->values.isEmpty() ? std::optional<qint64>()
                                        : std::optional<qint64>(issued->values.first());
    }
    // Settles an issued or leased number; one settled already stays as it was.
    virtual StoreDone SettleSerial(const QString& counter, qint64 value, SerialState state) = 0;
    virtual Result<CounterAccount, StoreError> Account(const QString& counter) = 0;
    // The "seq" of the last record the store took (0: none).
    virtual Result<qint64, StoreError> LastSeq() = 0;
    // What each station last told of its backlog (the line's store keeps it; a station's own
    // has none).
    virtual Result<QList<StationBacklog>, StoreError> Backlogs() { return QList<StationBacklog>(); }
    // The numbers of the counter leased to `station` and not yet settled.
    virtual Result<QList<qint64>, StoreError> LeasedTo(const QString& counter,
                                                       const QString& station) = 0;
};

} // namespace records
