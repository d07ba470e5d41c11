// The progress window from show() to its first paint under Xvfb, against a bare
// QWidget, interleaved; median of the rounds.
// Usage: ulxbench_window [rounds=30]

#include "apprunner/kxulxcloudsvrprogresswindow.h"
#include "bench/common/benchstats.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class PaintWatch : public QObject
{
public:
    bool painted = false;
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint)
            painted = true;
        return false;
    }
};

qint64 firstPaint(QWidget *w)
{
    PaintWatch watch;
    w->installEventFilter(&watch);
    QElapsedTimer t;
    t.start();
    w->show();
    while (!watch.painted && t.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const qint64 ns = t.nsecsElapsed();
    w->removeEventFilter(&watch);
    return ns;
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 30;
    int fds[2];
    if (::pipe(fds) != 0)
        return 1;
    const pid_t xvfb = ::fork();
    if (xvfb == 0) {
        ::dup2(fds[1], 1);
        ::execlp("Xvfb", "Xvfb", "-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp", nullptr);
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    if (number.empty()) {
        std::fprintf(stderr, "Xvfb cannot start\n");
        return 1;
    }
    setenv("DISPLAY", (":" + number).c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);

    std::vector<qint64> window, bare;
    {
        QApplication app(argc, argv);
        for (int i = 0; i < rounds; ++i) {
            auto *w = new KxUlxCloudSvrProgressWindow(QStringLiteral("Viewer"));
            window.push_back(firstPaint(w));
            delete w;
            auto *b = new QWidget;
            bare.push_back(firstPaint(b));
            delete b;
        }
    }
    ::kill(xvfb, SIGTERM);
    ::waitpid(xvfb, nullptr, 0);
    std::printf("median of %d under Xvfb: progress window show to first paint %.2f ms, bare QWidget %.2f ms\n", rounds,
                median(window) / 1e6, median(bare) / 1e6);
    return 0;
}
