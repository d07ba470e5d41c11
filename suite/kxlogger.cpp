#include "suite/kxlogger.h"

#include "platform/filelock.h"
#include "platform/xdgpaths.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <cerrno>
#include <cstring>
#include <utility>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 DefaultMaxBytes = 8 * 1024 * 1024;
// Past this many characters (after escaping) a message is cut; the line says how long it was.
constexpr qsizetype MaxMessageChars = 4096;
constexpr qsizetype MaxCategoryChars = 128;

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
            const QByteArray failure = rotate();
            if (!followCurrentFile())
                return;
            // A log that cannot be rotated (its directory not writable, say) must
            // not fill the disk: past twice its bound it takes no more lines.
            if (!failure.isEmpty() && ::fstat(m_fd, &st) == 0 && st.st_size + line.size() > 2 * m_maxBytes) {
                reportFull(failure);
                return;
            }
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
    // Returns why the log could not be rotated; empty when it was (by anyone).
    QByteArray rotate()
    {
        const ulx::filelock::FileLock lock(QFile::decodeName(m_lockPath), ulx::filelock::Kind::Flock);
        if (!lock.isLocked())
            return m_lockPath + ": " + std::strerror(errno);
        struct stat onDisk{};
        struct stat ours{};
        if (::stat(m_path.constData(), &onDisk) != 0 || ::fstat(m_fd, &ours) != 0 || onDisk.st_ino != ours.st_ino
            || onDisk.st_dev != ours.st_dev)
            return QByteArray();
        for (int i = KxLogger::RotatedFiles - 1; i >= 1; --i) {
            const QByteArray from = m_path + '.' + QByteArray::number(i);
            const QByteArray to = m_path + '.' + QByteArray::number(i + 1);
            ::rename(from.constData(), to.constData());
        }
        if (::rename(m_path.constData(), (m_path + ".1").constData()) != 0)
            return m_path + ".1: " + std::strerror(errno);
        return QByteArray();
    }

    // Said once per process, on stderr: the log itself is what failed.
    void reportFull(const QByteArray &failure)
    {
        if (std::exchange(m_reportedFull, true))
            return;
        const QByteArray text = "ulxcloudsvr: the log " + m_path + " cannot be rotated (" + failure
            + ") and has reached its limit of " + QByteArray::number(2 * m_maxBytes)
            + " bytes; further lines are dropped until it can be rotated\n";
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text.constData(), size_t(text.size()));
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
    bool m_reportedFull = false;
};

// `text` with every control character and backslash escaped, so that a line is
// one line, reads the same to every reader and cannot drive a terminal that
// shows it: \\ \n \r \t, \xHH for the other C0 controls and DEL, \uHHHH for C1
// controls and unpaired surrogates. Stops after `limit` characters of output and
// then notes the length of the whole text.
QString escaped(const QString &text, qsizetype limit)
{
    QString out;
    out.reserve(qMin(text.size(), limit) + 8);
    qsizetype i = 0;
    for (; i < text.size() && out.size() < limit; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c == u'\\') {
            out += QLatin1String("\\\\");
        } else if (c == u'\n') {
            out += QLatin1String("\\n");
        } else if (c == u'\r') {
            out += QLatin1String("\\r");
        } else if (c == u'\t') {
            out += QLatin1String("\\t");
        } else if (c < 0x20 || c == 0x7f) {
            out += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        } else if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            out += text.at(i);
            out += text.at(++i);
        } else if ((c >= 0x80 && c < 0xa0) || QChar::isSurrogate(c)) {
            out += QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
        } else {
            out += QChar(c);
        }
    }
    if (i < text.size())
        out += QStringLiteral(" [... cut, %1 characters in all]").arg(text.size());
    return out;
}

QByteArray formatLine(int level, const QString &category, const QString &message)
{
    QByteArray line = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toLatin1();
    line += ' ';
    line += QByteArray::number(::getpid());
    line += ' ';
    line += levelName(level);
    line += ' ';
    line += escaped(category, MaxCategoryChars).toUtf8();
    line += ' ';
    line += escaped(message, MaxMessageChars).toUtf8();
    line += '\n';
    return line;
}

// Messages of Qt's logging reach the log too: the service's own categories
// ("ulx.*", the settings store's warnings among them) at every level, and Qt's
// warnings and worse. Each message still goes to the handler before us (stderr).
QtMessageHandler g_previousHandler = nullptr;

void forwardQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    static thread_local bool inside = false; // the logger itself may make Qt warn
    const char *category = context.category ? context.category : "default";
    const bool ours = qstrncmp(category, "ulx.", 4) == 0;
    if (!inside && (ours || (type != QtDebugMsg && type != QtInfoMsg))) {
        inside = true;
        const int level = type == QtWarningMsg ? KxLogger::LevelWarning
            : type == QtCriticalMsg            ? KxLogger::LevelError
            : type == QtFatalMsg               ? KxLogger::LevelFatal
                                               : KxLogger::LevelInfo;
        KxLogger::writeMsg(level, QString::fromUtf8(category), message);
        inside = false;
    }
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

// Installed when the suite library is loaded, before any code of the service runs.
const bool g_forwarding = [] {
    g_previousHandler = qInstallMessageHandler(forwardQtMessage);
    return true;
}();

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
