#include "suite/kxlogger.h"

#include "platform/xdgpaths.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 DefaultMaxBytes = 8 * 1024 * 1024;

const char *levelName(int level)
{
    switch (level) {
    case KxLogger::LevelFixed: return "FIXED";
    case KxLogger::LevelInfo: return "INFO";
    case KxLogger::LevelWarning: return "WARNING";
    case KxLogger::LevelError: return "ERROR";
    case KxLogger::LevelFatal: return "FATAL";
    default: return "LOG";
    }
}

int retryOpen(const QByteArray &path, int flags, mode_t mode = 0600)
{
    int fd;
    do {
        fd = ::open(path.constData(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

class LogFile
{
public:
    static LogFile &instance()
    {
        // Never destroyed: worker threads may still log while statics are torn down.
        static LogFile *file = new LogFile;
        return *file;
    }

    QString path() const { return QString::fromLocal8Bit(m_path); }

    void append(const QByteArray &line)
    {
        QMutexLocker lock(&m_mutex);
        if (!followCurrentFile())
            return;
        struct stat st{};
        if (::fstat(m_fd, &st) == 0 && st.st_size + line.size() > m_maxBytes && st.st_size > 0) {
            rotate();
            if (!followCurrentFile())
                return;
        }
        writeAll(line);
    }

    // Every line is handed to the system by its own write(2), so nothing waits
    // in the process; what remains is a line another thread is writing now.
    void finishPendingLine()
    {
        QMutexLocker lock(&m_mutex);
    }

private:
    LogFile()
    {
        const QString dir = ulx::paths::stateDir();
        ulx::paths::ensureDir(dir);
        m_path = QFile::encodeName(dir + QStringLiteral("/ulxcloudsvr.log"));
        m_lockPath = m_path + ".lock";
        bool ok = false;
        const qint64 max = qEnvironmentVariable("ULX_LOG_MAX_BYTES").toLongLong(&ok);
        m_maxBytes = ok && max > 0 ? max : DefaultMaxBytes;
    }

    // Keeps m_fd on the file that is the log now: another process may have
    // rotated it away since our last line.
    bool followCurrentFile()
    {
        struct stat onDisk{};
        struct stat ours{};
        if (m_fd >= 0 && ::stat(m_path.constData(), &onDisk) == 0 && ::fstat(m_fd, &ours) == 0
            && onDisk.st_ino == ours.st_ino && onDisk.st_dev == ours.st_dev)
            return true;
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = retryOpen(m_path, O_WRONLY | O_APPEND | O_CREAT);
        if (m_fd < 0 && errno == ENOENT) {
            // The state directory was removed under us: make it again.
            ulx::paths::ensureDir(QFileInfo(QFile::decodeName(m_path)).absolutePath());
            m_fd = retryOpen(m_path, O_WRONLY | O_APPEND | O_CREAT);
        }
        return m_fd >= 0;
    }

    // Shifts log -> .1 -> .2 -> .3 (the oldest is dropped). Serialised across
    // processes; the one that finds the log already rotated does nothing.
    void rotate()
    {
        const int lockFd = retryOpen(m_lockPath, O_RDWR | O_CREAT);
        if (lockFd < 0)
            return;
        while (::flock(lockFd, LOCK_EX) < 0 && errno == EINTR) {}
        struct stat onDisk{};
        struct stat ours{};
        if (::stat(m_path.constData(), &onDisk) == 0 && ::fstat(m_fd, &ours) == 0
            && onDisk.st_ino == ours.st_ino && onDisk.st_dev == ours.st_dev) {
            for (int i = KxLogger::RotatedFiles - 1; i >= 1; --i) {
                const QByteArray from = m_path + '.' + QByteArray::number(i);
                const QByteArray to = m_path + '.' + QByteArray::number(i + 1);
                ::rename(from.constData(), to.constData());
            }
            ::rename(m_path.constData(), (m_path + ".1").constData());
        }
        ::flock(lockFd, LOCK_UN);
        ::close(lockFd);
    }

    void writeAll(const QByteArray &line)
    {
        const char *p = line.constData();
        qsizetype left = line.size();
        while (left > 0) {
            const ssize_t n = ::write(m_fd, p, size_t(left));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            p += n;
            left -= n;
        }
    }

    QMutex m_mutex;
    QByteArray m_path;
    QByteArray m_lockPath;
    qint64 m_maxBytes = DefaultMaxBytes;
    int m_fd = -1;
};

QByteArray formatLine(int level, const QString &category, const QString &message)
{
    QString text = message;
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    text.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    QByteArray line = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toLatin1();
    line += ' ';
    line += QByteArray::number(::getpid());
    line += ' ';
    line += levelName(level);
    line += ' ';
    line += category.toUtf8();
    line += ' ';
    line += text.toUtf8();
    line += '\n';
    return line;
}

} // namespace

void KxLogger::writeMsg(int level, const QString &category, const QString &message)
{
    LogFile::instance().append(formatLine(level, category, message));
}

void KxLogger::writeInfo(const QString &category, const QString &message)
{
    writeMsg(LevelInfo, category, message);
}

void KxLogger::writeWarning(const QString &category, const QString &message)
{
    writeMsg(LevelWarning, category, message);
}

void KxLogger::writeError(const QString &category, const QString &message)
{
    writeMsg(LevelError, category, message);
}

void KxLogger::writeFatal(const QString &category, const QString &message)
{
    writeMsg(LevelFatal, category, message);
}

void KxLogger::onAboutToQuit()
{
    LogFile::instance().finishPendingLine();
}

QString KxLogger::logFilePath()
{
    return LogFile::instance().path();
}
