// SPDX-License-Identifier: GPL-3.0-or-later
// A station that does nothing but take serial numbers, as fast as the store gives them: for the
// tests that kill stations and the server while numbers are issued. Each number it was given is
// appended to its file, synced, before the next one is asked for; then it settles the number as
// used, spoiled or returned at random. A store that fails is asked again; a spent counter ends it.
//
//   tavrel-serial-hammer STORE STATION COUNTER FIRST LAST FILE [LEASE]
#include "records/Recorder.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <cstdio>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList words = app.arguments();
    if (words.size() < 7) {
        std::fprintf(stderr, "usage: tavrel-serial-hammer STORE STATION COUNTER FIRST LAST FILE "
                             "[LEASE]\n");
        return 2;
    }
    const auto url = records::ParseStoreUrl(words[1]);
    if (!url) {
        std::fprintf(stderr, "%s\n", qPrintable(url.error().text));
        return 2;
    }
    const QString counter = words[3];
    const int file =
        ::open(words[6].toLocal8Bit().constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    std::shared_ptr<records::Recorder> recorder;
    const auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); };
    for (;;) { // the server may be restarting
        auto opened = records::Recorder::Open(*url, words[2]);
        if (opened &&
            (*opened)->DefineCounter(counter, words[4].toLongLong(), words[5].toLongLong())) {
            recorder = *opened;
            break;
        }
        pause();
    }
    recorder->SetLease(words.value(7).toInt());
    for (;;) {
        const auto issued = recorder->IssueSerial(counter, QStringLiteral("board"));
        if (!issued) {
            pause();
            continue;
        }
        if (!*issued) {
            return 0; // spent
        }
        const QByteArray line = QByteArray::number((*issued)->value) + '\n';
        if (::write(file, line.constData(), size_t(line.size())) != line.size() ||
            ::fsync(file) != 0) {
            return 1;
        }
        const records::SerialState states[] = {records::SerialState::Used,
                                               records::SerialState::Spoiled,
                                               records::SerialState::Returned};
        (void)recorder->SettleSerial(counter, (*issued)->value,
                                     states[QRandomGenerator::global()->bounded(3)]);
    }
}
