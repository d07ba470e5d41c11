#include "suite/kxstartup.h"

#include "platform/cmdline/winargv.h"
#include "suite/krt.h"
#include "suite/kxlogger.h"

#include <QProcess>

KxStartup::KxStartup(const QString &name, int whenNoFiles, bool createProcessForDocuments)
    : m_name(name)
    , m_whenNoFiles(whenNoFiles)
    , m_createProcessForDocuments(createProcessForDocuments)
{
}

KxStartup::~KxStartup() = default;

bool KxStartup::processUpdate(void *)
{
    return !krt::updateProgramPath().isEmpty();
}

bool KxStartup::exeUpdate(const QString &program, const QString &cmdline, bool wait)
{
    const QString path = krt::updateProgramPath();
    if (path.isEmpty()) {
        KxLogger::writeWarning(QStringLiteral("KxStartup"),
                               QStringLiteral("KxStartup::exeUpdate no update program for %1").arg(program));
        return false;
    }
    // The line holds arguments only: put a program name in front so that the
    // first argument is read by the argument rules, not the program-path rule.
    const QStringList arguments = ulx::winargv::splitCommandLine(QStringLiteral("ulxupdate ") + cmdline).mid(1);
    if (!wait)
        return QProcess::startDetached(path, arguments);
    QProcess process;
    process.start(path, arguments);
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool KxStartup::isNeedCreateNewProgress()
{
    return m_createProcessForDocuments;
}

void KxStartup::beforeCreateNewProgress() {}
void KxStartup::afterCreateNewProgress() {}
void KxStartup::onNoFilesToOpen() {}
