// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/LockHolder.h"

#include <QFile>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

LockHolder::LockHolder(const QString& path, Kind kind) {
    int ready[2];
    if (::pipe(ready) != 0) {
        return;
    }
    const QByteArray nativePath = QFile::encodeName(path);
    m_child = ::fork();
    if (m_child == 0) {
        const int fd = ::open(nativePath.constData(), O_RDWR);
        bool locked = false;
        if (fd >= 0 && kind == Kind::PosixRecord) {
            struct flock lock {};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            locked = ::fcntl(fd, F_SETLK, &lock) == 0;
        } else if (fd >= 0) {
            locked = ::flock(fd, kind == Kind::SharedWholeFile ? LOCK_SH : LOCK_EX) == 0;
        }
        const char ok = locked ? '1' : '0';
        [[maybe_unused]] auto n = ::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    char ok = 0;
    m_locked = m_child > 0 && ::read(ready[0], &ok, 1) == 1 && ok == '1';
    ::close(ready[0]);
    ::close(ready[1]);
}

void LockHolder::Release() {
    if (m_child > 0) {
        ::kill(m_child, SIGKILL);
        ::waitpid(m_child, nullptr, 0);
        m_child = -1;
    }
}
