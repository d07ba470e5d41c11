// The host transport between real processes: election, crash safety, hand-over,
// time-outs, hostile peers, size limits and per-user safety.

#include "host/transport/khosttransport.h"
#include "host/transport/kratelimiter.h"
#include "host/transport/kwireformat.h"
#include "ipc/kmembuffer.h"
#include "tests/common/testenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr uid_t NobodyUid = 65534;
const char16_t Transmission[] = u"_TRANSMISSION_";

// One ulxhostpeer process and the lines of its standard output.
class Peer
{
public:
    Peer(const QStringList &args, const QProcessEnvironment &env, uid_t asUser = 0)
    {
        m_process.setProgram(KTestEnv::binPath(QStringLiteral("ulxhostpeer")));
        m_process.setArguments(args);
        m_process.setProcessEnvironment(env);
        if (asUser) {
            m_process.setChildProcessModifier([asUser] {
                if (::setgroups(0, nullptr) != 0 || ::setgid(asUser) != 0 || ::setuid(asUser) != 0)
                    ::_exit(99);
            });
        }
        m_process.start();
    }
    ~Peer()
    {
        if (m_process.state() != QProcess::NotRunning) {
            ::kill(pid_t(m_process.processId()), SIGCONT);
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    QProcess &process() { return m_process; }
    pid_t pid() const { return pid_t(m_process.processId()); }

    // The first line that `matches`, waiting up to `ms` for it; empty when none came.
    QString waitFor(const std::function<bool(const QString &)> &matches, int ms = 10000)
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            for (const QString &line : lines()) {
                if (matches(line))
                    return line;
            }
            const int left = ms - int(timer.elapsed());
            if (left <= 0 || m_process.state() == QProcess::NotRunning)
                return QString();
            m_process.waitForReadyRead(std::min(left, 50));
        }
    }
    QString waitLine(const QString &prefix, int ms = 10000)
    {
        return waitFor([&prefix](const QString &line) { return line.startsWith(prefix); }, ms);
    }
    // "server" or "client": the peer's election result (messages may come first).
    QString role(int ms = 10000)
    {
        return waitFor([](const QString &line) {
                   return line.startsWith(QLatin1String("server ")) || line.startsWith(QLatin1String("client "));
               }, ms).section(QLatin1Char(' '), 0, 0);
    }
    QStringList lines()
    {
        collect();
        return m_lines;
    }
    // The texts of the messages this server received.
    QStringList messages()
    {
        QStringList texts;
        for (const QString &line : lines()) {
            if (line.startsWith(QLatin1String("msg\t")))
                texts << line.section(QLatin1Char('\t'), 3);
        }
        return texts;
    }
    int finish(int ms = 10000)
    {
        if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(ms))
            return -1;
        collect();
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -2;
    }

private:
    void collect()
    {
        // Pull what the pipe holds into the process object without waiting.
        while (m_process.state() == QProcess::Running && m_process.waitForReadyRead(0)) {
        }
        m_partial += m_process.readAllStandardOutput();
        qsizetype end;
        while ((end = m_partial.indexOf('\n')) >= 0) {
            m_lines << QString::fromUtf8(m_partial.left(end));
            m_partial.remove(0, end + 1);
        }
    }

    QProcess m_process;
    QByteArray m_partial;
    QStringList m_lines;
};

// A message buffer whose size may lie beyond its area, as a faulty caller's might.
struct LooseBuffer final : IKMemBuffer
{
    BOOL STDMETHODCALLTYPE setSize(std::uint32_t bytes) override
    {
        if (bytes > Capacity)
            return 0;
        count = bytes;
        return 1;
    }
    std::uint32_t STDMETHODCALLTYPE size() override { return count; }
    void *STDMETHODCALLTYPE data() override { return area; }

    std::uint32_t count = 0;
    alignas(char16_t) unsigned char area[2 * Capacity] = {};
};

struct TimeoutRecord
{
    int calls = 0;
    std::thread::id thread;
    QString target;
    std::uintptr_t timeoutMs = 0;
};
TimeoutRecord g_timeout;

void STDMETHODCALLTYPE recordTimeout(void *, const char16_t *target, const char16_t *, std::uintptr_t timeoutMs)
{
    ++g_timeout.calls;
    g_timeout.thread = std::this_thread::get_id();
    g_timeout.target = QString::fromUtf16(target);
    g_timeout.timeoutMs = timeoutMs;
}

std::thread::id g_handlerThread;
// A handler that takes its time, recording when it starts and ends.
struct SlowCall
{
    std::atomic<bool> inside{false};
    std::atomic<bool> done{false};
};
void STDMETHODCALLTYPE replySlowly(void *context, const char16_t *, std::uintptr_t, IKMemBuffer *, IKMemBuffer *reply)
{
    auto *call = static_cast<SlowCall *>(context);
    call->inside = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    _KSimpleMemBuffer::setText(reply, QStringLiteral("ok"));
    call->done = true;
}

void STDMETHODCALLTYPE replyOk(void *, const char16_t *, std::uintptr_t, IKMemBuffer *, IKMemBuffer *reply)
{
    g_handlerThread = std::this_thread::get_id();
    _KSimpleMemBuffer::setText(reply, QStringLiteral("ok"));
}

// A client connection made by hand, for peers that break the protocol.
class RawClient
{
public:
    explicit RawClient(const QString &socketPath)
    {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address;
        std::memset(&address, 0, sizeof address);
        address.sun_family = AF_UNIX;
        const QByteArray path = socketPath.toLocal8Bit();
        std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~RawClient() { ::close(m_fd); }
    bool connected() const { return m_connected; }
    // Writes what the socket takes without blocking; a refusing server may close early.
    void write(const QByteArray &bytes)
    {
        ::send(m_fd, bytes.constData(), std::size_t(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    // True when the server closed the connection within `ms`.
    bool closedWithin(int ms)
    {
        QElapsedTimer timer;
        timer.start();
        char sink[4096];
        while (timer.elapsed() < ms) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) {
                const ssize_t n = ::recv(m_fd, sink, sizeof sink, MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN))
                    return true;
            }
        }
        return false;
    }

private:
    int m_fd = -1;
    bool m_connected = false;
};

QByteArray requestHeader(quint32 magic, quint16 nameBytes, quint32 payloadBytes)
{
    QByteArray h(12, '\0');
    qToLittleEndian<quint32>(magic, h.data());
    qToLittleEndian<quint16>(ulx::hostwire::Version, h.data() + 4);
    qToLittleEndian<quint16>(nameBytes, h.data() + 6);
    qToLittleEndian<quint32>(payloadBytes, h.data() + 8);
    return h;
}

QByteArray utf16(const QString &text)
{
    return QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
}

// The state letter of a process ("T" when stopped), from /proc.
QString processState(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return QString();
    const QString text = QString::fromLatin1(stat.readAll());
    return text.mid(text.lastIndexOf(QLatin1Char(')')) + 2, 1);
}

mode_t modeOf(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : mode_t(-1);
}

} // namespace

class TestHostTransport : public QObject
{
    Q_OBJECT

private:
    KTestEnv m_env;
    int m_channelCounter = 0;

    QString newChannel() { return QStringLiteral("Chan%1").arg(++m_channelCounter); }
    QString channelDir() const { return m_env.runtimeDir() + QStringLiteral("/ulxcloudsvr"); }
    QString socketOf(const QString &channel) const { return channelDir() + QLatin1Char('/') + channel + ".sock"; }

    std::unique_ptr<Peer> startServer(const QString &channel, const QStringList &extra = {})
    {
        auto peer = std::make_unique<Peer>(QStringList{QStringLiteral("serve"), channel} + extra, m_env.environment());
        if (peer->role() == QLatin1String("server"))
            return peer;
        qWarning() << "peer did not serve:" << peer->lines() << peer->process().readAllStandardError();
        return nullptr;
    }

    // Sends from this process; the reply text or a null string when not delivered.
    QString sendText(const QString &channel, const QString &text, int timeoutMs = 3000,
                     const char16_t *name = Transmission)
    {
        KHostTransport client(QStringLiteral("TestClient"));
        _KSimpleMemBuffer request(text);
        _KSimpleMemBuffer reply;
        if (!client.sendMessage(channel.toStdU16String().c_str(), name, &request, &reply, timeoutMs, recordTimeout))
            return QString();
        return _KSimpleMemBuffer::text(&reply);
    }

    // Ends a server through its "quit" message; its refusal count.
    int quit(Peer &server)
    {
        if (sendText(server.process().arguments().value(1), QStringLiteral("quit")) != QLatin1String("ok"))
            return -1;
        const QString line = server.waitLine(QStringLiteral("refused "));
        server.finish();
        return line.isEmpty() ? -1 : line.section(QLatin1Char(' '), 1).toInt();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_env.isValid());
        QVERIFY2(QFileInfo(KTestEnv::binPath(QStringLiteral("ulxhostpeer"))).isExecutable(), "ulxhostpeer not built");
    }
    void init() { g_timeout = TimeoutRecord(); }

    void fiftyPeersElectOneServer()
    {
        const QString channel = newChannel();
        QElapsedTimer timer;
        timer.start();
        std::vector<std::unique_ptr<Peer>> peers;
        for (int i = 0; i < 50; ++i)
            peers.push_back(std::make_unique<Peer>(
                QStringList{QStringLiteral("start"), channel, QStringLiteral("payload-%1").arg(i), "--timeout", "30000"},
                m_env.environment()));
        Peer *server = nullptr;
        int servers = 0;
        for (auto &peer : peers) {
            const QString role = peer->role(30000);
            QVERIFY2(role == QLatin1String("server") || role == QLatin1String("client"),
                     qPrintable(peer->lines().join(QLatin1Char('|'))));
            if (role == QLatin1String("server")) {
                ++servers;
                server = peer.get();
            }
        }
        QCOMPARE(servers, 1);
        for (auto &peer : peers) {
            if (peer.get() == server)
                continue;
            const int exitCode = peer->finish(30000);
            QVERIFY2(exitCode == 0, qPrintable(QStringLiteral("exit %1: %2").arg(exitCode).arg(
                                        QString::fromLocal8Bit(peer->process().readAllStandardError()))));
            QCOMPARE(peer->waitLine(QStringLiteral("reply ")), QStringLiteral("reply ok"));
        }
        QTRY_COMPARE_WITH_TIMEOUT(server->messages().size(), 50, 10000);
        const qint64 elapsed = timer.elapsed();
        QStringList received = server->messages();
        received.sort();
        received.removeDuplicates();
        QCOMPARE(received.size(), 50); // each payload once, none twice
        for (int i = 0; i < 50; ++i)
            QVERIFY(received.contains(QStringLiteral("payload-%1").arg(i)));
        for (const QString &line : server->lines()) {
            if (line.startsWith(QLatin1String("msg\t")))
                QCOMPARE(line.section(QLatin1Char('\t'), 2, 2), QStringLiteral("receiver"));
        }
        QCOMPARE(quit(*server), 0);
        qInfo("50 peers: one server, 50 messages received in %lld ms", elapsed);
    }

    void handlerRunsOnReceiveThread()
    {
        const QString channel = newChannel();
        KHostTransport host(channel);
        QVERIFY(host.isChannelServer());
        QVERIFY(host.isChannelServer()); // a later call answers the same
        host.registerReceiver(Transmission, nullptr, replyOk);
        g_handlerThread = std::thread::id();

        QCOMPARE(sendText(channel, QStringLiteral("to myself")), QStringLiteral("ok"));
        QVERIFY(g_handlerThread != std::thread::id());
        QVERIFY(g_handlerThread != std::this_thread::get_id());

        // No receiver for the name: answered "error", 12 bytes with the terminator.
        _KSimpleMemBuffer request(QStringLiteral("x"));
        _KSimpleMemBuffer reply;
        QVERIFY(host.sendMessage(channel.toStdU16String().c_str(), u"other", &request, &reply, 3000, nullptr));
        QCOMPARE(_KSimpleMemBuffer::text(&reply), QStringLiteral("error"));
        QCOMPARE(reply.size(), 12u);
    }

    // The service withdraws its receiver before it destroys the receiver's
    // context: a call already running on the receive thread must be over by then.
    void withdrawingWaitsForARunningCall()
    {
        const QString channel = newChannel();
        KHostTransport host(channel);
        QVERIFY(host.isChannelServer());
        auto call = std::make_unique<SlowCall>();
        host.registerReceiver(Transmission, call.get(), replySlowly);
        std::thread sender([&] { sendText(channel, QStringLiteral("slow")); });
        QTRY_VERIFY_WITH_TIMEOUT(call->inside.load(), 5000);
        host.registerReceiver(Transmission, nullptr, nullptr);
        QVERIFY(call->done.load());
        sender.join();
        // Withdrawn: later messages are answered "error" and never reach the old context.
        call.reset();
        QCOMPARE(sendText(channel, QStringLiteral("late")), QStringLiteral("error"));
    }

    void earlyPeersWaitForTheFirstReceiver()
    {
        const QString channel = newChannel();
        KHostTransport host(channel);
        QVERIFY(host.isChannelServer());
        Peer sender({QStringLiteral("send"), channel, QStringLiteral("_TRANSMISSION_"), QStringLiteral("early")},
                    m_env.environment());
        QTest::qWait(200); // connected and waiting in the backlog, not answered "error"
        QCOMPARE(sender.process().state(), QProcess::Running);
        host.registerReceiver(Transmission, nullptr, replyOk);
        QCOMPARE(sender.finish(), 0);
        QCOMPARE(sender.waitLine(QStringLiteral("reply ")), QStringLiteral("reply ok"));
    }

    void killedServerIsReplacedAtOnce()
    {
        const QString channel = newChannel();
        auto first = startServer(channel);
        QVERIFY(first);
        ::kill(first->pid(), SIGKILL);
        first->finish();
        QVERIFY(QFileInfo::exists(socketOf(channel))); // left behind by the killed server

        QElapsedTimer timer;
        timer.start();
        QVERIFY(sendText(channel, QStringLiteral("to the dead"), 5000).isNull());
        const qint64 deadSendUs = timer.nsecsElapsed() / 1000;
        QVERIFY2(deadSendUs < 100000, qPrintable(QString::number(deadSendUs)));

        timer.restart();
        auto successor = startServer(channel);
        const qint64 successorMs = timer.elapsed();
        QVERIFY(successor);
        QCOMPARE(sendText(channel, QStringLiteral("hello")), QStringLiteral("ok"));
        QCOMPARE(successor->messages(), QStringList{QStringLiteral("hello")});
        ::kill(successor->pid(), SIGKILL);
        successor->finish();

        // The election alone, without a process start.
        timer.restart();
        KHostTransport inProcess(channel);
        QVERIFY(inProcess.isChannelServer());
        const qint64 electionUs = timer.nsecsElapsed() / 1000;
        QVERIFY2(electionUs < 100000, qPrintable(QString::number(electionUs)));
        QVERIFY2(successorMs < 3000, qPrintable(QString::number(successorMs)));
        qInfo("after SIGKILL: send to the dead channel failed in %lld us; successor process serving %lld ms after "
              "its start; in-process election %lld us",
              deadSendUs, successorMs, electionUs);
    }

    void unservedSendFailsAtOnce_data()
    {
        QTest::addColumn<QString>("leftovers");
        QTest::newRow("nothing ever served") << "none";
        QTest::newRow("files of a killed server") << "killed";
        QTest::newRow("hand-over file of an ended process") << "handover";
    }
    void unservedSendFailsAtOnce()
    {
        QFETCH(QString, leftovers);
        const QString channel = newChannel();
        if (leftovers != QLatin1String("none")) {
            auto server = startServer(channel);
            QVERIFY(server);
            if (leftovers == QLatin1String("handover")) {
                QCOMPARE(sendText(channel, QStringLiteral("release")), QStringLiteral("ok"));
                QVERIFY(!server->waitLine(QStringLiteral("released")).isEmpty());
                QVERIFY(QFileInfo::exists(channelDir() + QLatin1Char('/') + channel + ".handover"));
                server->process().terminate();
            } else {
                ::kill(server->pid(), SIGKILL);
            }
            server->finish();
        }
        QElapsedTimer timer;
        timer.start();
        QVERIFY(sendText(channel, QStringLiteral("anyone?"), 5000).isNull());
        const qint64 us = timer.nsecsElapsed() / 1000;
        QVERIFY2(us < 100000, qPrintable(QString::number(us)));
        QCOMPARE(g_timeout.calls, 0);

        Peer sender({QStringLiteral("send"), channel, QStringLiteral("_TRANSMISSION_"), QStringLiteral("x")},
                    m_env.environment());
        QCOMPARE(sender.finish(), 2);
        qInfo("unserved send failed after %lld us (peer: %s ms)", us,
              sender.process().readAllStandardError().trimmed().constData());
    }

    void handoverReachesTheSuccessor()
    {
        const QString channel = newChannel();
        auto old = startServer(channel);
        QVERIFY(old);
        QCOMPARE(sendText(channel, QStringLiteral("release")), QStringLiteral("ok"));
        QVERIFY(!old->waitLine(QStringLiteral("released")).isEmpty());

        Peer gapSender({QStringLiteral("send"), channel, QStringLiteral("_TRANSMISSION_"), QStringLiteral("in the gap"),
                        QStringLiteral("--timeout"), QStringLiteral("8000")},
                       m_env.environment());
        QTest::qWait(150); // nobody serves now; the sender must keep waiting
        QCOMPARE(gapSender.process().state(), QProcess::Running);

        QElapsedTimer sinceSuccessor;
        sinceSuccessor.start();
        auto successor = startServer(channel);
        QVERIFY(successor);
        QCOMPARE(old->process().state(), QProcess::Running);
        QCOMPARE(gapSender.finish(), 0);
        qInfo("message sent in the gap delivered %lld ms after the successor process was started",
              sinceSuccessor.elapsed());
        QTRY_COMPARE(successor->messages(), QStringList{QStringLiteral("in the gap")});
        QCOMPARE(old->messages(), QStringList{QStringLiteral("release")});

        // Successor gone, releasing process alive: a send waits for the next one, in vain.
        QCOMPARE(quit(*successor), 0);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(sendText(channel, QStringLiteral("late"), 300).isNull());
        QVERIFY(timer.elapsed() >= 250);
        QCOMPARE(g_timeout.calls, 0); // nobody served: not a time-out of a served channel

        // With the releasing process gone too, nobody is expected: fail at once.
        old->process().terminate();
        QCOMPARE(old->finish(), 0);
        timer.restart();
        QVERIFY(sendText(channel, QStringLiteral("later"), 5000).isNull());
        QVERIFY2(timer.elapsed() < 100, qPrintable(QString::number(timer.elapsed())));
    }

    void frozenServerTimesOut()
    {
        const QString channel = newChannel();
        auto server = startServer(channel);
        QVERIFY(server);
        ::kill(server->pid(), SIGSTOP);
        QTRY_COMPARE(processState(server->pid()), QStringLiteral("T")); // the signal takes effect asynchronously

        QElapsedTimer timer;
        timer.start();
        QVERIFY(sendText(channel, QStringLiteral("frozen-1"), 300).isNull());
        const qint64 ms = timer.elapsed();
        QCOMPARE(g_timeout.calls, 1);
        QCOMPARE(g_timeout.thread, std::this_thread::get_id());
        QCOMPARE(g_timeout.target, channel);
        QCOMPARE(g_timeout.timeoutMs, std::uintptr_t(300));
        QVERIFY2(ms >= 290 && ms < 1500, qPrintable(QString::number(ms)));

        Peer sender({QStringLiteral("send"), channel, QStringLiteral("_TRANSMISSION_"), QStringLiteral("frozen-2"),
                     QStringLiteral("--timeout"), QStringLiteral("300")},
                    m_env.environment());
        QCOMPARE(sender.finish(), 3);

        // Written before the time-out, so received once when the server thaws; never resent.
        ::kill(server->pid(), SIGCONT);
        QTRY_COMPARE(server->messages().size(), 2);
        QStringList received = server->messages();
        received.sort();
        QCOMPARE(received, (QStringList{QStringLiteral("frozen-1"), QStringLiteral("frozen-2")}));
        QCOMPARE(quit(*server), 0);
    }

    void misbehavingPeerDoesNotHoldUpOthers_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const quint32 magic = ulx::hostwire::RequestMagic;
        const QByteArray name = utf16(QStringLiteral("_TRANSMISSION_"));
        QTest::newRow("garbage") << QByteArray(64, char(0xab));
        QTest::newRow("header claims 1 MiB")
            << requestHeader(magic, quint16(name.size()), 1u << 20) + name + QByteArray(1000, 'x');
        QTest::newRow("5000 real bytes") << requestHeader(magic, quint16(name.size()), 5000) + name + QByteArray(5000, 'x');
        QTest::newRow("5000 bytes, no header") << QByteArray(5000, 'x');
        QTest::newRow("half a message, then silence")
            << requestHeader(magic, quint16(name.size()), 10) + name.left(name.size() / 2);
        QTest::newRow("name of 300 bytes") << requestHeader(magic, 300, 2) + QByteArray(302, 'a');
        QTest::newRow("NUL inside the name") << requestHeader(magic, 6, 0) + utf16(QStringLiteral("a")) + QByteArray(2, '\0')
                + utf16(QStringLiteral("b"));
        QTest::newRow("full area without terminator")
            << requestHeader(magic, quint16(name.size()), 4096) + name + utf16(QString(2048, QLatin1Char('x')));
        QTest::newRow("odd payload length") << requestHeader(magic, quint16(name.size()), 7) + name + QByteArray(7, 'x');
        QTest::newRow("unknown version") << requestHeader(magic, quint16(name.size()), 0).replace(4, 2, "\x09\x00", 2) + name;
    }
    void misbehavingPeerDoesNotHoldUpOthers()
    {
        QFETCH(QByteArray, bytes);
        const QString channel = newChannel();
        auto server = startServer(channel, {QStringLiteral("--deadline"), QStringLiteral("1500")});
        QVERIFY(server);
        RawClient bad(socketOf(channel));
        QVERIFY(bad.connected());
        bad.write(bytes);

        QElapsedTimer timer;
        timer.start();
        QCOMPARE(sendText(channel, QStringLiteral("meanwhile")), QStringLiteral("ok"));
        const qint64 ms = timer.elapsed();
        QVERIFY2(ms < 500, qPrintable(QString::number(ms))); // far below the bad peer's deadline
        QVERIFY(bad.closedWithin(4000));
        QCOMPARE(server->messages(), QStringList{QStringLiteral("meanwhile")});
        QCOMPARE(quit(*server), 1);
    }

    void connectionCapBoundsOpenSockets()
    {
        const QString channel = newChannel();
        auto server = startServer(channel, {"--max-conn", "4", "--deadline", "600"});
        QVERIFY(server);
        std::vector<std::unique_ptr<RawClient>> silent;
        for (int i = 0; i < 10; ++i) {
            silent.push_back(std::make_unique<RawClient>(socketOf(channel)));
            QVERIFY(silent.back()->connected()); // the backlog takes them all
        }
        const auto sockets = [&] {
            int count = 0;
            const QDir fds(QStringLiteral("/proc/%1/fd").arg(server->pid()));
            for (const QFileInfo &fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot))
                count += fd.symLinkTarget().contains(QLatin1String("socket:")) ? 1 : 0;
            return count;
        };
        QTRY_COMPARE(sockets(), 1 + 4); // the listener and four connections
        QTest::qWait(100);
        QCOMPARE(sockets(), 1 + 4);
        // Served once the silent ones have used up their deadline, a few slots at a time.
        QCOMPARE(sendText(channel, QStringLiteral("behind the crowd"), 8000), QStringLiteral("ok"));
        for (auto &client : silent)
            QVERIFY(client->closedWithin(3000));
        QCOMPARE(quit(*server), 10);
    }

    void messageSizeLimits_data()
    {
        QTest::addColumn<int>("units");       // text length in UTF-16 units
        QTest::addColumn<int>("claimedSize"); // the request's byte count (-1: text and terminator)
        QTest::addColumn<bool>("delivered");
        QTest::newRow("largest request, echoed in a full reply") << 2047 << -1 << true;
        QTest::newRow("empty request") << 0 << 0 << true;
        QTest::newRow("count 4098") << 2048 << 4098 << false;
        QTest::newRow("odd count") << 10 << 7 << false;
    }
    void messageSizeLimits()
    {
        QFETCH(int, units);
        QFETCH(int, claimedSize);
        QFETCH(bool, delivered);
        const QString channel = newChannel();
        auto server = startServer(channel);
        QVERIFY(server);
        const QString text(units, QLatin1Char('a'));
        LooseBuffer request;
        std::memcpy(request.area, text.utf16(), std::size_t(text.size() + 1) * 2);
        request.count = claimedSize < 0 ? std::uint32_t(text.size() + 1) * 2 : std::uint32_t(claimedSize);
        _KSimpleMemBuffer reply;

        KHostTransport client(QStringLiteral("TestClient"));
        QCOMPARE(bool(client.sendMessage(channel.toStdU16String().c_str(), u"echo", &request, &reply, 3000, nullptr)),
                 delivered);
        if (delivered) {
            QCOMPARE(_KSimpleMemBuffer::text(&reply), text);
            QCOMPARE(reply.size(), units ? std::uint32_t(units + 1) * 2 : 2u);
            QCOMPARE(server->messages(), QStringList{text});
        } else {
            QCOMPARE(reply.size(), 0u);
        }
        QCOMPARE(quit(*server), 0);
        QCOMPARE(server->messages().size(), delivered ? 2 : 1); // and "quit"
    }

    void oversizedReplyIsRejected()
    {
        // A fake server that answers with a header announcing 5000 bytes.
        const QString channel = newChannel();
        QDir().mkpath(channelDir());
        const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address;
        std::memset(&address, 0, sizeof address);
        address.sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(socketOf(channel));
        std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
        QCOMPARE(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        QCOMPARE(::listen(listener, 4), 0);
        std::thread fake([listener] {
            const int fd = ::accept(listener, nullptr, nullptr);
            char sink[8192];
            ::recv(fd, sink, sizeof sink, 0);
            QByteArray answer(12, '\0');
            qToLittleEndian<quint32>(ulx::hostwire::ReplyMagic, answer.data());
            qToLittleEndian<quint16>(ulx::hostwire::Version, answer.data() + 4);
            qToLittleEndian<quint32>(5000, answer.data() + 8);
            answer += QByteArray(5000, 'r');
            ::send(fd, answer.constData(), std::size_t(answer.size()), MSG_NOSIGNAL);
            ::close(fd);
        });
        _KSimpleMemBuffer request(QStringLiteral("hi"));
        _KSimpleMemBuffer reply;
        KHostTransport client(QStringLiteral("TestClient"));
        const BOOL ok = client.sendMessage(channel.toStdU16String().c_str(), Transmission, &request, &reply, 3000, nullptr);
        fake.join();
        ::close(listener);
        ::unlink(path.constData());
        QVERIFY(!ok);
        QCOMPARE(reply.size(), 0u);
    }

    void prepareExitEndsServingFromAnyThread_data()
    {
        QTest::addColumn<QString>("command");
        QTest::newRow("main thread") << "exit-main";
        QTest::newRow("receive thread, inside the handler") << "exit-handler";
        QTest::newRow("another thread") << "exit-thread";
    }
    void prepareExitEndsServingFromAnyThread()
    {
        QFETCH(QString, command);
        const QString channel = newChannel();
        auto server = startServer(channel);
        QVERIFY(server);
        sendText(channel, command); // the reply may or may not make it out
        QCOMPARE(server->finish(3000), 0);
        QVERIFY(!QFileInfo::exists(socketOf(channel)));
        KHostTransport next(channel);
        QVERIFY(next.isChannelServer());
    }

    void exitingServerKeepsTheChannelUntilItEnds()
    {
        const QString channel = newChannel();
        auto server = startServer(channel);
        QVERIFY(server);
        sendText(channel, QStringLiteral("exit-linger"));
        QVERIFY(!server->waitLine(QStringLiteral("exiting")).isEmpty());
        QVERIFY(!QFileInfo::exists(socketOf(channel)));
        {
            KHostTransport early(channel);
            QVERIFY(!early.isChannelServer()); // still held by the exiting process
        }
        // A send waits for the exiting process instead of failing, then fails once it is gone.
        QElapsedTimer timer;
        timer.start();
        QVERIFY(sendText(channel, QStringLiteral("too late"), 5000).isNull());
        const qint64 waited = timer.elapsed();
        QVERIFY2(waited >= 200 && waited < 4000, qPrintable(QString::number(waited)));
        QCOMPARE(g_timeout.calls, 0);
        QCOMPARE(server->finish(), 0);
        KHostTransport next(channel);
        QVERIFY(next.isChannelServer());
    }

    void destructionAfterPrepareExitDoesNotHang()
    {
        const QString channel = newChannel();
        auto host = std::make_unique<KHostTransport>(channel);
        QVERIFY(host->isChannelServer());
        host->registerReceiver(Transmission, nullptr, replyOk);
        QCOMPARE(sendText(channel, QStringLiteral("before")), QStringLiteral("ok"));
        std::thread([&host] { host->prepareExit(0); }).join();
        QVERIFY(!QFileInfo::exists(socketOf(channel)));
        QVERIFY(!host->isChannelServer());
        // Still ours until the process ends: a sender waits for it rather than for a successor.
        QVERIFY(sendText(channel, QStringLiteral("after"), 150).isNull());
        QCOMPARE(g_timeout.calls, 1);
        host.reset(); // joins the parked receive thread
        KHostTransport next(channel);
        QVERIFY(next.isChannelServer());
    }

    void refusalsAreReportedTersely()
    {
        const QString channel = newChannel();
        auto server = startServer(channel, {QStringLiteral("--diag")});
        QVERIFY(server);
        for (int i = 0; i < 5; ++i) {
            RawClient bad(socketOf(channel));
            bad.write(QByteArray(16, 'z'));
            QVERIFY(bad.closedWithin(3000));
        }
        QCOMPARE(quit(*server), 5);
        const QStringList lines =
            QString::fromLocal8Bit(server->process().readAllStandardError()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        // Five refusals within the same second: one line.
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].contains(channel) && lines[0].contains(QLatin1String("bad magic")), qPrintable(lines[0]));
    }

    void runtimeFilesArePrivate()
    {
        const QString run = m_env.root() + QStringLiteral("/fresh-run");
        QVERIFY(QDir().mkpath(run));
        QProcessEnvironment env = m_env.environment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), run);
        Peer server({QStringLiteral("serve"), QStringLiteral("UlxCloudSvr")}, env);
        QCOMPARE(server.role(), QStringLiteral("server"));
        const QString dir = run + QStringLiteral("/ulxcloudsvr");
        QCOMPARE(modeOf(dir), mode_t(0700));
        QCOMPARE(QFileInfo(dir).ownerId(), ::geteuid());
        QCOMPARE(modeOf(dir + QStringLiteral("/UlxCloudSvr.lock")), mode_t(0600));
        QCOMPARE(modeOf(dir + QStringLiteral("/UlxCloudSvr.sock")), mode_t(0600));
        server.process().terminate();
        QCOMPARE(server.finish(), 0);
        QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/UlxCloudSvr.sock")));
    }

    void unsafeRuntimeDirIsNotUsed_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("serves");
        QTest::newRow("symbolic link to a directory of ours") << "symlink" << false;
        QTest::newRow("regular file") << "file" << false;
        QTest::newRow("ours with mode 0777: narrowed") << "wide" << true;
        QTest::newRow("ours with mode 0750: narrowed") << "group" << true;
        QTest::newRow("another user's directory") << "foreign" << false;
    }
    void unsafeRuntimeDirIsNotUsed()
    {
        QFETCH(QString, kind);
        QFETCH(bool, serves);
        if (kind == QLatin1String("foreign") && ::geteuid() != 0)
            QSKIP("needs root to give a directory to another user");
        const QString run = m_env.root() + QStringLiteral("/unsafe-") + kind;
        const QString dir = run + QStringLiteral("/ulxcloudsvr");
        const QString elsewhere = m_env.root() + QStringLiteral("/elsewhere-") + kind;
        QVERIFY(QDir().mkpath(run));
        QVERIFY(QDir().mkpath(elsewhere));
        if (kind == QLatin1String("symlink")) {
            QVERIFY(QFile::link(elsewhere, dir));
        } else if (kind == QLatin1String("file")) {
            QFile f(dir);
            QVERIFY(f.open(QIODevice::WriteOnly));
        } else {
            QVERIFY(QDir().mkpath(dir));
            const mode_t mode = kind == QLatin1String("wide") ? 0777 : kind == QLatin1String("group") ? 0750 : 0700;
            QCOMPARE(::chmod(QFile::encodeName(dir).constData(), mode), 0);
            if (kind == QLatin1String("foreign"))
                QCOMPARE(::chown(QFile::encodeName(dir).constData(), NobodyUid, NobodyUid), 0);
        }
        QProcessEnvironment env = m_env.environment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), run);
        QElapsedTimer timer;
        timer.start();
        Peer peer({QStringLiteral("start"), QStringLiteral("UlxCloudSvr"), QStringLiteral("cmd")}, env);
        QCOMPARE(peer.role(), serves ? QStringLiteral("server") : QStringLiteral("client"));
        if (serves) {
            QCOMPARE(modeOf(dir), mode_t(0700));
            QVERIFY(!peer.waitLine(QStringLiteral("msg\t")).isEmpty());
            peer.process().terminate();
            QCOMPARE(peer.finish(), 0);
        } else {
            QCOMPARE(peer.finish(), 2); // neither serves nor sends
            QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
            QVERIFY(QDir(elsewhere).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden));
            if (kind == QLatin1String("foreign"))
                QVERIFY(QDir(dir).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden));
        }
    }

    void peerOfAnotherUserIsRefused()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to run a peer as another user");
        const QString channel = newChannel();
        auto server = startServer(channel);
        QVERIFY(server);
        struct stat before;
        QCOMPARE(::stat(QFile::encodeName(socketOf(channel)).constData(), &before), 0);

        // Opened up on purpose, so that only the socket's own peer check stands in the way.
        const auto setMode = [](const QString &path, mode_t mode) {
            return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
        };
        QVERIFY(setMode(m_env.root(), 0711) && setMode(m_env.runtimeDir(), 0711) && setMode(channelDir(), 0777)
                && setMode(socketOf(channel), 0666));
        Peer intruder({QStringLiteral("raw"), socketOf(channel), QStringLiteral("from nobody")}, m_env.environment(),
                      NobodyUid);
        const int intruderExit = intruder.finish();
        // A takeover attempt: the directory is not the intruder's, so it neither serves nor sends.
        Peer usurper({QStringLiteral("start"), channel, QStringLiteral("usurp")}, m_env.environment(), NobodyUid);
        const QString usurperRole = usurper.role();
        const int usurperExit = usurper.finish();
        QVERIFY(setMode(channelDir(), 0700) && setMode(m_env.runtimeDir(), 0700) && setMode(m_env.root(), 0700));

        QCOMPARE(intruderExit, 5); // connected, then closed without an answer
        QCOMPARE(usurperRole, QStringLiteral("client"));
        QCOMPARE(usurperExit, 2);
        struct stat after;
        QCOMPARE(::stat(QFile::encodeName(socketOf(channel)).constData(), &after), 0);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(sendText(channel, QStringLiteral("still here")), QStringLiteral("ok"));
        QCOMPARE(quit(*server), 1);
        QCOMPARE(server->messages(), (QStringList{QStringLiteral("still here"), QStringLiteral("quit")}));
    }

    void invalidChannelNamesAreRefused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("empty") << QString();
        QTest::newRow("path") << "../UlxCloudSvr";
        QTest::newRow("hidden") << ".UlxCloudSvr";
        QTest::newRow("65 characters") << QString(65, QLatin1Char('a'));
        QTest::newRow("space") << "Ulx Cloud";
    }
    void invalidChannelNamesAreRefused()
    {
        QFETCH(QString, name);
        KHostTransport host(name);
        QVERIFY(!host.isChannelServer());
        QVERIFY(!QFileInfo::exists(channelDir() + QLatin1Char('/') + name + QStringLiteral(".lock")));
        QVERIFY(!QFileInfo::exists(channelDir() + QLatin1Char('/') + name + QStringLiteral(".sock")));
        QVERIFY(sendText(name, QStringLiteral("x")).isNull());
    }

    void rateLimiter_data()
    {
        QTest::addColumn<QList<int>>("times");
        QTest::addColumn<QList<int>>("heldBack"); // -1: not reported
        QTest::newRow("first always") << QList<int>{5000} << QList<int>{0};
        QTest::newRow("burst then pause") << QList<int>{0, 10, 999, 1000, 1500, 2600}
                                          << QList<int>{0, -1, -1, 2, -1, 1};
        QTest::newRow("slow events all pass") << QList<int>{0, 1000, 2000} << QList<int>{0, 0, 0};
    }
    void rateLimiter()
    {
        QFETCH(QList<int>, times);
        QFETCH(QList<int>, heldBack);
        std::int64_t now = 0;
        KRateLimiter limiter(1000, [&now] { return now; });
        for (qsizetype i = 0; i < times.size(); ++i) {
            now = times[i];
            std::uint64_t held = 999;
            const bool admitted = limiter.admit(&held);
            QCOMPARE(admitted, heldBack[i] >= 0);
            if (admitted)
                QCOMPARE(held, std::uint64_t(heldBack[i]));
        }
    }
};

QTEST_GUILESS_MAIN(TestHostTransport)
#include "tst_hosttransport.moc"
