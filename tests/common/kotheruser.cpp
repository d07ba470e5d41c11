#include "tests/common/kotheruser.h"

#include "tests/common/testenv.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QThread>

#include <pwd.h>
#include <unistd.h>

namespace ktest {
namespace {

// useradd and userdel fail while another program holds the password files' lock.
bool runAdmin(const QString &program, const QStringList &arguments)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(program, arguments);
        if (p.waitForFinished(KTestEnv::scaled(30000)) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
            return true;
        QThread::msleep(100);
    }
    return false;
}

} // namespace

KOtherUser::KOtherUser()
{
    if (::geteuid() != 0) {
        m_unavailable = QStringLiteral("needs root to make a throwaway user");
        return;
    }
    static QAtomicInt serial;
    m_name = QStringLiteral("ulxt%1x%2").arg(QCoreApplication::applicationPid()).arg(serial.fetchAndAddRelaxed(1));
    if (!runAdmin(QStringLiteral("useradd"), {QStringLiteral("--system"), QStringLiteral("--no-create-home"),
                                              QStringLiteral("--shell"), QStringLiteral("/usr/sbin/nologin"),
                                              QStringLiteral("--user-group"), m_name})) {
        m_unavailable = QStringLiteral("useradd %1 failed").arg(m_name);
        m_name.clear();
        return;
    }
    const struct passwd *pw = ::getpwnam(m_name.toLocal8Bit().constData());
    if (!pw) {
        m_unavailable = QStringLiteral("%1 made but not found").arg(m_name);
        return;
    }
    m_uid = pw->pw_uid;
    m_gid = pw->pw_gid;
}

KOtherUser::~KOtherUser()
{
    if (!m_name.isEmpty())
        runAdmin(QStringLiteral("userdel"), {m_name});
}

void KOtherUser::start(QProcess &process, const QString &program, const QStringList &arguments) const
{
    process.start(QStringLiteral("setpriv"), QStringList{QStringLiteral("--reuid=%1").arg(m_uid),
                                                         QStringLiteral("--regid=%1").arg(m_gid),
                                                         QStringLiteral("--clear-groups"), QStringLiteral("--"), program}
                                                 + arguments);
}

bool KOtherUser::sh(const QString &script, int ms) const
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    start(p, QStringLiteral("sh"), {QStringLiteral("-ec"), script});
    return p.waitForFinished(KTestEnv::scaled(ms)) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool KOtherUser::holdLock(QProcess &holder, const QString &path) const
{
    start(holder, QStringLiteral("flock"), {path, QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral("echo held; read line")});
    return holder.waitForReadyRead(KTestEnv::scaled(10000)) && holder.readLine().trimmed() == "held";
}

} // namespace ktest
