// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/ConnectionCounter.h"

#include "support/FreePort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

ConnectionCounter::ConnectionCounter(quint16 targetPort) : m_targetPort(targetPort) {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("the connection counter has no port");
    }
    m_port = ntohs(address.sin_port);
}

void ConnectionCounter::Listen() {
    ::listen(m_listener, 8);
    m_thread = std::thread([this] {
        // Each connection relayed to the end, polled every 50 ms for the stop.
        while (!m_stop) {
            pollfd waiting{m_listener, POLLIN, 0};
            if (::poll(&waiting, 1, 50) != 1) {
                continue;
            }
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in target = LoopbackAddress(m_targetPort);
            ++m_connections;
            bool open =
                ::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0;
            while (open && !m_stop) {
                pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
                ::poll(ends, 2, 50);
                for (int from = 0; from < 2 && open; ++from) {
                    char buffer[4096];
                    const ssize_t n =
                        ends[from].revents != 0 ? ::read(ends[from].fd, buffer, sizeof buffer) : -2;
                    open = n == -2 || (n > 0 && ::send(ends[1 - from].fd, buffer,
                                                       static_cast<size_t>(n), MSG_NOSIGNAL) == n);
                }
            }
            ::close(client);
            ::close(server);
        }
    });
}

ConnectionCounter::~ConnectionCounter() {
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
    ::close(m_listener);
}
