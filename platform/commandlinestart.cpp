#include "platform/commandlinestart.h"

#include "platform/cmdline/winargv.h"

#include <QFile>

#include <cerrno>

namespace ulx::process {

QStringList commandLineArguments(const QString &commandLine)
{
    return ulx::winargv::splitCommandLine(commandLine);
}

DetachedStart startCommandLine(const QString &commandLine)
{
    const QStringList argv = commandLineArguments(commandLine);
    if (argv.isEmpty() || argv.first().isEmpty()) {
        DetachedStart none;
        none.error = ENOENT;
        return none;
    }
    std::vector<std::string> arguments;
    arguments.reserve(std::size_t(argv.size() - 1));
    for (qsizetype i = 1; i < argv.size(); ++i)
        arguments.push_back(QFile::encodeName(argv.at(i)).toStdString());
    return startDetached(QFile::encodeName(argv.first()).toStdString(), arguments);
}

} // namespace ulx::process
