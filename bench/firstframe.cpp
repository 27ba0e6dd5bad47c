// The launcher's start-up (runLauncher, as main runs it) until the window
// has shown its first frame. The time counts from ZANROK_BENCH_T0
// (nanoseconds since the epoch, taken by the caller just before it starts
// this process), so it includes loading the program and its libraries.
// Prints one JSON line:
//   {"firstFrameMs":412.3}
// and ends the process there; the rest of start-up is not measured.
#include "app/launcher.h"

#include <QApplication>
#include <QQuickWindow>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

qint64 nowNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

qint64 startNs;
std::atomic_bool seen { false };

void frameShown()
{
    if (seen.exchange(true))
        return;
    std::printf("{\"firstFrameMs\":%.1f}\n", double(nowNs() - startNs) / 1e6);
    std::fflush(stdout);
    std::_Exit(0);
}

// The window is made inside the controller's constructor, which may still be
// waiting on a fetch when the first frame is shown: watch for it from the
// first event it receives.
class WindowWatcher : public QObject
{
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (auto *window = qobject_cast<QQuickWindow *>(watched)) {
            if (!m_connected) {
                m_connected = true;
                connect(window, &QQuickWindow::frameSwapped, frameShown);
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_connected = false;
};

} // namespace

int main(int argc, char **argv)
{
    const QByteArray t0 = qgetenv("ZANROK_BENCH_T0");
    startNs = t0.isEmpty() ? nowNs() : t0.toLongLong();

    LauncherHooks hooks;
    hooks.addresses = [] {
        qApp->installEventFilter(new WindowWatcher);
        return NetworkAddresses::builtIn();
    };
    runLauncher(argc, argv, hooks);
    std::fprintf(stderr, "the window never showed a frame\n");
    return 1;
}
