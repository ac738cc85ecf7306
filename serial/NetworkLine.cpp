// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/NetworkLine.h"

#include "base/VisibleText.h"
#include "serial/NetworkLibrary.h"

#include <gensio/gensio.h>
#include <gensio/gensio_os_funcs.h>
#include <gensio/gensio_unix.h>
#include <gensio/sergensio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <unistd.h>

namespace {

constexpr qint64 kNsPerMs = 1000 * 1000;

// Answers to one kind of request come in the order the requests went: the last one sent is
// answered once as many answers as requests have come.
struct Answer {
    int sent = 0;
    int answered = 0;
    int error = 0;
    unsigned int value = 0;
    bool Pending() const { return answered < sent; }
};

enum AnswerKind { kBaud, kDataSize, kParity, kStopBits, kDtr, kRts, kBreak, kAnswerKinds };

// Whether a raw connection's first bytes are a Telnet server's option negotiation (IAC, then
// WILL, WONT, DO or DONT): a Telnet port named socket://.
bool SpeaksTelnet(const QByteArray& received) {
    return received.size() >= 2 && static_cast<quint8>(received[0]) == 0xFF &&
           static_cast<quint8>(received[1]) >= 0xFB && static_cast<quint8>(received[1]) <= 0xFE;
}

QString LibraryError(int error) {
    return QString::fromUtf8(gensio_err_to_str(error));
}

// A value the connection's TCP layer (under the Telnet one, where there is one) gives for a
// control; empty when it gives none.
QByteArray TcpValue(gensio* io, unsigned int control) {
    for (unsigned int depth = 0; const char* type = gensio_get_type(io, depth); ++depth) {
        if (qstrcmp(type, "tcp") == 0) {
            char value[16] = {};
            gensiods length = sizeof value - 1;
            return gensio_control(io, int(depth), GENSIO_CONTROL_GET, control, value, &length) == 0
                       ? QByteArray(value)
                       : QByteArray();
        }
    }
    return {};
}

// The program's set-up of the library; refused when the program made none.
Result<NetworkLibrary*, LineError> Library(const QString& device) {
    NetworkLibrary* library = NetworkLibrary::Current();
    if (library == nullptr) {
        return LineError{LineErrorCode::OpenFailed,
                         QStringLiteral("Cannot open %1: this program cannot open ports on a "
                                        "serial server.")
                             .arg(device)};
    }
    return library;
}

} // namespace

struct NetworkLine::Connection {
    gensio_os_funcs* os = nullptr;
    // Readable while one of the descriptors the library watches for this connection is: the
    // library registers each one through its functions, and the connection's versions of
    // those add it here as well.
    int readiness = -1;
    decltype(gensio_os_funcs::set_fd_handlers) librarySetHandlers = nullptr;
    decltype(gensio_os_funcs::clear_fd_handlers) libraryClearHandlers = nullptr;
    gensio* io = nullptr;
    sergensio* serial = nullptr; // rfc2217 only
    QByteArray received;
    int ended = 0;        // the library's error once the connection has ended
    bool opening = false; // gensio_open was called: the connection must be closed to be freed
    bool opened = false;
    int openError = 0;
    bool closed = false;
    bool writeReady = false;
    Answer answers[kAnswerKinds];

    static int OnEvent(gensio* io, void* data, int event, int error, unsigned char* buffer,
                       gensiods* length, const char* const* /*auxdata*/) {
        auto* self = static_cast<Connection*>(data);
        if (event == GENSIO_EVENT_READ) {
            if (error != 0) {
                self->ended = error;
                gensio_set_read_callback_enable(io, false);
                return 0;
            }
            self->received.append(reinterpret_cast<const char*>(buffer),
                                  static_cast<qsizetype>(*length));
            return 0;
        }
        if (event == GENSIO_EVENT_WRITE_READY) {
            self->writeReady = true;
            gensio_set_write_callback_enable(io, false);
            return 0;
        }
        return GE_NOTSUP; // modem and line state reports: nothing here waits for them
    }
    static void OnOpened(gensio* /*io*/, int error, void* data) {
        auto* self = static_cast<Connection*>(data);
        self->opened = true;
        self->openError = error;
    }
    static void OnClosed(gensio* /*io*/, void* data) {
        static_cast<Connection*>(data)->closed = true;
    }
    static void OnAnswer(sergensio* /*serial*/, int error, unsigned int value, void* data) {
        auto* answer = static_cast<Answer*>(data);
        ++answer->answered;
        answer->error = error;
        answer->value = value;
    }

    // Takes the descriptors the library watches into `readiness`, from now on.
    bool WatchDescriptors() {
        readiness = ::epoll_create1(EPOLL_CLOEXEC);
        if (readiness < 0) {
            return false;
        }
        os->other_data = this;
        librarySetHandlers = os->set_fd_handlers;
        libraryClearHandlers = os->clear_fd_handlers;
        os->set_fd_handlers = &Connection::SetHandlers;
        os->clear_fd_handlers = &Connection::ClearHandlers;
        return true;
    }
    void StopWatchingDescriptors() {
        if (librarySetHandlers != nullptr) {
            os->set_fd_handlers = librarySetHandlers;
            os->clear_fd_handlers = libraryClearHandlers;
            os->other_data = nullptr;
            librarySetHandlers = nullptr;
        }
    }
    static int SetHandlers(gensio_iod* iod, void* data, void (*read)(gensio_iod*, void*),
                           void (*write)(gensio_iod*, void*), void (*except)(gensio_iod*, void*),
                           void (*cleared)(gensio_iod*, void*)) {
        auto* self = static_cast<Connection*>(iod->f->other_data);
        epoll_event input{};
        input.events = EPOLLIN;
        input.data.fd = iod->f->iod_get_fd(iod);
        ::epoll_ctl(self->readiness, EPOLL_CTL_ADD, input.data.fd, &input);
        return self->librarySetHandlers(iod, data, read, write, except, cleared);
    }
    static void ClearHandlers(gensio_iod* iod) {
        auto* self = static_cast<Connection*>(iod->f->other_data);
        ::epoll_ctl(self->readiness, EPOLL_CTL_DEL, iod->f->iod_get_fd(iod), nullptr);
        self->libraryClearHandlers(iod);
    }

    void Serve(qint64 ns) { // ns >= 0
        gensio_time time{ns / (1000 * kNsPerMs), static_cast<int32_t>(ns % (1000 * kNsPerMs))};
        gensio_os_funcs_service(os, &time);
    }

    ~Connection() {
        if (os != nullptr) {
            StopWatchingDescriptors();
        }
        if (readiness >= 0) {
            ::close(readiness);
        }
        if (io != nullptr) {
            // Closed also when the server has closed it or the opening failed: the library frees
            // a connection only once it is closed, and only while its functions are served.
            if (opening && gensio_close(io, &Connection::OnClosed, this) == 0) {
                // A server that does not take the close within a second is left to the kernel.
                for (int slice = 0; slice < 20 && !closed; ++slice) {
                    Serve(50 * kNsPerMs);
                }
            }
            if (std::any_of(std::begin(answers), std::end(answers),
                            [](const Answer& a) { return a.Pending(); })) {
                // The library keeps a request the server never answered (ser2net with a pty
                // behind it never confirms a modem line), and with it the connection, whatever
                // is freed: the connection is closed, and what is left of it is kept for the
                // program's life rather than freed under the library's feet.
                if (NetworkLibrary* library = NetworkLibrary::Current()) {
                    library->Keep(io, os);
                }
                return;
            }
            gensio_free(io);
            for (int round = 0; round < 3; ++round) {
                Serve(0); // what the library frees later, it frees in these rounds
            }
        }
        if (os != nullptr) {
            gensio_os_funcs_free(os);
        }
    }
};

NetworkLine::NetworkLine() = default;

NetworkLine::~NetworkLine() {
    Close();
}

bool NetworkLine::IsOpen() const {
    return m_connection != nullptr;
}

template <typename Done>
bool NetworkLine::ServeUntil(Done done, qint64 deadlineNs, const StopFlag* stop) {
    for (;;) {
        if (done()) {
            return true;
        }
        if (stop != nullptr && *stop != 0) {
            return false;
        }
        const qint64 left = deadlineNs - NowNs();
        // Once past the deadline, what waits already is still taken. Never a negative time:
        // the library reads one as "wait for ever".
        const qint64 slice = stop != nullptr ? std::min(left, 50 * kNsPerMs) : left;
        m_connection->Serve(std::max<qint64>(slice, 0));
        if (left <= 0) {
            return done();
        }
    }
}

LineDone NetworkLine::ServeOpening(const std::function<bool()>& done, qint64 deadlineNs) {
    ServeUntil(done, deadlineNs, m_stop);
    if (m_stop != nullptr && *m_stop != 0 && !done()) {
        return Refuse(LineErrorCode::Interrupted,
                      QStringLiteral("Opening %1 was interrupted.").arg(m_device));
    }
    return {};
}

LineError NetworkLine::Refuse(LineErrorCode code, const QString& why) {
    m_connection.reset();
    return {code, why};
}

LineDone NetworkLine::Open(const Port& port, const SerialSettings& settings, bool requestToSend) {
    Close();
    m_reached = false;
    m_device = port.device;
    m_baud = settings.baud;
    if (!port.network) {
        return LineError{LineErrorCode::NoSuchPort,
                         QStringLiteral("%1 is no port on a serial server").arg(port.device)};
    }
    m_address = *port.network;
    if (const auto library = Library(m_device); !library) {
        return library.error();
    }
    // ser2net takes some milliseconds to close a port's device after a connection ends, and
    // refuses the next one meanwhile: the same program's next attempt, or its reopening after a
    // drop, must not fail for that. A port that stays in use is reported after kBusyRetryMs.
    const qint64 givingUpNs = NowNs() + kBusyRetryMs * kNsPerMs;
    for (;;) {
        LineDone connected = Connect(settings, requestToSend);
        if (connected || connected.error().code != LineErrorCode::PortInUse ||
            NowNs() >= givingUpNs || (m_stop != nullptr && *m_stop != 0)) {
            return connected;
        }
        Line::Pause(20);
    }
}

LineDone NetworkLine::Connect(const SerialSettings& settings, bool requestToSend) {
    m_connection = std::make_unique<Connection>();
    Connection& c = *m_connection;
    // Each line has a selector of its own, served only by the thread that uses the line: no
    // wake-up signal is needed between threads.
    if (const int error = gensio_unix_funcs_alloc(nullptr, 0, &c.os); error != 0) {
        return Refuse(LineErrorCode::OpenFailed,
                      QStringLiteral("Cannot open %1: %2.").arg(m_device, LibraryError(error)));
    }
    if (!c.WatchDescriptors()) {
        return Refuse(LineErrorCode::OpenFailed,
                      QStringLiteral("Cannot open %1: %2.")
                          .arg(m_device, QString::fromLocal8Bit(std::strerror(errno))));
    }
    const QByteArray text = m_address.GensioText();
    if (const int error = str_to_gensio(text.constData(), c.os, &Connection::OnEvent, &c, &c.io);
        error != 0) {
        c.io = nullptr;
        return Refuse(
            LineErrorCode::NoSuchPort,
            QStringLiteral("Cannot reach %1: the host %2 is not known (%3). Check the name in "
                           "the port.")
                .arg(m_device, m_address.host, LibraryError(error)));
    }
    const qint64 startNs = NowNs();
    c.opening = true;
    if (const int error = gensio_open(c.io, &Connection::OnOpened, &c); error != 0) {
        c.opening = false;
        return Refuse(LineErrorCode::OpenFailed,
                      QStringLiteral("Cannot open %1: %2.").arg(m_device, LibraryError(error)));
    }
    if (LineDone served = ServeOpening([&c] { return c.opened; }, startNs + kConnectMs * kNsPerMs);
        !served) {
        return served;
    }
    if (!c.opened) {
        return Refuse(
            LineErrorCode::OpenFailed,
            QStringLiteral("Cannot reach %1: no answer within %2 s. Check that the server "
                           "runs and that the network reaches it.")
                .arg(m_device)
                .arg(kConnectMs / 1000));
    }
    m_reached = c.openError == 0 || c.openError == GE_REMCLOSE;
    if (c.openError == GE_REMCLOSE) {
        c.ended = c.openError; // during the Telnet negotiation: told below
    } else if (c.openError != 0) {
        const int error = c.openError;
        return Refuse(
            LineErrorCode::OpenFailed,
            error == GE_CONNREFUSE
                ? QStringLiteral("Cannot reach %1: the connection was refused. Check that the "
                                 "serial server (ser2net) runs and serves TCP port %2 on %3.")
                      .arg(m_device)
                      .arg(m_address.port)
                      .arg(m_address.host)
                : QStringLiteral("Cannot reach %1: %2. Check that the serial server runs and "
                                 "that the network reaches it.")
                      .arg(m_device, LibraryError(error)));
    }
    const qint64 connectNs = NowNs() - startNs;

    if (c.ended == 0) { // else the server has closed it already: told below
        gensio_set_read_callback_enable(c.io, true);
        if (m_address.scheme == NetworkAddress::Scheme::Rfc2217) {
            c.serial = gensio_to_sergensio(c.io);
            if (LineDone applied = ApplySettings(settings); !applied) {
                return applied;
            }
            // The server raises RTS as it opens its port. Lowering it is asked for and not
            // waited on: a port without modem lines never confirms it (and the library keeps a
            // request that is never answered, with the connection, for the life of the program).
            if (!requestToSend) {
                sergensio_rts(c.serial, SERGENSIO_RTS_OFF, &Connection::OnAnswer, &c.answers[kRts]);
                ++c.answers[kRts].sent;
            }
            sergensio_flush(c.serial, SERGENSIO_FLUSH_RCV_XMIT_BUFFERS);
        } else {
            // A server that refuses the connection says so at once and closes it: wait twice
            // the time the connection took (at least 20 ms) for that, before anything is sent.
            const qint64 settleNs =
                std::clamp<qint64>(2 * connectNs, 20 * kNsPerMs, 300 * kNsPerMs);
            if (LineDone served = ServeOpening(
                    [&c] { return c.ended != 0 || SpeaksTelnet(c.received); }, NowNs() + settleNs);
                !served) {
                return served;
            }
            if (c.ended == 0 && SpeaksTelnet(c.received)) {
                return Refuse(
                    LineErrorCode::OpenFailed,
                    QStringLiteral("%1 answers in Telnet; name it rfc2217://%2, which speaks "
                                   "Telnet and sets the server's port.")
                        .arg(m_device, m_address.ServerPort()));
            }
        }
    }
    if (c.ended != 0) {
        // A server that closes at once mostly has the port in use; it says so, unless the close
        // overtakes its words.
        const QString said = VisibleText(c.received.trimmed());
        const bool inUse = said.contains(QStringLiteral("in use"), Qt::CaseInsensitive);
        return Refuse(
            inUse || said.isEmpty() ? LineErrorCode::PortInUse : LineErrorCode::OpenFailed,
            said.isEmpty()
                ? QStringLiteral("%1: the server closed the connection as soon as it was made. "
                                 "Another program (a terminal, another flasher) may have that "
                                 "port, as ser2net allows one connection per port; close it "
                                 "and open the port again, or check the server's "
                                 "configuration for that port.")
                      .arg(m_device)
                : QStringLiteral("%1: the server closed the connection at once, saying "
                                 "\"%2\". %3")
                      .arg(m_device, said,
                           inUse ? QStringLiteral("Another program (a terminal, another "
                                                  "flasher) has that port; close it and open "
                                                  "the port again.")
                                 : QStringLiteral("Check the server's configuration for that "
                                                  "port.")));
    }
    // What the device said before the port was opened answers nothing of ours.
    c.received.clear();
    return {};
}

QString NetworkLine::SilentOn(const QString& setting) const {
    return QStringLiteral("%1: the server did not answer the request for %2 within %3 s. Check "
                          "that it speaks RFC 2217 on that port; for a raw TCP port, name it "
                          "socket://%4.")
        .arg(m_device, setting)
        .arg(kAnswerMs / 1000)
        .arg(m_address.ServerPort());
}

LineDone NetworkLine::ApplySettings(const SerialSettings& settings) {
    Connection& c = *m_connection;
    const unsigned int parity = settings.parity == QSerialPort::OddParity    ? SERGENSIO_PARITY_ODD
                                : settings.parity == QSerialPort::EvenParity ? SERGENSIO_PARITY_EVEN
                                : settings.parity == QSerialPort::MarkParity ? SERGENSIO_PARITY_MARK
                                : settings.parity == QSerialPort::SpaceParity
                                    ? SERGENSIO_PARITY_SPACE
                                    : SERGENSIO_PARITY_NONE;
    // RFC 2217 numbers one and a half stop bits 3.
    const unsigned int stopBits = settings.stopBits == QSerialPort::TwoStop          ? 2
                                  : settings.stopBits == QSerialPort::OneAndHalfStop ? 3
                                                                                     : 1;
    struct Setting {
        AnswerKind kind;
        int (*send)(sergensio*, unsigned int, sergensio_done, void*);
        unsigned int value;
        QString name;
    };
    const Setting wanted[] = {
        {kBaud, sergensio_baud, static_cast<unsigned int>(settings.baud),
         QStringLiteral("%1 baud").arg(settings.baud)},
        {kDataSize, sergensio_datasize, static_cast<unsigned int>(settings.dataBits),
         QStringLiteral("%1 data bits").arg(int(settings.dataBits))},
        {kParity, sergensio_parity, parity, QStringLiteral("the parity")},
        {kStopBits, sergensio_stopbits, stopBits, QStringLiteral("the stop bits")},
    };
    for (const Setting& setting : wanted) {
        Answer& answer = c.answers[setting.kind];
        const int error = setting.send(c.serial, setting.value, &Connection::OnAnswer, &answer);
        if (error == GE_NOTSUP) {
            // A Telnet server that never took the COM-PORT-CONTROL option: as silent on the
            // setting as a server that never answers it.
            return Refuse(LineErrorCode::InvalidSettings, SilentOn(setting.name));
        }
        if (error != 0) {
            return Refuse(
                LineErrorCode::InvalidSettings,
                QStringLiteral("%1: %2 could not be asked of the server (%3). Check that it "
                               "speaks RFC 2217 on that port; for a raw TCP port, name it "
                               "socket://%4.")
                    .arg(m_device, setting.name, LibraryError(error), m_address.ServerPort()));
        }
        ++answer.sent;
        if (LineDone served = ServeOpening([&] { return !answer.Pending() || c.ended != 0; },
                                           NowNs() + kAnswerMs * kNsPerMs);
            !served) {
            return served;
        }
        const bool answered = !answer.Pending();
        if (c.ended != 0) {
            return {}; // the opening reports what the server said as it closed
        }
        if (!answered) {
            return Refuse(LineErrorCode::InvalidSettings, SilentOn(setting.name));
        }
        if (answer.error != 0 || answer.value != setting.value) {
            return Refuse(
                LineErrorCode::InvalidSettings,
                setting.kind == kBaud && answer.error == 0
                    ? QStringLiteral("%1: the server's port does not run at %2 baud (it runs at "
                                     "%3). Choose another baud rate.")
                          .arg(m_device)
                          .arg(settings.baud)
                          .arg(answer.value)
                    : QStringLiteral("%1: the server refused %2 (%3). Check the server's "
                                     "configuration for that port.")
                          .arg(m_device, setting.name,
                               answer.error != 0
                                   ? LibraryError(answer.error)
                                   : QStringLiteral("it answered %1").arg(answer.value)));
        }
    }
    return {};
}

LineDone NetworkLine::Write(QByteArrayView bytes, const StopFlag* stop) {
    if (!m_connection) {
        return LineError{LineErrorCode::PortNotOpen,
                         QStringLiteral("Operation valid only when the port is open. Open the port "
                                        "first.")};
    }
    Connection& c = *m_connection;
    // Bounded as a local port's write is: the line time of the bytes twice over plus five
    // seconds, for a server whose port does not drain.
    const qint64 lineMs = bytes.size() * 10 * 1000 / std::max<qint32>(m_baud, 1);
    const qint64 deadlineNs = NowNs() + (5000 + 2 * lineMs) * kNsPerMs;
    qsizetype done = 0;
    while (done < bytes.size() && c.ended == 0) {
        if (stop != nullptr && *stop != 0) {
            return LineError{LineErrorCode::Interrupted,
                             QStringLiteral("Writing to %1 was interrupted.").arg(m_device)};
        }
        gensiods count = 0;
        if (const int error = gensio_write(c.io, &count, bytes.data() + done,
                                           static_cast<gensiods>(bytes.size() - done), nullptr);
            error != 0) {
            c.ended = error;
            break;
        }
        done += static_cast<qsizetype>(count);
        if (done < bytes.size()) {
            if (NowNs() >= deadlineNs) {
                break;
            }
            c.writeReady = false;
            gensio_set_write_callback_enable(c.io, true);
            ServeUntil([&c] { return c.writeReady || c.ended != 0; }, deadlineNs, stop);
        }
    }
    if (c.ended != 0) {
        const QString why = LibraryError(c.ended);
        Close();
        return LineError{LineErrorCode::PortLost,
                         QStringLiteral("The connection to %1 was lost while writing (%2). Check "
                                        "the serial server and the network, and open the port "
                                        "again.")
                             .arg(m_device, why)};
    }
    if (done < bytes.size()) {
        return LineError{LineErrorCode::WriteFailed,
                         QStringLiteral("Writing to %1 could not finish (%2 of %3 bytes still "
                                        "waiting): the server does not take data. Check the "
                                        "server's port and its flow control.")
                             .arg(m_device)
                             .arg(bytes.size() - done)
                             .arg(bytes.size())};
    }
    c.Serve(0); // what the library holds back leaves now, not at the next read
    return {};
}

Line::ReadResult NetworkLine::Read(QByteArray& into, int timeoutMs) {
    if (!m_connection) {
        return ReadResult::Lost;
    }
    Connection& c = *m_connection;
    ServeUntil([&c] { return !c.received.isEmpty() || c.ended != 0; },
               NowNs() + std::max(timeoutMs, 0) * kNsPerMs, nullptr);
    // What one round of the library's work hands on (the end of the connection, passed up from
    // the TCP layer) it tells only in the next: a read serves those rounds
    // too before it says nothing came, so that a waiter woken by the readiness descriptor
    // learns all it was woken for.
    for (int round = 0; round < 3 && c.received.isEmpty() && c.ended == 0; ++round) {
        c.Serve(0);
    }
    if (!c.received.isEmpty()) {
        into += c.received;
        c.received.clear();
        return ReadResult::Data;
    }
    if (c.ended != 0) {
        Close();
        return ReadResult::Lost;
    }
    return ReadResult::Timeout;
}

void NetworkLine::Pause(int milliseconds) {
    if (!m_connection) {
        Line::Pause(milliseconds);
        return;
    }
    Connection& c = *m_connection;
    // A connection that ends meanwhile is reported by the next read or write.
    ServeUntil([&c] { return c.ended != 0; }, NowNs() + milliseconds * kNsPerMs, nullptr);
}

void NetworkLine::Abandon() {
    if (m_connection && m_connection->serial != nullptr && m_connection->ended == 0) {
        // What the server still holds for the device does not reach it.
        sergensio_flush(m_connection->serial, SERGENSIO_FLUSH_RCV_XMIT_BUFFERS);
        m_connection->Serve(0);
    }
    Close();
}

void NetworkLine::Close() {
    m_connection.reset();
}

QString NetworkLine::Ask(ModemLine line, bool on) {
    if (!m_connection) {
        return QStringLiteral("the port is closed");
    }
    Connection& c = *m_connection;
    if (c.serial == nullptr) {
        return QStringLiteral("a raw TCP port carries no modem lines; name it rfc2217://%1 to "
                              "set them on the server's port")
            .arg(m_address.ServerPort());
    }
    // A server's port that left a modem line unconfirmed once is not asked again, in this
    // connection or the next.
    const auto found = Library(m_device);
    if (!found) {
        return found.error().text;
    }
    NetworkLibrary& library = **found;
    const QString noModemLines =
        QStringLiteral("the server did not confirm it within %1 ms: its port has no modem lines "
                       "(a pseudo-terminal), or it may not set them")
            .arg(kModemAnswerMs);
    if (library.NeverConfirms(m_address.ServerPort())) {
        return noModemLines;
    }
    const AnswerKind kind = line == ModemLine::Dtr ? kDtr : line == ModemLine::Rts ? kRts : kBreak;
    Answer& answer = c.answers[kind];
    const unsigned int value = on ? 1 : 2; // ON and OFF alike for each line
    const int error = kind == kDtr ? sergensio_dtr(c.serial, value, &Connection::OnAnswer, &answer)
                      : kind == kRts
                          ? sergensio_rts(c.serial, value, &Connection::OnAnswer, &answer)
                          : sergensio_sbreak(c.serial, value, &Connection::OnAnswer, &answer);
    if (error != 0) {
        return LibraryError(error);
    }
    ++answer.sent;
    if (!ServeUntil([&] { return !answer.Pending() || c.ended != 0; },
                    NowNs() + kModemAnswerMs * kNsPerMs, nullptr)) {
        library.MarkNeverConfirms(m_address.ServerPort());
        return noModemLines;
    }
    if (c.ended != 0) {
        return QStringLiteral("the connection was closed");
    }
    return answer.error != 0 ? LibraryError(answer.error) : QString();
}

LineDone NetworkLine::SetModemLine(ModemLine line, bool on) {
    if (const QString why = Ask(line, on); !why.isEmpty()) {
        return ModemLineRefusal(line, ModemAction(on), why);
    }
    return {};
}

LineDone NetworkLine::ProbeModemLine(ModemLine line) {
    // The server's lines cannot be read here: the probe sets each to the state the server's
    // port opens with (DTR and RTS on, no break).
    if (const QString why = Ask(line, line != ModemLine::Break); !why.isEmpty()) {
        return ModemLineRefusal(line, QStringLiteral("set"), why);
    }
    return {};
}

LineDone NetworkLine::TakeOver(const SerialSettings& settings) {
    QByteArray dropped;
    if (Read(dropped, 0) == ReadResult::Lost) {
        return LineError{
            LineErrorCode::PortLost,
            QStringLiteral("%1: the server closed the connection meanwhile").arg(m_device)};
    }
    // The rate the run uses now, on the server's port.
    if (LineDone changed = ChangeSettings(settings); !changed) {
        return changed;
    }
    Read(dropped, 0); // what came before answers nothing of ours
    return {};
}

LineDone NetworkLine::ChangeSettings(const SerialSettings& settings) {
    if (m_connection && m_connection->serial != nullptr) {
        if (LineDone applied = ApplySettings(settings); !applied) {
            return applied;
        }
    }
    m_baud = settings.baud; // a raw TCP port runs as the server set it up
    return {};
}

int NetworkLine::ReadinessDescriptor() const {
    return m_connection ? m_connection->readiness : -1;
}

bool NetworkLine::NoDelay() const {
    if (!m_connection) {
        return false;
    }
    return TcpValue(m_connection->io, GENSIO_CONTROL_NODELAY) == "1";
}

QString NetworkLine::Reach(const QString& name, int timeoutMs, const StopFlag* stop) {
    NetworkAddressParse parse = ParseNetworkAddress(name);
    if (!parse) {
        return parse.error().text;
    }
    // A bare TCP connection: the server opens its port, and nothing is set on it.
    parse->scheme = NetworkAddress::Scheme::Socket;
    if (NetworkLibrary::Current() == nullptr) {
        return QStringLiteral("this program cannot open ports on a serial server");
    }
    NetworkLine line;
    line.m_connection = std::make_unique<Connection>();
    Connection& c = *line.m_connection;
    if (gensio_unix_funcs_alloc(nullptr, 0, &c.os) != 0 ||
        str_to_gensio(parse->GensioText().constData(), c.os, &Connection::OnEvent, &c, &c.io) !=
            0) {
        c.io = nullptr;
        return QStringLiteral("the host %1 is not known").arg(parse->host);
    }
    c.opening = gensio_open(c.io, &Connection::OnOpened, &c) == 0;
    if (!c.opening ||
        !line.ServeUntil([&c] { return c.opened; }, line.NowNs() + timeoutMs * kNsPerMs, stop)) {
        return QStringLiteral("no answer");
    }
    return c.openError == 0 ? QString() : LibraryError(c.openError);
}
