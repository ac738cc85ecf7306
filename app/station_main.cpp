// SPDX-License-Identifier: GPL-3.0-or-later
// tavrel-station: the station window. tavrel-station [--baud N] [--watch GLOB] [--auto]
// [--log FILE] [IMAGE], so that a production line can start preloaded, in auto mode.
#include "app/Resources.h"
#include "config/Defaults.h"
#include "serial/NetworkLibrary.h"
#include "station/SlotLabels.h"
#include "ui/station/StationWindow.h"
#include "update/LoadedImage.h"

#include <QApplication>
#include <QFile>
#include <QSet>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

// A signal only writes its number into this pipe; the event loop reads it and ends the program
// the orderly way: every update stopped and recorded before the window goes.
int g_signalPipe[2] = {-1, -1};

void OnSignal(int signal) {
    const char number = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &number, 1);
}

QByteArray HelpText() {
    return (QStringLiteral("Usage: tavrel-station [options] [IMAGE]\n"
                           "Flashes one firmware image into many devices at once: a tile per "
                           "serial port, green or red\n"
                           "for every board, and a JSON line per attempt in the results log.\n"
                           "\n"
                           "Options:\n") +
            config::OptionsHelp(config::kStation) +
            QStringLiteral("\n"
                           "Arguments:\n"
                           "  IMAGE                 the firmware image to load at start "
                           "(optional)\n"
                           "\n") +
            config::SourcesHelp(config::kStation) +
            QStringLiteral("\n"
                           "Exit status: 0 when the window is closed; 1 for a usage error; 128 + "
                           "the signal when\n"
                           "SIGTERM, SIGHUP or SIGINT ended it (every update stopped and recorded "
                           "first).\n"))
        .toLocal8Bit();
}

// The window's options from the run's settings; why not, when the slots file cannot be read.
std::optional<StationWindow::Options> WindowOptions(const config::RunSettings& settings,
                                                    QString* error) {
    StationWindow::Options options;
    static_cast<config::RunSettings&>(options) = settings;
    if (!settings.slotsFile.isEmpty()) {
        const auto slots = SlotLabels::Read(settings.slotsFile);
        if (!slots) {
            *error = slots.error().text;
            return std::nullopt;
        }
        options.slots = *slots;
    }
    // The station keeps every attempt: in its own store unless told otherwise. A store that
    // cannot be used is refused before any window; a line server away is not.
    const auto url =
        settings.store
            ? Result<records::StoreUrl, records::StoreError>(*settings.store)
            : records::ParseStoreUrl(QStringLiteral("sqlite:") + records::DefaultLocalStorePath());
    auto recorder =
        url ? records::Recorder::Open(*url, records::StationNameOr(settings.stationName))
            : Result<std::shared_ptr<records::Recorder>, records::StoreError>(url.error());
    if (!recorder) {
        *error = recorder.error().text;
        return std::nullopt;
    }
    options.records = *recorder;
    if (settings.stamp) {
        auto stamper = station::BoardStamper::Make(
            {*settings.stamp, settings.stampSerial, settings.stampMac, options.records,
             records::StationNameOr(settings.stationName), settings.stampLease});
        if (!stamper) {
            *error = stamper.error();
            return std::nullopt;
        }
        options.stamper = *stamper;
    }
    return options;
}

} // namespace

// --help or --version (or a shortening of either, -h, -V) before "--": answered before any
// window, or Qt's own options, exist.
QByteArray HelpOrVersion(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const QByteArray word(argv[i]);
        if (word == "--") {
            break;
        }
        if (word == "-h" || (word.size() > 2 && QByteArray("--help").startsWith(word))) {
            return HelpText();
        }
        if (word == "-V" || (word.size() > 3 && QByteArray("--version").startsWith(word))) {
            return "tavrel-station " TAVREL_VERSION "\n";
        }
    }
    return {};
}

// The words without Qt's own options (-platform NAME, -style NAME, -reverse, ...), which
// QApplication takes: the program's options are read, and refused, before any display is needed.
std::vector<char*> WithoutQtOptions(int argc, char** argv) {
    static const QSet<QByteArray> withValue{
        "platform",    "platformpluginpath", "platformtheme", "plugin",     "qwindowgeometry",
        "qwindowicon", "qwindowtitle",       "style",         "stylesheet", "session",
        "display",     "geometry",           "title",         "name",       "qmljsdebugger"};
    static const QSet<QByteArray> alone{"reverse", "widgetcount", "nograb", "dograb", "sync"};
    std::vector<char*> words{argv[0]};
    for (int i = 1; i < argc; ++i) {
        QByteArray name(argv[i]);
        if (name == "--") {
            words.insert(words.end(), argv + i, argv + argc);
            break;
        }
        name = name.startsWith("--") ? name.mid(2) : name.startsWith('-') ? name.mid(1) : "";
        if (withValue.contains(name.split('=').first()) && !name.contains('=')) {
            ++i; // and its value
        } else if (!withValue.contains(name.split('=').first()) && !alone.contains(name)) {
            words.push_back(argv[i]);
        }
    }
    words.push_back(nullptr);
    return words;
}

int main(int argc, char** argv) {
    if (const QByteArray text = HelpOrVersion(argc, argv); !text.isEmpty()) {
        std::fputs(text.constData(), stdout);
        return 0;
    }
    const std::vector<char*> own = WithoutQtOptions(argc, argv);
    QList<QByteArray> words;
    for (std::size_t i = 0; i + 1 < own.size(); ++i) {
        words << QByteArray(own[i]);
    }
    QStringList told;
    const config::SettingsRead read = config::ReadSettings(config::kStation, words, &told);
    QString error = read ? QString() : read.error().text;
    const std::optional<StationWindow::Options> windowOptions =
        read ? WindowOptions(*read, &error) : std::nullopt;
    if (!windowOptions) {
        std::fprintf(stderr, "tavrel-station: %s\nTry tavrel-station --help.\n",
                     error.toLocal8Bit().constData());
        return 1;
    }
    // An image given at start that cannot be flashed ends the program before any window.
    if (!windowOptions->imagePath.isEmpty()) {
        const Result<LoadedImage, ImageError> loaded =
            LoadImage(windowOptions->imagePath, windowOptions->base, windowOptions->format);
        const ConfigDone ours = loaded && windowOptions->job
                                    ? config::CheckImageOfJob(*windowOptions->job, *loaded)
                                    : ConfigDone{};
        const QString refusal =
            !loaded
                ? (loaded.error().code == ImageErrorCode::Empty ? loaded.error().text : QString())
            : ours ? QString()
                   : ours.error().text;
        if (!refusal.isEmpty()) {
            std::fprintf(stderr, "tavrel-station: %s\n", refusal.toLocal8Bit().constData());
            return 2;
        }
    }
    QApplication app(argc, argv);
    NetworkLibrary network;
    QCoreApplication::setApplicationName(QStringLiteral("tavrel-station"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));
    QApplication::setWindowIcon(StationIcon());
    StationWindow window(*windowOptions);
    int stoppedBy = 0;
    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
            sigaction(signal, &action, nullptr);
        }
        signalNotifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, [&] {
            char number = 0;
            if (::read(g_signalPipe[0], &number, 1) == 1 && stoppedBy == 0) {
                stoppedBy = number;
                window.StopForSignal(stoppedBy);
                QApplication::quit();
            }
        });
    }
    window.show();
    const int status = app.exec();
    return stoppedBy != 0 ? 128 + stoppedBy : status; // as a shell reports a signal
}
