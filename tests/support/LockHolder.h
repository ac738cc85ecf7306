// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Another process that holds a file locked: a forked child takes a whole-file lock (flock) or a
// POSIX record lock, as other programs do, and keeps it until released.

#include <QString>
#include <sys/types.h>

class LockHolder {
  public:
    enum class Kind { WholeFile, PosixRecord, SharedWholeFile };
    LockHolder(const QString& path, Kind kind);
    ~LockHolder() { Release(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    bool Locked() const { return m_locked; }
    void Release();

  private:
    pid_t m_child = -1;
    bool m_locked = false;
};
