// The reference of the start-up benchmark: a bare QApplication that runs its
// event loop once and ends.
#include <QApplication>
#include <QTimer>

int main(int argc, char **argv)
{
    QApplication a(argc, argv);
    QTimer::singleShot(0, &a, &QApplication::quit);
    return a.exec();
}
