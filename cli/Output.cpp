// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Output.h"

#include "base/WriteAll.h"

#include <QByteArray>
#include <QJsonDocument>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace flash {

namespace {

// Progress held back while the stream is blocked, at most: what a terminal shows in a moment.
constexpr qsizetype kProgressBytesHeld = 16 * 1024;

class OutputStream {
  public:
    explicit OutputStream(int fd) : m_fd(fd) {
        std::thread([this] { Write(); }).detach(); // lives as long as the process
    }

    void Put(QByteArray bytes, Lane lane) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failed) {
            return; // a reader that went away: nothing more can reach it
        }
        if (lane == Lane::Progress) {
            if (m_progressBytes + bytes.size() > kProgressBytesHeld) {
                ++m_dropped;
                return;
            }
            m_progressBytes += bytes.size();
        }
        m_queue.push_back({std::move(bytes), lane});
        m_changed.notify_all();
    }

    bool Waiting() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return !m_failed && (!m_queue.empty() || m_writing);
    }

    bool WaitUntilWritten(const std::function<bool()>& giveUp) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_dropped > 0 && !m_failed) {
            // Still unsaid at the end: nothing is drawn after it any more.
            m_queue.push_back({DroppedNote(m_dropped), Lane::Result});
            m_dropped = 0;
            m_changed.notify_all();
        }
        while (!m_failed && (!m_queue.empty() || m_writing)) {
            if (giveUp && giveUp()) {
                return false;
            }
            m_changed.wait_for(lock, std::chrono::milliseconds(50));
        }
        return true;
    }

  private:
    struct Entry {
        QByteArray bytes;
        Lane lane;
    };

    // What is said of dropped progress once the stream moves again: JSON on standard output,
    // which carries nothing else that is dropped, text on standard error.
    QByteArray DroppedNote(int count) const {
        const QString text =
            QStringLiteral("%1 progress lines were dropped while the output was blocked")
                .arg(count);
        if (m_fd == STDOUT_FILENO) {
            return QJsonDocument(QJsonObject{{"schema", 1}, {"event", "note"}, {"message", text}})
                       .toJson(QJsonDocument::Compact) +
                   '\n';
        }
        return "tavrel-flash: " + text.toLocal8Bit() + '\n';
    }

    void Write() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return !m_queue.empty(); });
            Entry entry = std::move(m_queue.front());
            m_queue.pop_front();
            if (entry.lane == Lane::Progress) {
                m_progressBytes -= entry.bytes.size();
            }
            // An entry that draws over the lines before it (a terminal's live lines) would draw
            // over the note too: the note goes with the next entry that does not.
            if (m_dropped > 0 && !entry.bytes.startsWith('\x1b') && !entry.bytes.startsWith('\r')) {
                entry.bytes.prepend(DroppedNote(m_dropped));
                m_dropped = 0;
            }
            m_writing = true;
            lock.unlock();
            const bool written = WriteAll(m_fd, entry.bytes) == 0;
            lock.lock();
            m_writing = false;
            if (!written) {
                m_failed = true;
                m_queue.clear();
            }
            m_changed.notify_all();
        }
    }

    const int m_fd;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Entry> m_queue;
    qsizetype m_progressBytes = 0;
    int m_dropped = 0;
    bool m_writing = false;
    bool m_failed = false;
};

OutputStream& StreamOf(std::FILE* to) {
    // Made once and never destroyed: a writer blocked on a stream nobody reads must not hold up
    // the end of the program.
    static OutputStream* const out = new OutputStream(STDOUT_FILENO);
    static OutputStream* const err = new OutputStream(STDERR_FILENO);
    return to == stdout ? *out : *err;
}

} // namespace

void Print(std::FILE* to, const QString& text, Lane lane) {
    StreamOf(to).Put(text.toLocal8Bit(), lane);
}

void PrintJsonLine(QJsonObject record, Lane lane) {
    record.insert(QStringLiteral("schema"), 1); // as every record the tools write
    StreamOf(stdout).Put(QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n', lane);
}

bool OutputWaiting(std::FILE* to) {
    return StreamOf(to).Waiting();
}

void FinishOutput(const std::function<bool()>& giveUp) {
    StreamOf(stdout).WaitUntilWritten(giveUp);
    StreamOf(stderr).WaitUntilWritten(giveUp);
}

} // namespace flash
