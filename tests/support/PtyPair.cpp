// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/PtyPair.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair() {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        throw std::runtime_error("cannot create a pty");
    }
    m_slavePath = QString::fromLocal8Bit(::ptsname(m_master));
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // Held open so that the pair stays up while the code under test opens and closes it.
    m_hold = ::open(::ptsname(m_master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    tcgetattr(m_hold, &tio);
    cfmakeraw(&tio);
    tcsetattr(m_hold, TCSANOW, &tio);
}

PtyPair::~PtyPair() {
    HangUp();
}

void PtyPair::Send(const QByteArray& bytes) {
    qsizetype done = 0;
    // A far side that stopped reading must fail the test, not hang it.
    const QDeadlineTimer deadline(120000);
    while (done < bytes.size() && !deadline.hasExpired()) {
        const ssize_t n =
            ::write(m_master, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n <= 0) {
            // The far side's buffer is full: let the code under test read (it runs on this
            // thread's event loop), then try again.
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            pollfd p{m_master, POLLOUT, 0};
            ::poll(&p, 1, 1);
            continue;
        }
        done += n;
    }
}

QByteArray PtyPair::Receive(int msecs) {
    // The code under test runs on this thread's event loop: keep it running while waiting.
    QByteArray got;
    QDeadlineTimer deadline(msecs);
    for (;;) {
        const QByteArray more = Drain();
        if (!more.isEmpty()) {
            got += more;
            deadline.setRemainingTime(50); // until the line has been quiet for 50 ms
        }
        if (deadline.hasExpired()) {
            return got;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd p{m_master, POLLIN, 0};
        ::poll(&p, 1, 1);
    }
}

QByteArray PtyPair::Drain() {
    QByteArray got;
    char buffer[8192];
    ssize_t n;
    while ((n = ::read(m_master, buffer, sizeof buffer)) > 0) {
        got.append(buffer, n);
    }
    return got;
}

void PtyPair::HangUp() {
    if (m_hold >= 0) {
        ::close(m_hold);
        m_hold = -1;
    }
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}
