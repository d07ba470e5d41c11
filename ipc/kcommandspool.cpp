#include "ipc/kcommandspool.h"

#include "platform/atomicfile.h"
#include "platform/xdgpaths.h"
#include "suite/kxlogger.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <unistd.h>

namespace {

const QString LogCategory = QStringLiteral("KCommandSpool");
const QString Suffix = QStringLiteral(".cmds");
// Far above what a process can hold (a line is at most 2047 code units): a
// larger file was not written by us.
constexpr qint64 MaxSpoolBytes = 64LL << 20;

std::atomic<int> g_sequence{0};

bool ensureDirectory(const QString &path, QString *error)
{
    if (!QDir().mkpath(path)) {
        if (error)
            *error = QStringLiteral("cannot create %1").arg(path);
        return false;
    }
    // Command lines are the user's own: nobody else reads them.
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return true;
}

// The lines of one spool file; nothing when it is not one.
std::optional<QStringList> parse(const QByteArray &bytes)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject root = doc.object();
    if (root.value(QStringLiteral("version")).toInt() != 1 || !root.value(QStringLiteral("lines")).isArray())
        return std::nullopt;
    QStringList lines;
    for (const QJsonValue &v : root.value(QStringLiteral("lines")).toArray()) {
        if (!v.isString())
            return std::nullopt;
        lines << v.toString();
    }
    return lines;
}

} // namespace

namespace ulx::commandspool {

QString directory()
{
    return ulx::paths::stateDir() + QStringLiteral("/commands");
}

bool store(const QStringList &lines, QString *error)
{
    if (lines.isEmpty())
        return true;
    const QString dir = directory();
    if (!ensureDirectory(dir, error))
        return false;
    const QString name = QStringLiteral("%1-%2-%3")
                             .arg(QDateTime::currentMSecsSinceEpoch(), 13, 10, QLatin1Char('0'))
                             .arg(::getpid())
                             .arg(g_sequence.fetch_add(1), 6, 10, QLatin1Char('0'));
    const QJsonObject root{{QStringLiteral("version"), 1}, {QStringLiteral("lines"), QJsonArray::fromStringList(lines)}};
    const QString path = dir + QLatin1Char('/') + name + Suffix;
    const auto mode = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    return ulx::files::writeAtomically(path, QJsonDocument(root).toJson(QJsonDocument::Compact), mode, error);
}

QStringList takeAll()
{
    const QDir dir(directory());
    const QStringList names = dir.entryList({QStringLiteral("*") + Suffix}, QDir::Files | QDir::NoSymLinks | QDir::Hidden,
                                      QDir::Name);
    QStringList out;
    for (const QString &name : std::as_const(names)) {
        QFile file(dir.filePath(name));
        if (file.size() > MaxSpoolBytes || !file.open(QIODevice::ReadOnly)) {
            KxLogger::writeWarning(LogCategory, QStringLiteral("KCommandSpool::take %1 cannot be read (%2 bytes), "
                                                               "kept as .damaged")
                                                    .arg(file.fileName())
                                                    .arg(file.size()));
            QFile::rename(file.fileName(), file.fileName() + QStringLiteral(".damaged"));
            continue;
        }
        const std::optional<QStringList> lines = parse(file.readAll());
        file.close();
        if (!lines) {
            KxLogger::writeWarning(LogCategory,
                                   QStringLiteral("KCommandSpool::take %1 is no command spool, kept as .damaged").arg(file.fileName()));
            QFile::rename(file.fileName(), file.fileName() + QStringLiteral(".damaged"));
            continue;
        }
        // Removed before its lines run: a line runs at most once, even if this
        // process ends before it gets to them (it spools them again then).
        if (!file.remove()) {
            KxLogger::writeWarning(LogCategory, QStringLiteral("KCommandSpool::take %1 cannot be removed (%2); its lines "
                                                               "wait")
                                                    .arg(file.fileName(), file.errorString()));
            continue;
        }
        out << *lines;
    }
    return out;
}

} // namespace ulx::commandspool

void KCommandInbox::push(const QString &line)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_closed) {
            m_lines.push_back(line);
            return;
        }
    }
    // The process is ending: the line goes straight to the next serving process.
    QString error;
    if (ulx::commandspool::store({line}, &error))
        KxLogger::writeInfo(LogCategory, QStringLiteral("KCommandSpool::push 1 acknowledged command line handed on to "
                                                        "the next serving process"));
    else
        KxLogger::writeError(LogCategory, QStringLiteral("KCommandSpool::push acknowledged command line lost (%1): %2")
                                              .arg(error, line));
}

std::optional<QString> KCommandInbox::take()
{
    std::lock_guard lock(m_mutex);
    if (m_closed || m_lines.empty())
        return std::nullopt;
    QString line = std::move(m_lines.front());
    m_lines.pop_front();
    return line;
}

QStringList KCommandInbox::close()
{
    std::lock_guard lock(m_mutex);
    m_closed = true;
    QStringList out(m_lines.begin(), m_lines.end());
    m_lines.clear();
    return out;
}

int KCommandInbox::closeAndSpool()
{
    const QStringList lines = close();
    if (lines.isEmpty())
        return 0;
    QString error;
    if (!ulx::commandspool::store(lines, &error)) {
        KxLogger::writeError(LogCategory, QStringLiteral("KCommandSpool::store %1 acknowledged command line(s) lost "
                                                         "(%2): %3")
                                              .arg(lines.size())
                                              .arg(error, lines.join(QStringLiteral(" | "))));
        return -1;
    }
    KxLogger::writeInfo(LogCategory, QStringLiteral("KCommandSpool::store %1 acknowledged command line(s) handed on "
                                                    "to the next serving process")
                                         .arg(lines.size()));
    return int(lines.size());
}
