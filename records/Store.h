// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What both stores answer: the records that a query asks for, and the count of the boards a
// job with a limit has taken (in a transaction, so that two stations never both take the last).

#include "records/StoreError.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace records {

struct RecordFilter {
    QDateTime since; // invalid: from the first
    QString station; // empty: every station
    QString job;     // the job's title, its name or its file's SHA-256; empty: any
    QString board;   // a USB serial number, a board's serial number or a record id
};

// A board a job with a limit may make, taken before its first block and settled when it ends.
struct BoardClaim {
    QString claim; // a UUID of the station's
    QString jobSha256;
    QString station;
};

using Records = Result<QList<QJsonObject>, StoreError>;

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
};

} // namespace records
