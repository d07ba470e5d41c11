// kcrashdumper -pid=<id> [-tid=0 -exp=0 -callfrom=0] [-upload=0|1]
//
// Writes a dump of one of our user's ulxcloudsvr processes (of this runtime
// directory) to $XDG_STATE_HOME/ulxcloudsvr/dumps/<time>-<pid>/ (directory 0700,
// files 0600): thread stacks from eu-stack and /proc data, or with [Diagnostics]
// DumpMode=core a full core through gdb's gcore. The dump is assembled under a
// temporary name and renamed when complete, so a reader never sees part of one.
// At most 5 dumps (and 512 MiB) are kept, oldest removed first, checked again once
// the new dump's size is known; a core that alone is over the bytes is removed (the
// rest of its dump stays); nothing but the dumper's own directories is touched. With
// -upload=1 the stacks are posted to [Servers] CrashUploadSvr, at most once per
// UploadIntervalSec. Prints the dump's directory on success; exit 0 on success,
// 2 for bad arguments, 3 for a process that is not ours to dump, 4 for a write failure.

#include "platform/xdgpaths.h"
#include "reportcore/khostprocesses.h"
#include "suite/crashdumper/kdumpstore.h"
#include "suite/krt.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <curl/curl.h>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr qint64 UploadIntervalSec = 3600;
const QFileDevice::Permissions FileMode = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
const QFileDevice::Permissions DirMode = FileMode | QFileDevice::ExeOwner;

int fail(int code, const QString &message)
{
    std::fprintf(stderr, "kcrashdumper: %s\n", qPrintable(message));
    return code;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    f.setPermissions(FileMode);
    return f.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Runs a tool with an argument vector; its output, or why it could not run.
QByteArray run(const QString &program, const QStringList &args, int timeoutMs, bool *ok)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted(5000)) {
        *ok = false;
        return program.toUtf8() + " could not be started: " + p.errorString().toUtf8() + '\n';
    }
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(2000);
        *ok = false;
        return p.readAll() + program.toUtf8() + " did not finish in time\n";
    }
    *ok = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return p.readAll();
}

size_t discard(char *, size_t size, size_t n, void *)
{
    return size * n;
}

void upload(const QString &root, const QString &dumpDir, pid_t pid)
{
    const QByteArray url = krt::serverinfo::crashUploadSvr().toUtf8();
    if (!url.startsWith("http://") && !url.startsWith("https://"))
        return;
    const QString stamp = root + QStringLiteral("/.last-upload");
    const QFileInfo last(stamp);
    if (last.exists() && last.lastModified().secsTo(QDateTime::currentDateTime()) < UploadIntervalSec)
        return; // rate limit: one upload an hour
    writeFile(stamp, QByteArray::number(QDateTime::currentSecsSinceEpoch()));

    const QByteArray body = readFile(dumpDir + QStringLiteral("/stacks.txt"));
    const QByteArray target = url + (url.contains('?') ? "&" : "?") + "pid=" + QByteArray::number(pid) + "&name="
                              + QFileInfo(dumpDir).fileName().toUtf8();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL *curl = curl_easy_init();
    if (!curl)
        return;
    curl_easy_setopt(curl, CURLOPT_URL, target.constData());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.constData());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, long(body.size()));
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &discard);
    const QByteArray ca = krt::serverinfo::caFile().toLocal8Bit();
    if (!ca.isEmpty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, ca.constData());
    curl_easy_perform(curl);
    curl_easy_cleanup(curl);
}

} // namespace

int main(int argc, char **argv)
{
    pid_t pid = 0;
    bool doUpload = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a(argv[i]);
        if (a.startsWith("-pid="))
            pid = pid_t(a.mid(5).toInt());
        else if (a.startsWith("-upload="))
            doUpload = a.mid(8) == "1";
        else if (!a.startsWith("-tid=") && !a.startsWith("-exp=") && !a.startsWith("-callfrom="))
            return fail(2, QStringLiteral("unknown argument %1").arg(QString::fromLocal8Bit(a)));
    }
    if (pid <= 0)
        return fail(2, QStringLiteral("no -pid="));
    // Only our user's service of this runtime directory: checked before anything attaches.
    if (!ulx::hostprocesses::isServiceProcess(pid))
        return fail(3, QStringLiteral("process %1 is not this user's ulxcloudsvr").arg(pid));

    const QString root = ulx::paths::stateDir() + QStringLiteral("/dumps");
    if (!ulx::paths::ensureDir(root))
        return fail(4, QStringLiteral("cannot create %1").arg(root));
    QFile::setPermissions(root, DirMode);
    ulx::dumpstore::prepare(root);

    const QString name = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"))
                         + QStringLiteral("-%1").arg(pid);
    const QString partial = root + QStringLiteral("/.partial-") + name;
    if (!QDir().mkpath(partial))
        return fail(4, QStringLiteral("cannot create %1").arg(partial));
    QFile::setPermissions(partial, DirMode);

    const QString proc = QStringLiteral("/proc/%1/").arg(pid);
    bool ok = true;
    for (const char *file : {"status", "stat", "maps", "wchan", "limits"})
        ok &= writeFile(partial + QLatin1Char('/') + QLatin1String(file), readFile(proc + QLatin1String(file)));
    ok &= writeFile(partial + QStringLiteral("/cmdline"), readFile(proc + QStringLiteral("cmdline")).replace('\0', ' '));
    QByteArray threads;
    for (const QString &tid : QDir(proc + QStringLiteral("task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        threads += tid.toUtf8() + ' ' + readFile(proc + QStringLiteral("task/") + tid + QStringLiteral("/comm"));
    ok &= writeFile(partial + QStringLiteral("/threads.txt"), threads);

    // The stacks of every thread, symbolised; a process being attached by someone else is tried again.
    bool stacksOk = false;
    QByteArray stacks = run(QStringLiteral("eu-stack"), {QStringLiteral("-p"), QString::number(pid)}, 15000, &stacksOk);
    if (!stacksOk) {
        QThread::msleep(200);
        stacks = run(QStringLiteral("eu-stack"), {QStringLiteral("-p"), QString::number(pid)}, 15000, &stacksOk);
    }
    ok &= writeFile(partial + QStringLiteral("/stacks.txt"), stacks);

    if (krt::diagnostics::dumpMode() == QLatin1String("core")) {
        bool coreOk = false;
        const QByteArray out = run(QStringLiteral("gcore"),
                                   {QStringLiteral("-o"), partial + QStringLiteral("/core"), QString::number(pid)},
                                   120000, &coreOk);
        writeFile(partial + QStringLiteral("/gcore.txt"), out);
        for (const QFileInfo &fi : QDir(partial).entryInfoList({QStringLiteral("core*")}, QDir::Files))
            QFile::setPermissions(fi.filePath(), FileMode);
    }

    const QString final = root + QLatin1Char('/') + name;
    if (!ok || ::rename(QFile::encodeName(partial).constData(), QFile::encodeName(final).constData()) != 0) {
        QDir(partial).removeRecursively();
        return fail(4, QStringLiteral("could not write the dump of %1").arg(pid));
    }
    ulx::dumpstore::settle(root, name);
    std::printf("%s\n", qPrintable(final));
    std::fflush(stdout);
    if (doUpload)
        upload(root, final, pid);
    return 0;
}
