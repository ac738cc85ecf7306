// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Shared pieces of the benchmark programs: statistics, the simulator, the result files.

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <vector>

namespace bench {

struct Stats {
    double medianUs = 0;
    double p99Us = 0;
    double meanUs = 0;
    int count = 0;
};
Stats Summarise(std::vector<double> samplesUs);
QJsonObject ToJson(const Stats& stats);

// Turnarounds from a simulator --timing file: our answer out -> the tool's next packet in.
std::vector<double> ReadTurnarounds(const QString& timingFile);

// A tavrel-devsim process; the first line it prints is its pty.
class Sim {
  public:
    explicit Sim(const QStringList& arguments);
    ~Sim();
    QString port;
    int Stop();

  private:
    QProcess m_process;
};

QString BinaryPath(const char* name); // next to the benchmark programs' build folder
QString MachineDescription();
// Writes bench/results/<name>.json (folder from TAVREL_BENCH_RESULTS, else ./bench-results).
void WriteResult(const QString& name, const QJsonObject& figures);
QByteArray RandomBytes(qint64 size);
QString WriteTempFile(const QString& name, const QByteArray& bytes);

} // namespace bench
