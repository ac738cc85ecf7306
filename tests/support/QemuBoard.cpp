// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/QemuBoard.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <algorithm>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// QEMU's machine protocol over its unix socket: one JSON object a line.
class Qmp {
  public:
    explicit Qmp(const QString& path) : m_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        std::memcpy(address.sun_path, name.constData(),
                    std::min<size_t>(size_t(name.size()), sizeof address.sun_path - 1));
        m_connected =
            ::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~Qmp() { ::close(m_fd); }
    // Sends one command and waits for its answer (events that come meanwhile are passed over).
    bool Execute(const QJsonObject& command) {
        const QByteArray line = QJsonDocument(command).toJson(QJsonDocument::Compact) + '\n';
        if (!m_connected || ::write(m_fd, line.constData(), size_t(line.size())) != line.size()) {
            return false;
        }
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            for (qsizetype end = m_buffer.indexOf('\n'); end >= 0; end = m_buffer.indexOf('\n')) {
                const QJsonObject answer = QJsonDocument::fromJson(m_buffer.left(end)).object();
                m_buffer.remove(0, end + 1);
                if (answer.contains("return") || answer.contains("error")) {
                    return answer.contains("return");
                }
            }
            pollfd ready{m_fd, POLLIN, 0};
            char buffer[4096];
            const ssize_t n = ::poll(&ready, 1, 100) > 0 ? ::read(m_fd, buffer, sizeof buffer) : 0;
            if (n < 0 || (n == 0 && ready.revents != 0)) {
                return false;
            }
            m_buffer.append(buffer, n);
        }
        return false;
    }

  private:
    int m_fd;
    bool m_connected = false;
    QByteArray m_buffer;
};

} // namespace

QemuBoard::QemuBoard() {
    QTemporaryDir folder;
    folder.setAutoRemove(false);
    m_folder = folder.path();
    m_process.start(QStringLiteral("qemu-system-arm"),
                    {"-M", "mps2-an385", "-display", "none", "-serial", "pty", "-qmp",
                     QStringLiteral("unix:%1/qmp,server=on,wait=off").arg(m_folder), "-kernel",
                     Firmware("tavrel-boot-mps2-an385.elf")});
    if (!m_process.waitForStarted(10000)) {
        throw std::runtime_error("qemu-system-arm did not start");
    }
    // "char device redirected to /dev/pts/N (label serial0)"
    static const QRegularExpression redirected(QStringLiteral("redirected to (\\S+) \\(label"));
    QByteArray said;
    const QDeadlineTimer deadline(20000);
    while (!redirected.match(QString::fromLocal8Bit(said)).hasMatch()) {
        if (deadline.hasExpired() || !m_process.waitForReadyRead(1000)) {
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
                throw std::runtime_error("qemu-system-arm made no pty: " + said.toStdString());
            }
        }
        said += m_process.readAllStandardError() + m_process.readAllStandardOutput();
    }
    m_port = redirected.match(QString::fromLocal8Bit(said)).captured(1);
}

QemuBoard::~QemuBoard() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    QDir(m_folder).removeRecursively();
}

QByteArray QemuBoard::StopAndDumpMemory(int bytes) {
    Qmp qmp(m_folder + QStringLiteral("/qmp"));
    const QString dump = m_folder + QStringLiteral("/memory.bin");
    const bool saved =
        qmp.Execute({{"execute", "qmp_capabilities"}}) &&
        qmp.Execute({{"execute", "pmemsave"},
                     {"arguments", QJsonObject{{"val", 0}, {"size", bytes}, {"filename", dump}}}});
    qmp.Execute({{"execute", "quit"}});
    m_process.waitForFinished(10000);
    QFile file(dump);
    return saved && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString QemuBoard::Firmware(const QString& name) {
    return QStringLiteral(TAVREL_CORTEX_M_FIRMWARE_DIR "/") + name;
}
