// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The station's record of every board: one JSON line per attempt, appended and flushed to the
// disk before the next attempt on that port starts, so that a power cut loses nothing but the
// attempt under way.

#include "station/OutputError.h"

#include <QJsonObject>
#include <QString>
#include <mutex>

namespace station {

class ResultsLog {
  public:
    // Opens (creating it and its folder when needed) `path` for appending; refused when it
    // cannot be, or when it is not a regular file.
    OutputDone Open(const QByteArray& path);
    bool IsOpen() const { return m_fd >= 0; }
    // One line, written whole and synced, or not at all and the system's reason.
    OutputDone Append(const QJsonObject& record);
    ~ResultsLog();

  private:
    std::mutex m_mutex;
    int m_fd = -1;
};

} // namespace station
