#include "apprunner/kappini.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace ulx::appini {
namespace {

// The value of `key` ("Group/Key" as QSettings names it) as written in the file:
// QSettings would read a '\' as an escape and a ',' as a list separator.
QString rawIniValue(const QString &path, const QString &key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    QString group;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            group = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (line.startsWith(QLatin1Char(';')) || eq <= 0)
            continue;
        const QString name = line.left(eq).trimmed();
        const QString full = group.isEmpty() || group.compare(QLatin1String("General"), Qt::CaseInsensitive) == 0
            ? name
            : group + QLatin1Char('/') + name;
        if (full.compare(key, Qt::CaseInsensitive) != 0)
            continue;
        QString value = line.mid(eq + 1).trimmed();
        if (value.startsWith(QLatin1Char('"'))) {
            const qsizetype end = value.indexOf(QLatin1Char('"'), 1);
            return end < 0 ? value.mid(1) : value.mid(1, end - 1);
        }
        const qsizetype comment = value.indexOf(QLatin1Char(';'));
        return (comment < 0 ? value : value.left(comment)).trimmed();
    }
    return QString();
}

} // namespace

QString readEntry(const QString &iniPath)
{
    if (!QFileInfo(iniPath).isFile())
        return QString();
    const QSettings ini(iniPath, QSettings::IniFormat);
    QString key;
    const QStringList keys = ini.allKeys();
    for (const QString &k : keys) {
        if (k.compare(QLatin1String("runinfo/entry"), Qt::CaseInsensitive) == 0) {
            key = k;
            break;
        }
    }
    if (key.isEmpty())
        return QString();
    QString value = rawIniValue(iniPath, key);
    if (value.isEmpty())
        value = ini.value(key).toString();
    value.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return value.trimmed();
}

} // namespace ulx::appini
