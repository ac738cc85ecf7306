// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a station stamps into each board: its serial number and MAC address, each taken from a
// counter of the records store and given to that board alone, written into the board's own copy
// of the image, and settled when the board is done. It also keeps how many numbers are left, so
// that the operator hears of a counter running out before it stops the line.

#include "records/Recorder.h"
#include "update/LoadedImage.h"
#include "update/StampRecipe.h"

#include <QList>
#include <QString>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

namespace station {

// The numbers stamped into one board.
struct BoardNumbers {
    std::optional<qint64> serial;
    std::optional<qint64> mac;
};

class BoardStamper {
  public:
    struct Settings {
        StampRecipe recipe;
        StampCounter serial; // where serial numbers come from, when the recipe writes them
        StampCounter mac;    // and MAC addresses
        std::shared_ptr<records::Recorder> records;
        QString station; // for {station}
        int lease = 0;   // numbers held on the station for when the line's store is away
    };
    // Makes the counters the recipe needs in the store, or finds them with the same ranges; the
    // reason when a counter is missing or differs.
    static Result<std::shared_ptr<BoardStamper>, QString> Make(Settings settings);

    const StampRecipe& Recipe() const { return m_settings.recipe; }
    // Issues the board's numbers and writes them into its copy of the image; the reason when it
    // gets none (what was issued before the reason is returned).
    QString Stamp(const QString& port, const LoadedImage& image, BoardNumbers& numbers,
                  LoadedImage& stamped);
    // Used when the board passed; spoiled once a block holding it went out to a board that then
    // failed; else returned: it never left the station. None is issued again.
    void Settle(const BoardNumbers& numbers, bool passed, int mostBlocksSent);

    struct Left {
        QString counter;
        qint64 left = 0;
        qint64 size = 0;
        bool Low() const { return left <= size / 20; } // 5 % or less
    };
    // Each counter's numbers left, as of the last number issued.
    QList<Left> NumbersLeft() const;
    // "serial numbers left: 1234 of 10000 (sn)", one part per counter.
    QString LeftText() const;
    bool Low() const;
    // A counter gave a board nothing: the line stops.
    bool Spent() const { return m_spent; }

  private:
    explicit BoardStamper(Settings settings) : m_settings(std::move(settings)) {}
    // One number of the counter for `port`, or the reason it gets none ("`what`: ...").
    QString Issue(const StampCounter& counter, const QString& what, const QString& port,
                  std::optional<qint64>& value);
    void Return(const BoardNumbers& numbers);

    const Settings m_settings;
    mutable std::mutex m_mutex;
    QList<Left> m_left; // one per counter used
    std::atomic<bool> m_spent{false};
};

} // namespace station
