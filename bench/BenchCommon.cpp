// SPDX-License-Identifier: GPL-3.0-or-later
#include "bench/BenchCommon.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <numeric>
#include <stdexcept>

namespace bench {

Stats Summarise(std::vector<double> samples) {
    Stats stats;
    stats.count = static_cast<int>(samples.size());
    if (samples.empty()) {
        return stats;
    }
    std::sort(samples.begin(), samples.end());
    stats.medianUs = samples[samples.size() / 2];
    stats.p99Us = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    stats.meanUs = std::accumulate(samples.begin(), samples.end(), 0.0) / samples.size();
    return stats;
}

QJsonObject ToJson(const Stats& s) {
    return {{"median_us", s.medianUs},
            {"p99_us", s.p99Us},
            {"mean_us", s.meanUs},
            {"samples", s.count}};
}

std::vector<double> ReadTurnarounds(const QString& timingFile) {
    std::vector<double> samples;
    QFile file(timingFile);
    if (!file.open(QIODevice::ReadOnly)) {
        return samples;
    }
    while (!file.atEnd()) {
        const QList<QByteArray> fields = file.readLine().trimmed().split(' ');
        if (fields.size() == 2) {
            samples.push_back(fields[1].toDouble() - fields[0].toDouble());
        }
    }
    return samples;
}

Sim::Sim(const QStringList& arguments) {
    m_process.start(BinaryPath("tavrel-devsim"), arguments);
    if (!m_process.waitForStarted(5000)) {
        throw std::runtime_error("tavrel-devsim did not start");
    }
    while (!m_process.canReadLine()) {
        if (!m_process.waitForReadyRead(5000)) {
            throw std::runtime_error("tavrel-devsim printed no port");
        }
    }
    port = QString::fromLocal8Bit(m_process.readLine()).trimmed();
}

Sim::~Sim() {
    Stop();
}

int Sim::Stop() {
    if (m_process.state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(m_process.processId()), SIGTERM);
        m_process.waitForFinished(5000);
    }
    return m_process.exitCode();
}

QString BinaryPath(const char* name) {
    return QStringLiteral(TAVREL_BUILD_DIR "/") + QString::fromLatin1(name);
}

QString MachineDescription() {
    QString cpu;
    QFile info(QStringLiteral("/proc/cpuinfo"));
    if (info.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : info.readAll().split('\n')) {
            if (line.startsWith("model name")) {
                cpu = QString::fromLatin1(line.mid(line.indexOf(':') + 1)).trimmed();
                break;
            }
        }
    }
    return QStringLiteral("%1, %2 cores, %3 %4")
        .arg(cpu)
        .arg(QThread::idealThreadCount())
        .arg(QSysInfo::prettyProductName(), QSysInfo::kernelVersion());
}

void WriteResult(const QString& name, const QJsonObject& figures) {
    QString folder = qEnvironmentVariable("TAVREL_BENCH_RESULTS");
    if (folder.isEmpty()) {
        folder = QStringLiteral("bench-results");
    }
    QDir().mkpath(folder);
    QJsonObject all = figures;
    all.insert(QStringLiteral("machine"), MachineDescription());
    QFile file(folder + QLatin1Char('/') + name + QStringLiteral(".json"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(QJsonDocument(all).toJson());
    }
}

QByteArray RandomBytes(qint64 size) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(1234);
    for (qint64 i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(generator.bounded(256));
    }
    return bytes;
}

QString WriteTempFile(const QString& name, const QByteArray& bytes) {
    const QString path = QDir::temp().filePath(
        QStringLiteral("tavrel-bench-%1-%2").arg(QCoreApplication::applicationPid()).arg(name));
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(bytes);
    return path;
}

} // namespace bench
