// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The network library's set-up for a whole program: each program that may open a port on a
// serial server makes one of these in its main, before any such port is opened, and keeps it
// until it ends. It sets the library's connection kinds up once, keeps what must outlive every
// connection, and remembers what the program learnt of each server's ports.

#include <QSet>
#include <QString>
#include <mutex>
#include <vector>

struct gensio;
struct gensio_os_funcs;

class NetworkLibrary {
  public:
    NetworkLibrary();
    ~NetworkLibrary();
    NetworkLibrary(const NetworkLibrary&) = delete;
    NetworkLibrary& operator=(const NetworkLibrary&) = delete;

    // The program's one set-up; null in a program that made none.
    static NetworkLibrary* Current();

    // A server's port that never confirmed a modem line is not asked again: each unanswered
    // request costs a connection that the library keeps.
    bool NeverConfirms(const QString& serverPort) const;
    void MarkNeverConfirms(const QString& serverPort);
    // A closed connection the library still holds (a request the server never answered keeps
    // it): kept while the program runs rather than freed under the library's feet, and freed
    // with the set-up.
    void Keep(gensio* io, gensio_os_funcs* functions);

  private:
    gensio_os_funcs* m_kindsFunctions =
        nullptr; // the functions the connection kinds were made with
    mutable std::mutex m_lock;
    QSet<QString> m_neverConfirms;
    std::vector<std::pair<gensio*, gensio_os_funcs*>> m_kept;
};
