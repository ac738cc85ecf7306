#pragma once
// tavrel-flash's run: loads the image, opens the port and lets the transfer engine drive the
// update, with the port read in between instead of an event loop. The engine is the window's:
// the device gets the same bytes in the same order with the same waits.

#include "cli/FlashOptions.h"
#include "cli/Progress.h"
#include "cli/Trace.h"
#include "serial/CMscomm1.h"
#include "update/EngineHost.h"
#include "update/ImageStore.h"
#include "update/TransferEngine.h"

#include <QElapsedTimer>
#include <csignal>

namespace flash {

class Flasher : private EngineHost {
  public:
    // `stopSignal` is set to the number of a signal (SIGINT, SIGTERM) that asks the run to end.
    Flasher(const FlashOptions& options, ProgressReporter& reporter,
            const volatile std::sig_atomic_t& stopSignal);
    int Run();

  private:
    struct Interrupted {};
    struct Failure {
        int exitCode;
        QString message;
    };

    void LoadImage();
    // No output may be one of the inputs: a trace written over the image would destroy it.
    void RefuseOutputsThatAreInputs() const;
    void OpenTrace();
    void OpenPort();
    int Flash();
    // Reads the port until the reply since the last packet begins with "ACK" (true) or
    // `timeoutMs` passes (false; negative waits forever).
    bool WaitForAck(qint64 timeoutMs);
    // Moves complete text lines out of the reply; true when it now begins with "ACK".
    bool TakeAck();
    // Shows all that is left of the reply as the device's text.
    void FlushDeviceText();
    void ShowDeviceText(const QByteArray& text);
    // True when the port is gone; throws when that is a failure (before the switch packet).
    bool PortGone() const;
    void ThrowIfInterrupted() const;
    void OnComm();
    double Seconds() const { return m_clock.nsecsElapsed() / 1e9; }
    QString PortName() const;

    // EngineHost
    void WritePacket(const QByteArray& packet) override;
    void SetProgress(int) override {}
    void Wait(int milliseconds) override;
    void ShowMessage(const QString& text) override;
    void SaveData() override {}
    void SetWriteCaption(const QString& caption) override;

    const FlashOptions& m_options;
    ProgressReporter& m_reporter;
    Trace m_trace;
    const volatile std::sig_atomic_t& m_stopSignal;

    CMscomm1 m_comm;
    ImageStore m_store;
    TransferEngine m_engine{m_store, *this};
    TransferFigures m_figures;
    QElapsedTimer m_clock;

    QByteArray m_reply;        // bytes received since the last packet
    bool m_ackTaken = false;   // the reply has already counted as the acknowledgement
    bool m_inLongLine = false; // part of an overlong text line has been shown already
    bool m_portLost = false;
    int m_sentBlocks = 0;
    bool m_allBlocksSent = false;
    bool m_switchSent = false;
    Outcome m_outcome;
    bool m_oneBlockImage = false;
    bool m_done = false;
};

} // namespace flash
