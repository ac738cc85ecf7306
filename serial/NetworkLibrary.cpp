// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/NetworkLibrary.h"

#include <gensio/gensio.h>
#include <gensio/gensio_unix.h>

#include <atomic>
#include <csignal>
#include <stdexcept>

namespace {
std::atomic<NetworkLibrary*> g_current{nullptr};
}

NetworkLibrary::NetworkLibrary() {
    NetworkLibrary* none = nullptr;
    if (!g_current.compare_exchange_strong(none, this)) {
        throw std::logic_error("a program sets the network library up once");
    }
    // A server that closes the connection while a block is written must fail that board, not
    // end the program: writes to a closed connection return an error instead of a signal.
    std::signal(SIGPIPE, SIG_IGN);
    // The library sets each kind of connection up once per process, with the functions of the
    // connection that first uses it, and uses them again later: those must outlive every
    // connection. One set is made for that, before the first connection.
    if (gensio_unix_funcs_alloc(nullptr, 0, &m_kindsFunctions) != 0) {
        m_kindsFunctions = nullptr;
        return;
    }
    for (const char* kind : {"telnet(rfc2217),tcp(nodelay),127.0.0.1,9", "tcp,127.0.0.1,9"}) {
        gensio* io = nullptr;
        if (str_to_gensio(kind, m_kindsFunctions, nullptr, nullptr, &io) == 0) {
            gensio_free(io); // never opened: nothing is sent anywhere
        }
    }
}

NetworkLibrary::~NetworkLibrary() {
    g_current = nullptr;
    // No line is open any more: what the library kept is freed with the functions it runs on.
    for (const auto& [io, functions] : m_kept) {
        gensio_free(io);
        gensio_time none{0, 0};
        for (int round = 0; round < 3; ++round) {
            gensio_os_funcs_service(functions, &none);
        }
        gensio_os_funcs_free(functions);
    }
    if (m_kindsFunctions != nullptr) {
        gensio_os_funcs_free(m_kindsFunctions);
    }
}

NetworkLibrary* NetworkLibrary::Current() {
    return g_current;
}

bool NetworkLibrary::NeverConfirms(const QString& serverPort) const {
    const std::lock_guard lock(m_lock);
    return m_neverConfirms.contains(serverPort);
}

void NetworkLibrary::MarkNeverConfirms(const QString& serverPort) {
    const std::lock_guard lock(m_lock);
    m_neverConfirms.insert(serverPort);
}

void NetworkLibrary::Keep(gensio* io, gensio_os_funcs* functions) {
    const std::lock_guard lock(m_lock);
    m_kept.emplace_back(io, functions);
}
