#include "reportcore/khostprocesses.h"

#include "platform/xdgpaths.h"
#include "suite/krt.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <csignal>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace ulx::hostprocesses {
namespace {

const QByteArray HostName = QByteArrayLiteral("ulxcloudsvr");

QByteArray readProc(pid_t pid, const char *file)
{
    QFile f(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(file)));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Real and effective uid both ours.
bool isOurUser(pid_t pid)
{
    for (const QByteArray &line : readProc(pid, "status").split('\n')) {
        if (line.startsWith("Uid:")) {
            const QList<QByteArray> ids = line.mid(4).simplified().split(' ');
            return ids.size() >= 2 && ids.at(0).toUInt() == ::getuid() && ids.at(1).toUInt() == ::geteuid();
        }
    }
    return false;
}

// The runtime directory the process's channel uses, by the rule of ulx::paths::runtimeDir().
QString runtimeDirOf(pid_t pid)
{
    QByteArray xdg;
    for (const QByteArray &var : readProc(pid, "environ").split('\0')) {
        if (var.startsWith("XDG_RUNTIME_DIR="))
            xdg = var.mid(16);
    }
    if (xdg.isEmpty())
        return QStringLiteral("/tmp/ulxcloudsvr-%1").arg(::getuid());
    return QDir::cleanPath(QFile::decodeName(xdg) + QStringLiteral("/ulxcloudsvr"));
}

bool isHostProgram(pid_t pid)
{
    QByteArray exe = QFile::encodeName(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)));
    if (exe.endsWith(" (deleted)"))
        exe.chop(10);
    return exe.mid(exe.lastIndexOf('/') + 1) == HostName;
}

} // namespace

QList<pid_t> list()
{
    QList<pid_t> out;
    const QString ownRuntime = QDir::cleanPath(ulx::paths::runtimeDir());
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : entries) {
        bool ok = false;
        const pid_t pid = pid_t(name.toInt(&ok));
        if (!ok || pid <= 0)
            continue;
        if (isOurUser(pid) && isHostProgram(pid) && runtimeDirOf(pid) == ownRuntime)
            out.append(pid);
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool isServiceProcess(pid_t pid)
{
    return pid > 0 && isOurUser(pid) && isHostProgram(pid)
           && runtimeDirOf(pid) == QDir::cleanPath(ulx::paths::runtimeDir());
}

double userTimeSeconds(pid_t pid)
{
    const QByteArray stat = readProc(pid, "stat");
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return 0.0;
    // After "pid (comm) ": state is field 3, utime field 14.
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    if (fields.size() < 12)
        return 0.0;
    const long ticks = ::sysconf(_SC_CLK_TCK);
    return ticks > 0 ? double(fields.at(11).toULongLong()) / double(ticks) : 0.0;
}

QString crashDumperPath()
{
    return krt::dirs::office() + QStringLiteral("/kcrashdumper");
}

} // namespace ulx::hostprocesses

pid_t findBusiestHostProcess()
{
    double best = 0.0;
    pid_t bestId = 0;
    for (pid_t pid : ulx::hostprocesses::list()) {
        const double t = ulx::hostprocesses::userTimeSeconds(pid);
        if (t > best) {
            best = t;
            bestId = pid;
        }
    }
    return bestId;
}

void dumpProcess(pid_t pid)
{
    if (pid <= 0)
        return;
    const QByteArray exe = QFile::encodeName(ulx::hostprocesses::crashDumperPath());
    const QByteArray pidArg = "-pid=" + QByteArray::number(pid);
    char *argv[] = {const_cast<char *>(exe.constData()), const_cast<char *>(pidArg.constData()),
                    const_cast<char *>("-tid=0"), const_cast<char *>("-exp=0"),
                    const_cast<char *>("-callfrom=0"), const_cast<char *>("-upload=1"), nullptr};
    pid_t child = 0;
    if (::posix_spawn(&child, exe.constData(), nullptr, nullptr, argv, environ) != 0)
        return;
    // A dumper of the own process needs leave to attach (Yama lets only ancestors by default).
    if (pid == ::getpid())
        ::prctl(PR_SET_PTRACER, child, 0, 0, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(5000);
    while (::waitpid(child, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            break; // it goes on alone; the process does not wait longer
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (pid == ::getpid())
        ::prctl(PR_SET_PTRACER, 0, 0, 0, 0);
}

void terminateOtherHostProcesses()
{
    for (pid_t pid : ulx::hostprocesses::list()) {
        if (pid != ::getpid())
            ::kill(pid, SIGKILL);
    }
}

bool KDiagnostics::createAndSendDumpNoRecord(void *)
{
    dumpProcess(::getpid());
    return true;
}
