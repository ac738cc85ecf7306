// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/WriteAll.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

int WriteAll(int fd, QByteArrayView bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::write(fd, bytes.data() + done, static_cast<std::size_t>(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd room{fd, POLLOUT, 0}; // left non-blocking by another program: wait for room
            ::poll(&room, 1, -1);
        } else {
            return n < 0 ? errno : EIO; // nothing taken: no room will come
        }
    }
    return 0;
}
