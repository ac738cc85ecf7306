// SPDX-License-Identifier: GPL-3.0-or-later
// The headless update's own cost per block: a 236-block update against a device on an in-memory
// line that answers every block at once and keeps its own clock, so that neither a port nor the
// protocol's fixed waits are measured, only what the update does for each block.
#include "station/PortUpdate.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

class AnsweringLine : public Line {
  public:
    LineDone Open(const Port& port, const SerialSettings&, bool) override {
        m_device = port.device;
        m_open = true;
        return {};
    }
    bool IsOpen() const override { return m_open; }
    LineDone Write(QByteArrayView, const StopFlag*) override {
        m_waiting += "ACK";
        return {};
    }
    ReadResult Read(QByteArray& into, int timeoutMs) override {
        if (!m_waiting.isEmpty()) {
            into += std::exchange(m_waiting, {});
            return ReadResult::Data;
        }
        m_nowNs += std::max(timeoutMs, 1) * qint64(1'000'000);
        return ReadResult::Timeout;
    }
    void Abandon() override { m_open = false; }
    void Close() override { m_open = false; }
    LineDone SetModemLine(ModemLine, bool) override { return {}; }
    LineDone ProbeModemLine(ModemLine) override { return {}; }
    QString Device() const override { return m_device; }
    int ReadinessDescriptor() const override { return -1; }
    LineDone ChangeSettings(const SerialSettings&) override { return {}; }
    qint64 NowNs() const override { return m_nowNs; }

  private:
    bool m_open = false;
    QString m_device;
    QByteArray m_waiting;
    qint64 m_nowNs = 0;
};

class Silent : public station::ProgressReporter {
  public:
    void Start(const station::TransferFigures&) override {}
    void Block(int, int, double) override {}
    void Done(double, const station::Outcome&) override {}
    void Error(const station::Ending&, const QString&) override {}
    void DeviceText(const QString&) override {}
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    LoadedImage image;
    image.store.LoadImageBytes(QByteArray(ImageStore::kMaxImageBytes, '\x5A'));
    image.bytes = ImageStore::kMaxImageBytes;
    const int blocks = image.store.m_lastBlock + 1;
    station::UpdateSettings settings;
    settings.port = QStringLiteral("/dev/in-memory");
    const StopFlag stop{0};
    Silent reporter;
    std::vector<double> perBlockUs;
    for (int run = 0; run < 50; ++run) {
        station::PortUpdate update(settings, reporter, stop, &image,
                                   std::make_unique<AnsweringLine>());
        QElapsedTimer clock;
        clock.start();
        if (!update.Run().Passed()) {
            std::fprintf(stderr, "update_cost_bench: the update failed\n");
            return 1;
        }
        perBlockUs.push_back(clock.nsecsElapsed() / 1e3 / blocks);
    }
    std::sort(perBlockUs.begin(), perBlockUs.end());
    std::printf("\nThe headless update's own cost per block (in-memory line, %d blocks, 50 runs)\n"
                "median %.2f us, worst %.2f us\n",
                blocks, perBlockUs[perBlockUs.size() / 2], perBlockUs.back());
    return 0;
}
