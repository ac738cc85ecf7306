// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/TcpRelay.h"

#include "support/FreePort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

int Listen(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in address = LoopbackAddress(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 64) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Everything the one end has to say, to the other; false when either end is gone.
bool Pass(int from, int to) {
    char buffer[65536];
    const ssize_t got = ::read(from, buffer, sizeof buffer);
    if (got <= 0) {
        return false;
    }
    for (ssize_t sent = 0; sent < got;) {
        const ssize_t put = ::write(to, buffer + sent, size_t(got - sent));
        if (put <= 0) {
            return false;
        }
        sent += put;
    }
    return true;
}

} // namespace

TcpRelay::TcpRelay(quint16 target) : m_target(target), m_port(FreePort()) {
    m_thread = std::thread([this] { Run(); });
}

TcpRelay::~TcpRelay() {
    m_stop = true;
    m_thread.join();
}

void TcpRelay::Cut() {
    m_cut = true;
}

void TcpRelay::Restore() {
    m_cut = false;
}

void TcpRelay::Run() {
    int listening = -1;
    std::vector<std::pair<int, int>> links; // client, server
    const auto dropAll = [&] {
        for (const auto& [client, server] : links) {
            ::close(client);
            ::close(server);
        }
        links.clear();
    };
    while (!m_stop) {
        if (m_cut) {
            dropAll();
            if (listening >= 0) {
                ::close(listening); // new connections are refused
                listening = -1;
            }
            ::usleep(20000);
            continue;
        }
        if (listening < 0 && (listening = Listen(m_port)) < 0) {
            ::usleep(20000);
            continue;
        }
        std::vector<pollfd> fds{{listening, POLLIN, 0}};
        for (const auto& [client, server] : links) {
            fds.push_back({client, POLLIN, 0});
            fds.push_back({server, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), 20) <= 0) {
            continue;
        }
        if (fds[0].revents & POLLIN) {
            const int client = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in address = LoopbackAddress(m_target);
            if (client >= 0 && ::connect(server, reinterpret_cast<const sockaddr*>(&address),
                                         sizeof address) == 0) {
                links.emplace_back(client, server);
            } else {
                ::close(client);
                ::close(server);
            }
        }
        for (size_t i = 0; i < links.size();) {
            const pollfd& client = fds[1 + 2 * i];
            const pollfd& server = fds[2 + 2 * i];
            const bool clientOk =
                !(client.revents & (POLLIN | POLLHUP | POLLERR)) || Pass(client.fd, server.fd);
            const bool serverOk =
                !(server.revents & (POLLIN | POLLHUP | POLLERR)) || Pass(server.fd, client.fd);
            if (clientOk && serverOk) {
                ++i;
                continue;
            }
            ::close(links[i].first);
            ::close(links[i].second);
            links.erase(links.begin() + long(i));
            fds.erase(fds.begin() + long(1 + 2 * i), fds.begin() + long(3 + 2 * i));
        }
    }
    dropAll();
    if (listening >= 0) {
        ::close(listening);
    }
}
