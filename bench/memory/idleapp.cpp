// The baseline of the idle-memory benchmark: a bare QApplication in its event loop until SIGTERM.
#include <QApplication>

#include <csignal>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    std::signal(SIGTERM, [](int) { QCoreApplication::quit(); });
    return app.exec();
}
