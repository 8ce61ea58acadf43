// How fast the window comes up and what the process needs in memory.
//
//   startup-bench [RUNS]   (RUNS: start-ups to time, default 10)
//
// Start-up is timed from the fork of a child (this program again, started
// with --child) to the line the child prints once its window is exposed;
// the window is made exactly as the program's main makes it. Target: at most
// 150 ms to the exposed window and 60 MiB of peak memory.
#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "bench/BenchFigures.h"
#include "tests/support/ChildProcess.h"
#include "brand/Brand.h"
#include "qt/Dialogs.h"
#include "qt/MainWindow.h"
#include "platform/Socket.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr char kExposedLine[] = "exposed";

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

using bench::CpuSeconds;
using bench::Median;

// Calls back once, when the first top-level window is exposed (and, the
// event having been handled, painted).
class ExposeWatcher : public QObject {
public:
    explicit ExposeWatcher(std::function<void()> onExposed) : onExposed_(std::move(onExposed)) {
        qApp->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* o, QEvent* e) override {
        if (!fired_ && e->type() == QEvent::Expose) {
            auto* w = qobject_cast<QWindow*>(o);
            if (w && w->isExposed()) {
                fired_ = true;
                QTimer::singleShot(0, this, onExposed_);  // after this expose has been painted
            }
        }
        return false;
    }

private:
    std::function<void()> onExposed_;
    bool fired_ = false;
};

// The program's start, up to the exposed window; then it ends.
int RunChild(int argc, char** argv) {
    platform::StartSocketLibrary();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(brand::kApplicationName));
    int rc = 0;
    {
        Dialogs dialogs;
        net::MeterConnections network;
        MainWindow window(dialogs, PortsOver(network));
        ExposeWatcher watcher([] {
            std::printf("%s\n", kExposedLine);
            std::fflush(stdout);
            QCoreApplication::quit();
        });
        window.show();
        rc = app.exec();
    }
    platform::StopSocketLibrary();
    return rc;
}

struct StartupFigures {
    std::vector<double> ms;
    std::vector<double> maxRssKiB;
};

bool TimeStartups(int runs, StartupFigures& out) {
    using testsupport::ChildProcess;
    constexpr auto kNoLimit = Clock::time_point::max();
    // One start-up first that is not counted: it brings the libraries and
    // fonts into the page cache, as they are for anyone who has started the
    // program before.
    for (int i = -1; i < runs; ++i) {
        const auto t0 = Clock::now();
        std::optional<ChildProcess> child;
        try {
            child.emplace(std::vector<std::string>{"/proc/self/exe", "--child"}, ChildProcess::Stderr::Discard);
        } catch (const std::system_error& e) {
            std::fprintf(stderr, "startup-bench: %s\n", e.what());
            return false;
        }
        bool seen = false;
        while (!seen) {
            const auto line = child->ReadLine(kNoLimit);
            if (!line) break;
            seen = *line == kExposedLine;
        }
        const auto t1 = Clock::now();
        const int status = child->Wait(kNoLimit).value_or(-1);
        if (!seen || status != 0) {
            std::fprintf(stderr, "startup-bench: child ended with status %d before its window was exposed\n", status);
            return false;
        }
        if (i < 0) continue;
        out.ms.push_back(Ms(t1 - t0));
        out.maxRssKiB.push_back(static_cast<double>(child->Usage().ru_maxrss));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The child runs in the directory of its parent.
    if (argc > 1 && std::string(argv[1]) == "--child") return RunChild(argc, argv);
    const bench::ScratchWorkDir work;

    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    StartupFigures startup;
    if (!TimeStartups(runs, startup)) return 1;

    std::printf("start-up to exposed window (%d runs, offscreen)\n", runs);
    std::printf("  median %8.1f ms   worst %8.1f ms\n", Median(startup.ms),
                *std::max_element(startup.ms.begin(), startup.ms.end()));
    std::printf("peak memory of the started program (ru_maxrss)\n");
    std::printf("  median %8.1f MiB  worst %8.1f MiB\n", Median(startup.maxRssKiB) / 1024,
                *std::max_element(startup.maxRssKiB.begin(), startup.maxRssKiB.end()) / 1024);

    return 0;
}
