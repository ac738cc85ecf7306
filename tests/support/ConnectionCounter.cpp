// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/ConnectionCounter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

sockaddr_in Loopback(quint16 port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

} // namespace

ConnectionCounter::ConnectionCounter(quint16 targetPort) : m_targetPort(targetPort) {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (m_listener < 0 ||
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 8) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::pipe2(m_wake, O_CLOEXEC) != 0) {
        throw std::runtime_error("the connection counter cannot listen");
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Serve(); });
}

ConnectionCounter::~ConnectionCounter() {
    if (::write(m_wake[1], "x", 1) != 1) {
        // the thread is woken by the closed pipe below all the same
    }
    ::close(m_wake[1]);
    m_thread.join();
    ::close(m_wake[0]);
    ::close(m_listener);
}

void ConnectionCounter::Serve() {
    // Pairs of relayed sockets: (from the flasher, to the server).
    std::vector<std::pair<int, int>> pairs;
    for (;;) {
        std::vector<pollfd> watched{{m_wake[0], POLLIN, 0}, {m_listener, POLLIN, 0}};
        for (const auto& [a, b] : pairs) {
            watched.push_back({a, POLLIN, 0});
            watched.push_back({b, POLLIN, 0});
        }
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            continue;
        }
        if (watched[0].revents != 0) {
            break;
        }
        if (watched[1].revents & POLLIN) {
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in target = Loopback(m_targetPort);
            if (client >= 0 && server >= 0 &&
                ::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
                ++m_connections;
                pairs.emplace_back(client, server);
            } else {
                ::close(client);
                ::close(server);
            }
        }
        // The pairs that were watched in this round; one accepted just now waits for the next.
        const std::size_t watchedPairs = (watched.size() - 2) / 2;
        std::vector<std::pair<int, int>> open(pairs.begin() + watchedPairs, pairs.end());
        for (std::size_t i = 0; i < watchedPairs; ++i) {
            bool ended = false;
            for (const auto& [from, to] : {std::pair{pairs[i].first, pairs[i].second},
                                           std::pair{pairs[i].second, pairs[i].first}}) {
                const pollfd& p = watched[2 + 2 * i + (from == pairs[i].first ? 0 : 1)];
                if (p.revents == 0) {
                    continue;
                }
                char buffer[4096];
                const ssize_t n = ::read(from, buffer, sizeof buffer);
                if (n <= 0 || ::send(to, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
                    ended = true;
                }
            }
            if (ended) {
                ::close(pairs[i].first);
                ::close(pairs[i].second);
            } else {
                open.push_back(pairs[i]);
            }
        }
        pairs = open;
    }
    for (const auto& [a, b] : pairs) {
        ::close(a);
        ::close(b);
    }
}
