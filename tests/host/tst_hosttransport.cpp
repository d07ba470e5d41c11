// The host transport between real processes: election, crash safety, hand-over,
// time-outs, hostile peers, size limits and per-user safety.

#include "host/transport/khosttransport.h"
#include "host/transport/khosttransportlog.h"
#include "host/transport/kwireformat.h"
#include "ipc/kmembuffer.h"
#include "platform/filelock.h"
#include "tests/common/testenv.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
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
        process.setProcessEnvironment(env);
        if (asUser) {
            process.setChildProcessModifier([asUser] {
                if (::setgroups(0, nullptr) != 0 || ::setgid(asUser) != 0 || ::setuid(asUser) != 0)
                    ::_exit(99);
            });
        }
        process.start(KTestEnv::binPath(QStringLiteral("ulxhostpeer")), args);
    }
    ~Peer()
    {
        if (process.state() != QProcess::NotRunning) {
            ::kill(pid(), SIGCONT);
            process.kill();
            process.waitForFinished(5000);
        }
    }
    pid_t pid() const { return pid_t(process.processId()); }

    // The first line starting with `prefix`, waiting up to `ms`; empty when none came.
    QString waitLine(const QString &prefix, int ms = 10000)
    {
        for (const QDeadlineTimer deadline(KTestEnv::scaled(ms));; process.waitForReadyRead(50)) {
            for (const QString &line : lines()) {
                if (line.startsWith(prefix))
                    return line;
            }
            if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
                return QString();
        }
    }
    // "server" or "client": the election result, always the first line.
    QString role(int ms = 10000) { return waitLine(QString(), ms); }
    QStringList lines()
    {
        while (process.state() == QProcess::Running && process.waitForReadyRead(0)) {
        }
        while (process.canReadLine())
            m_lines << QString::fromUtf8(process.readLine()).chopped(1);
        return m_lines;
    }
    // Its standard error so far.
    QString errors()
    {
        lines();
        m_errors += QString::fromLocal8Bit(process.readAllStandardError());
        return m_errors;
    }
    // The texts of the messages this server received.
    QStringList messages()
    {
        return lines().filter(QStringLiteral("msg\t")).replaceInStrings(QStringLiteral("msg\t"), QString());
    }
    int finish(int ms = 10000)
    {
        if (!process.waitForFinished(KTestEnv::scaled(ms)) && process.state() != QProcess::NotRunning)
            return -1;
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    }

    QProcess process;

private:
    QStringList m_lines;
    QString m_errors;
};

// A buffer with room beyond the limit, whose count may lie, as a faulty caller's might.
struct LooseBuffer final : IKMemBuffer
{
    BOOL STDMETHODCALLTYPE setSize(std::uint32_t bytes) override
    {
        count = bytes <= sizeof area ? bytes : count;
        return bytes <= sizeof area;
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
} g_timeout;

void STDMETHODCALLTYPE recordTimeout(void *, const char16_t *target, const char16_t *, std::uintptr_t timeoutMs)
{
    g_timeout = {g_timeout.calls + 1, std::this_thread::get_id(), QString::fromUtf16(target), timeoutMs};
}

// Replies "ok". With a SlowCall as context it takes its time, recording when it starts and ends.
struct SlowCall
{
    std::atomic<bool> inside{false}, done{false};
};
std::atomic<std::thread::id> g_handlerThread;
void STDMETHODCALLTYPE replyOk(void *context, const char16_t *, std::uintptr_t, IKMemBuffer *, IKMemBuffer *reply)
{
    auto *slow = static_cast<SlowCall *>(context);
    g_handlerThread = std::this_thread::get_id();
    if (slow) {
        slow->inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    _KSimpleMemBuffer::setText(reply, QStringLiteral("ok"));
    if (slow)
        slow->done = true;
}

sockaddr_un unixAddress(const QString &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = QFile::encodeName(path);
    std::memcpy(address.sun_path, bytes.constData(), std::min(std::size_t(bytes.size()), sizeof address.sun_path - 1));
    return address;
}

// A client connection made by hand, for peers that break the protocol.
class RawClient
{
public:
    explicit RawClient(const QString &socketPath)
    {
        const sockaddr_un address = unixAddress(socketPath);
        connected = ::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    }
    ~RawClient() { ::close(m_fd); }
    // Writes what the socket takes without blocking; a refusing server may close early.
    void write(const QByteArray &bytes)
    {
        ::send(m_fd, bytes.constData(), std::size_t(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    // What the server sent until it closed the connection; empty when it did not close within `ms`.
    QByteArray replyWithin(int ms)
    {
        const QDeadlineTimer deadline(ms);
        QByteArray received;
        char sink[4096];
        for (pollfd p{m_fd, POLLIN, 0}; ::poll(&p, 1, int(deadline.remainingTime())) > 0;) {
            const ssize_t n = ::recv(m_fd, sink, sizeof sink, 0);
            if (n <= 0)
                return received;
            received.append(sink, n);
        }
        return QByteArray();
    }
    // True when the server answered with a refusal and closed the connection within `ms`.
    bool refusedWithin(int ms)
    {
        const QByteArray reply = replyWithin(ms);
        return reply.size() >= 12 && qFromLittleEndian<quint32>(reply.constData()) == ulx::hostwire::ReplyMagic
            && qFromLittleEndian<quint16>(reply.constData() + 6) == ulx::hostwire::Refused;
    }

    bool connected = false;

private:
    int m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

QByteArray wireHeader(quint32 magic, quint16 nameBytes, quint32 payloadBytes)
{
    QByteArray h(12, '\0');
    qToLittleEndian<quint32>(magic, h.data());
    qToLittleEndian<quint16>(ulx::hostwire::Version, h.data() + 4);
    qToLittleEndian<quint16>(nameBytes, h.data() + 6);
    qToLittleEndian<quint32>(payloadBytes, h.data() + 8);
    return h;
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

    bool lockHeld(const QString &channel) const
    {
        const int fd = ulx::filelock::openLockFile(AT_FDCWD, QFile::encodeName(channelDir() + '/' + channel + ".lock"), false);
        const bool held = fd >= 0 && ulx::filelock::isHeldByOther(fd, ulx::filelock::Kind::OpenFileDescription);
        if (fd >= 0)
            ::close(fd);
        return held;
    }

    std::unique_ptr<Peer> startServer(const QString &channel, int deadlineMs = 0)
    {
        QProcessEnvironment env = m_env.environment();
        if (deadlineMs > 0)
            env.insert(QStringLiteral("ULXHOSTPEER_DEADLINE_MS"), QString::number(deadlineMs));
        auto peer = std::make_unique<Peer>(QStringList{"serve", channel}, env);
        if (peer->role() == QLatin1String("server"))
            return peer;
        qWarning() << "peer did not serve:" << peer->lines() << peer->process.readAllStandardError();
        return nullptr;
    }

    // Sends from this process; the reply text, or a null string when not delivered.
    QString sendText(const QString &channel, const QString &text, int timeoutMs = KTestEnv::scaled(3000))
    {
        KHostTransport client(QStringLiteral("TestClient"));
        _KSimpleMemBuffer request(text), reply;
        const std::u16string target = channel.toStdU16String();
        if (!client.sendMessage(target.c_str(), Transmission, &request, &reply, timeoutMs, recordTimeout))
            return QString();
        return _KSimpleMemBuffer::text(&reply);
    }

    // Ends a server (it echoes "quit" first); its refusal count.
    int quit(Peer &server)
    {
        const bool echoed = sendText(server.process.arguments().value(1), QStringLiteral("quit")) == "quit";
        const QString line = server.waitLine(QStringLiteral("refused "));
        return server.finish() == 0 && echoed && !line.isEmpty() ? line.section(QLatin1Char(' '), 1).toInt() : -1;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_env.isValid());
        // The fallback directories of this world (and of the other user that some tests play).
        const QString tmp = m_env.root() + QStringLiteral("/tmp");
        QVERIFY(QDir().mkpath(tmp) && ::chmod(QFile::encodeName(tmp).constData(), 01777) == 0);
        qputenv("ULX_RUNTIME_FALLBACK_PARENT", QFile::encodeName(tmp));
        QVERIFY2(QFileInfo(KTestEnv::binPath(QStringLiteral("ulxhostpeer"))).isExecutable(), "ulxhostpeer not built");
    }
    void init() { g_timeout = TimeoutRecord(); }

    void fiftyPeersElectOneServer()
    {
        const QString channel = newChannel();
        QElapsedTimer timer;
        timer.start();
        std::vector<std::unique_ptr<Peer>> peers;
        QStringList payloads;
        const QProcessEnvironment env = m_env.environment();
        for (int i = 0; i < 50; ++i) {
            payloads << QStringLiteral("payload-%1").arg(i);
            peers.push_back(std::make_unique<Peer>(QStringList{"start", channel, payloads.last()}, env));
        }
        Peer *server = nullptr;
        for (int i = 0; i < 50; ++i) {
            if (peers[i]->role(30000) == QLatin1String("server")) {
                QVERIFY2(!server, "a second server");
                server = peers[i].get();
            } else { // a client that delivered its payload and ended
                QCOMPARE(peers[i]->finish(30000), 0);
                QCOMPARE(peers[i]->lines(), (QStringList{"client", "reply " + payloads[i]}));
            }
        }
        QVERIFY(server);
        QTRY_COMPARE_WITH_TIMEOUT(server->messages().size(), 50, KTestEnv::scaled(10000));
        qInfo("50 peers: one server, 50 messages received in %lld ms", timer.elapsed());
        QStringList received = server->messages();
        received.sort();
        payloads.sort();
        QCOMPARE(received, payloads); // each payload once, none twice
        QCOMPARE(quit(*server), 0);
    }

    // The service withdraws its receiver before it destroys the receiver's
    // context: a call already running on the receive thread must be over by then.
    void withdrawingWaitsForARunningCall()
    {
        const QString channel = newChannel();
        KHostTransport host(channel);
        QVERIFY(host.isChannelServer());
        auto call = std::make_unique<SlowCall>();
        host.registerReceiver(Transmission, call.get(), replyOk);
        std::thread sender([&] { sendText(channel, QStringLiteral("slow")); });
        QTRY_VERIFY_WITH_TIMEOUT(call->inside.load(), KTestEnv::scaled(5000));
        host.registerReceiver(Transmission, nullptr, nullptr);
        QVERIFY(call->done.load());
        sender.join();
        // Withdrawn: later messages are answered "error" and never reach the old context.
        call.reset();
        QCOMPARE(sendText(channel, QStringLiteral("late")), QStringLiteral("error"));
    }

    // Peers that come between the election and the first registration wait for it.
    void handlerRunsOnReceiveThread()
    {
        const QString channel = newChannel();
        KHostTransport host(channel);
        QVERIFY(host.isChannelServer());
        Peer sender({"send", channel, "early"}, m_env.environment());
        QTest::qWait(200); // connected and waiting in the backlog, not answered "error"
        QCOMPARE(sender.process.state(), QProcess::Running);
        g_handlerThread = std::thread::id();
        host.registerReceiver(Transmission, nullptr, replyOk);
        QCOMPARE(sender.finish(), 0);
        QCOMPARE(sender.lines(), QStringList{"reply ok"});
        QVERIFY(g_handlerThread.load() != std::thread::id() && g_handlerThread.load() != std::this_thread::get_id());
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
        auto successor = startServer(channel);
        const qint64 successorMs = timer.elapsed();
        QVERIFY(successor);
        QCOMPARE(sendText(channel, QStringLiteral("hello")), QStringLiteral("hello"));
        ::kill(successor->pid(), SIGKILL);
        successor->finish();

        timer.restart(); // the election alone, without a process start
        QVERIFY(KHostTransport(channel).isChannelServer());
        const qint64 electionUs = timer.nsecsElapsed() / 1000;
        qInfo("after SIGKILL: successor process serving %lld ms after its start; in-process election %lld us",
              successorMs, electionUs);
        QVERIFY(successorMs < KTestEnv::scaled(3000) && electionUs < KTestEnv::scaled(100) * 1000);
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
        if (leftovers != "none") {
            auto server = startServer(channel);
            QVERIFY(server);
            if (leftovers == "handover") {
                QCOMPARE(sendText(channel, QStringLiteral("release")), QStringLiteral("release"));
                QVERIFY(!server->waitLine(QStringLiteral("released")).isEmpty());
                QVERIFY(QFileInfo::exists(channelDir() + QLatin1Char('/') + channel + ".handover"));
            }
            ::kill(server->pid(), leftovers == "handover" ? SIGTERM : SIGKILL);
            server->finish();
        }
        QElapsedTimer timer;
        timer.start();
        QVERIFY(sendText(channel, QStringLiteral("anyone?"), 5000).isNull());
        const qint64 us = timer.nsecsElapsed() / 1000;
        qInfo("unserved send failed after %lld us", us);
        QVERIFY(us < KTestEnv::scaled(100) * 1000);
        QCOMPARE(g_timeout.calls, 0);
    }

    void handoverReachesTheSuccessor()
    {
        const QString channel = newChannel();
        auto old = startServer(channel);
        QVERIFY(old);
        QCOMPARE(sendText(channel, QStringLiteral("release")), QStringLiteral("release"));
        QVERIFY(!old->waitLine(QStringLiteral("released")).isEmpty());
        Peer gapSender({"send", channel, "in the gap"}, m_env.environment());
        QTest::qWait(150); // nobody serves now; the sender must keep waiting
        QCOMPARE(gapSender.process.state(), QProcess::Running);

        QElapsedTimer timer;
        timer.start();
        auto successor = startServer(channel);
        QVERIFY(successor);
        QCOMPARE(gapSender.finish(), 0);
        qInfo("message sent in the gap delivered %lld ms after the successor process was started", timer.elapsed());
        QCOMPARE(old->process.state(), QProcess::Running);
        QTRY_COMPARE(successor->messages(), QStringList{"in the gap"});
        QCOMPARE(old->messages(), QStringList{"release"});
    }

    void frozenServerTimesOut()
    {
        const QString channel = newChannel();
        auto server = startServer(channel);
        QVERIFY(server);
        ::kill(server->pid(), SIGSTOP);
        siginfo_t stopped{}; // the signal takes effect asynchronously; WNOWAIT leaves the state to QProcess
        QCOMPARE(::waitid(P_PID, id_t(server->pid()), &stopped, WSTOPPED | WNOWAIT), 0);

        QElapsedTimer timer;
        timer.start();
        QVERIFY(sendText(channel, QStringLiteral("frozen"), 300).isNull());
        const qint64 ms = timer.elapsed();
        QCOMPARE(g_timeout.calls, 1);
        QCOMPARE(g_timeout.thread, std::this_thread::get_id());
        QCOMPARE(g_timeout.target, channel);
        QCOMPARE(g_timeout.timeoutMs, std::uintptr_t(300));
        QVERIFY2(ms >= 290 && ms < KTestEnv::scaled(1500), qPrintable(QString::number(ms)));

        // Its sender has given up and said so: when the server thaws, the line is dropped, not run.
        ::kill(server->pid(), SIGCONT);
        QTRY_VERIFY(server->errors().contains("refused a peer: sender gave up before its request was dispatched"));
        QCOMPARE(quit(*server), 1);
        QCOMPARE(server->messages(), QStringList{"quit"});
    }

    void misbehavingPeerDoesNotHoldUpOthers_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const quint32 magic = ulx::hostwire::RequestMagic;
        const QByteArray name(reinterpret_cast<const char *>(Transmission), sizeof Transmission - 2);
        const auto header = [&](quint32 payload) { return wireHeader(magic, quint16(name.size()), payload) + name; };
        QTest::newRow("header claims 1 MiB") << header(1u << 20) + QByteArray(1000, 'x');
        QTest::newRow("half a message, then silence") << header(10).chopped(name.size() / 2);
        QTest::newRow("name of 300 bytes") << wireHeader(magic, 300, 2) + QByteArray(302, 'a');
        QTest::newRow("NUL inside the name") << wireHeader(magic, 6, 0) + QByteArray("a\0\0\0b\0", 6);
        QTest::newRow("full area without terminator") << header(4096) + QByteArray(4096, 'x');
    }
    void misbehavingPeerDoesNotHoldUpOthers()
    {
        QFETCH(QByteArray, bytes);
        const QString channel = newChannel();
        const int deadlineMs = KTestEnv::scaled(1000);
        auto server = startServer(channel, deadlineMs);
        QVERIFY(server);
        RawClient bad(socketOf(channel));
        QVERIFY(bad.connected);
        bad.write(bytes);

        QElapsedTimer timer;
        timer.start();
        QCOMPARE(sendText(channel, QStringLiteral("meanwhile")), QStringLiteral("meanwhile"));
        QVERIFY2(timer.elapsed() < deadlineMs / 2, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(bad.refusedWithin(2 * deadlineMs));
        QCOMPARE(quit(*server), 1);
        QCOMPARE(server->messages(), (QStringList{"meanwhile", "quit"}));
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
        const std::u16string target = channel.toStdU16String();
        QCOMPARE(bool(KHostTransport(QStringLiteral("TestClient"))
                          .sendMessage(target.c_str(), Transmission, &request, &reply, KTestEnv::scaled(3000), nullptr)),
                 delivered);
        QCOMPARE(_KSimpleMemBuffer::text(&reply), delivered ? text : QString());
        QCOMPARE(reply.size(), delivered ? std::uint32_t(units + 1) * 2 : 0u);
        QCOMPARE(quit(*server), 0);
        QCOMPARE(server->messages(), (delivered ? QStringList{text, "quit"} : QStringList{"quit"}));
    }

    void oversizedReplyIsRejected()
    {
        // A fake server that answers with a header announcing 5000 bytes, and sends them.
        const QString channel = newChannel();
        QVERIFY(QDir().mkpath(channelDir()));
        const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un address = unixAddress(socketOf(channel));
        QVERIFY(::bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0);
        QVERIFY(::listen(listener, 4) == 0);
        std::thread fake([listener] {
            const int fd = ::accept(listener, nullptr, nullptr);
            char sink[8192];
            ::recv(fd, sink, sizeof sink, 0);
            const QByteArray answer = wireHeader(ulx::hostwire::ReplyMagic, 0, 5000) + QByteArray(5000, 'r');
            ::send(fd, answer.constData(), std::size_t(answer.size()), MSG_NOSIGNAL);
            ::close(fd);
        });
        _KSimpleMemBuffer request(QStringLiteral("hi"));
        LooseBuffer reply; // would take the 5000 bytes: the transport itself must refuse them
        const std::u16string target = channel.toStdU16String();
        const BOOL delivered = KHostTransport(QStringLiteral("TestClient"))
                                   .sendMessage(target.c_str(), Transmission, &request, &reply, KTestEnv::scaled(3000), nullptr);
        fake.join();
        ::close(listener);
        QVERIFY(!delivered);
        QCOMPARE(reply.count, 0u);
    }

    void prepareExitEndsServingFromAnyThread_data()
    {
        QTest::addColumn<QString>("command");
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
        QVERIFY(KHostTransport(channel).isChannelServer());
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
        // Still ours until the process ends: a sender waits for it rather than failing at once.
        QVERIFY(sendText(channel, QStringLiteral("after"), 150).isNull());
        QCOMPARE(g_timeout.calls, 1);
        host.reset(); // joins the parked receive thread
        QVERIFY(KHostTransport(channel).isChannelServer());
    }

    // Where two starts meet, for runtime directories that are missing, wide, foreign, squatted or long.
    void runtimeDirs_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("servedIn"); // "xdg", "fallback" or "private" (the fallback with a key)
        QTest::newRow("absent: made 0700") << "absent" << "xdg";
        QTest::newRow("ours with mode 0777: narrowed") << "wide" << "xdg";
        QTest::newRow("socket path of 150 bytes") << "long" << "xdg";
        QTest::newRow("a link in place of ours") << "symlink" << "fallback";
        QTest::newRow("a file in place of ours") << "file" << "fallback";
        QTest::newRow("XDG_RUNTIME_DIR missing") << "missing" << "fallback";
        QTest::newRow("XDG_RUNTIME_DIR of another user") << "foreign" << "fallback";
        QTest::newRow("XDG_RUNTIME_DIR not writable") << "readonly" << "fallback";
        QTest::newRow("fallback made by another user") << "squatted" << "private";
        QTest::newRow("fallback is a link") << "fallbacklink" << "private";
    }
    void runtimeDirs()
    {
        QFETCH(QString, kind);
        QFETCH(QString, servedIn);
        const bool root = ::geteuid() == 0;
        if ((kind == "foreign" || kind == "squatted") && !root)
            QSKIP("needs root to give a directory to another user");
        if (kind == "readonly" && root)
            QSKIP("root may write anywhere");
        QString run = m_env.root() + "/run-" + kind;
        if (kind == "long")
            run += QLatin1Char('/') + QString(150 - run.size() - int(sizeof "/ulxcloudsvr/UlxCloudSvr.sock") + 1, 'r');
        const QString xdgDir = run + "/ulxcloudsvr", parent = m_env.root() + "/tmp-" + kind;
        const QString fallback = parent + QStringLiteral("/ulxcloudsvr-%1").arg(::geteuid());
        const QString elsewhere = m_env.root() + "/elsewhere-" + kind;
        QVERIFY(QDir().mkpath(parent) && ::chmod(QFile::encodeName(parent).constData(), 01777) == 0);
        QVERIFY(QDir().mkpath(elsewhere));
        if (kind != "missing")
            QVERIFY(QDir().mkpath(run));
        if (kind == "wide")
            QVERIFY(QDir().mkpath(xdgDir) && ::chmod(QFile::encodeName(xdgDir).constData(), 0777) == 0);
        else if (kind == "symlink")
            QVERIFY(QFile::link(elsewhere, xdgDir));
        else if (kind == "file")
            QVERIFY(QFile(xdgDir).open(QIODevice::WriteOnly));
        else if (kind == "foreign")
            QVERIFY(::chown(QFile::encodeName(run).constData(), NobodyUid, NobodyUid) == 0);
        else if (kind == "readonly")
            QVERIFY(::chmod(QFile::encodeName(run).constData(), 0500) == 0);
        else if (kind == "squatted")
            QVERIFY(QDir().mkpath(fallback) && ::chown(QFile::encodeName(fallback).constData(), NobodyUid, NobodyUid) == 0);
        else if (kind == "fallbacklink")
            QVERIFY(QFile::link(elsewhere, fallback));
        QProcessEnvironment env = m_env.environment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), run);
        if (kind == "squatted" || kind == "fallbacklink")
            env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        env.insert(QStringLiteral("ULX_RUNTIME_FALLBACK_PARENT"), parent);

        Peer first({"start", "UlxCloudSvr", "first"}, env);
        QCOMPARE(first.role(), QStringLiteral("server"));
        Peer second({"start", "UlxCloudSvr", "second"}, env);
        QCOMPARE(second.finish(), 0);
        QCOMPARE(second.lines(), (QStringList{"client", "reply second"}));
        QTRY_COMPARE(first.messages().size(), 2); // its own line and the second's, in either order
        QVERIFY(first.messages().contains("first") && first.messages().contains("second"));

        QString dir = servedIn == "xdg" ? xdgDir : fallback;
        if (servedIn == "private") {
            const QStringList keyed = QDir(parent).entryList({QFileInfo(fallback).fileName() + "-*"}, QDir::Dirs);
            QCOMPARE(keyed.size(), 1);
            dir = parent + QLatin1Char('/') + keyed.first();
            QVERIFY(first.errors().contains("skipping " + fallback));
        }
        QCOMPARE(modeOf(dir), mode_t(0700));
        QCOMPARE(modeOf(dir + "/UlxCloudSvr.lock"), mode_t(0600));
        QCOMPARE(modeOf(dir + "/UlxCloudSvr.sock"), mode_t(0600));
        QVERIFY(QDir(elsewhere).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden));
    }

    // logind removes the runtime directory when the user's last session ends,
    // tmpfiles ages /tmp, people delete files: the channel comes back within the
    // settling time, by the old server or by a new one, never by both.
    void runtimeFilesTakenAway_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<bool>("startAtOnce"); // a start comes right after the damage
        QTest::newRow("directory removed") << "dir" << false;
        QTest::newRow("directory removed, a start at once") << "dir" << true;
        QTest::newRow("socket replaced by a regular file") << "socket" << false;
        QTest::newRow("lock replaced") << "lock" << false;
    }
    void runtimeFilesTakenAway()
    {
        QFETCH(QString, damage);
        QFETCH(bool, startAtOnce);
        const QString channel = newChannel();
        auto old = startServer(channel);
        QVERIFY(old);
        const QString file = channelDir() + QLatin1Char('/') + channel + (damage == "lock" ? ".lock" : ".sock");
        QElapsedTimer timer;
        timer.start();
        if (damage == "dir")
            QVERIFY(QDir(channelDir()).removeRecursively());
        else
            QVERIFY(QFile::remove(file) && QFile(file).open(QIODevice::WriteOnly));
        std::unique_ptr<Peer> fresh;
        if (startAtOnce)
            fresh = std::make_unique<Peer>(QStringList{"start", channel, "at once"}, m_env.environment());

        QTRY_VERIFY_WITH_TIMEOUT(sendText(channel, QStringLiteral("back"), KTestEnv::scaled(300)) == "back",
                                 KTestEnv::scaled(2000));
        qInfo("%s: delivered again %lld ms after the damage", qPrintable(damage), timer.elapsed());
        Peer *server = old.get();
        if (fresh) { // exactly one of the two serves, and it received the fresh start's line
            QTRY_VERIFY_WITH_TIMEOUT(old->process.state() == QProcess::NotRunning || fresh->finish(0) == 0,
                                     KTestEnv::scaled(3000));
            if (old->process.state() == QProcess::NotRunning) {
                QCOMPARE(fresh->role(), QStringLiteral("server"));
                server = fresh.get();
            }
            QTRY_VERIFY(server->messages().contains("at once"));
            qInfo("one server (%s) %lld ms after the damage", server == old.get() ? "the old one" : "the new one",
                  timer.elapsed());
        }
        // Taken back (or taken by the fresh start) once things settled.
        QTRY_VERIFY_WITH_TIMEOUT(lockHeld(channel), KTestEnv::scaled(2000));
        Peer contender({"serve", channel}, m_env.environment());
        QCOMPARE(contender.finish(), 4); // the channel's lock is held again
        for (int i = 0; i < 3; ++i) {
            timer.restart();
            QCOMPARE(sendText(channel, QStringLiteral("later")), QStringLiteral("later"));
            QVERIFY(timer.elapsed() < KTestEnv::scaled(500));
        }
        QCOMPARE(server->messages().count("later"), 3);
        QVERIFY(QFileInfo(socketOf(channel)).exists()); // an ended old server left the new socket alone
        QCOMPARE(quit(*server), 0);
        QVERIFY(!QFileInfo::exists(socketOf(channel)));
    }

    // A sender slower than the old 2 s per connection, well within its own time-out.
    void slowSenderIsServed()
    {
        const QString channel = newChannel();
        auto server = startServer(channel);
        QVERIFY(server);
        const QString text = QStringLiteral("slow but valid");
        _KSimpleMemBuffer request(text);
        const auto frame = ulx::hostwire::encodeRequest(Transmission, request.data(), request.size());
        const QByteArray bytes(reinterpret_cast<const char *>(frame.data()), qsizetype(frame.size()));
        RawClient slow(socketOf(channel));
        QVERIFY(slow.connected);
        slow.write(bytes.left(20));
        QTest::qWait(2200);
        slow.write(bytes.mid(20));
        const QByteArray reply = slow.replyWithin(KTestEnv::scaled(2000));
        QVERIFY(reply.size() >= 12 && qFromLittleEndian<quint16>(reply.constData() + 6) == ulx::hostwire::Answered);
        QCOMPARE(quit(*server), 0);
        QCOMPARE(server->messages(), (QStringList{text, "quit"}));
    }

    // Every refused election or send says why, through the transport's logging category.
    void failuresSayWhy_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("expected");
        QTest::newRow("nobody serves") << "unserved" << "not delivered: nobody serves the channel";
        QTest::newRow("no usable runtime directory") << "nodir" << "not serving: no usable runtime directory";
    }
    void failuresSayWhy()
    {
        QFETCH(QString, setup);
        QFETCH(QString, expected);
        QProcessEnvironment env = m_env.environment();
        if (setup == "nodir") {
            const QString run = m_env.root() + "/run-nodir", notADir = m_env.root() + "/not-a-dir";
            QVERIFY(QDir().mkpath(run) && QFile(run + "/ulxcloudsvr").open(QIODevice::WriteOnly)
                    && QFile(notADir).open(QIODevice::WriteOnly));
            env.insert(QStringLiteral("XDG_RUNTIME_DIR"), run);
            env.insert(QStringLiteral("ULX_RUNTIME_FALLBACK_PARENT"), notADir);
        }
        Peer peer({setup == "nodir" ? "start" : "send", newChannel(), "line"}, env);
        QCOMPARE(peer.finish(), 2);
        const QString err = peer.errors();
        QVERIFY2(err.contains("ulx.host.transport: ") && err.contains(expected), qPrintable(err));
    }

    // A flood of hostile peers costs the log about one line a second, not one per peer.
    void refusalsAreLoggedSparingly()
    {
        const QString channel = newChannel();
        auto server = startServer(channel);
        QVERIFY(server);
        for (int i = 0; i < 30; ++i) {
            RawClient bad(socketOf(channel));
            bad.write(QByteArray(16, 'x'));
            QVERIFY(bad.refusedWithin(KTestEnv::scaled(2000)));
        }
        QCOMPARE(quit(*server), 30);
        const int lines = int(server->errors().count(QStringLiteral("refused a peer: bad magic")));
        QVERIFY2(lines >= 1 && lines < 10, qPrintable(server->errors()));
    }

    void peerOfAnotherUserIsRefused()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to run a peer as another user");
        const QString channel = newChannel();
        auto server = startServer(channel);
        QVERIFY(server);
        // Opened up on purpose, so that only the socket's own peer check stands in the way.
        const auto setModes = [&](mode_t outer, mode_t dir, mode_t sock) {
            return ::chmod(QFile::encodeName(m_env.root()).constData(), outer) == 0
                && ::chmod(QFile::encodeName(m_env.runtimeDir()).constData(), outer) == 0
                && ::chmod(QFile::encodeName(channelDir()).constData(), dir) == 0
                && ::chmod(QFile::encodeName(socketOf(channel)).constData(), sock) == 0;
        };
        QVERIFY(setModes(0711, 0777, 0666));
        Peer intruder({"raw", socketOf(channel), "from nobody"}, m_env.environment(), NobodyUid);
        const int intruderExit = intruder.finish();
        // A takeover attempt: the directory is not the intruder's, so it serves a channel of its own elsewhere.
        Peer usurper({"start", channel, "usurp"}, m_env.environment(), NobodyUid);
        const QString usurperRole = usurper.role();
        QVERIFY(setModes(0700, 0700, 0600));

        QCOMPARE(intruderExit, 5); // connected, then closed without an answer
        QCOMPARE(usurperRole, QStringLiteral("server"));
        QCOMPARE(sendText(channel, QStringLiteral("still here")), QStringLiteral("still here"));
        QCOMPARE(quit(*server), 1);
        QCOMPARE(server->messages(), (QStringList{"still here", "quit"})); // the intruder's text never arrived
    }

    // Last: from here on the transport's lines of this process go to the service's log.
    void linesReachTheServiceLog()
    {
        KHostTransportLog::install();
        QVERIFY(sendText(newChannel(), QStringLiteral("anyone?")).isNull());
        QVERIFY2(m_env.logText().contains(QRegularExpression(
                     " WARNING KHostTransport KHostTransport::sendMessage Chan\\d+: not delivered: nobody serves the channel")),
                 qPrintable(m_env.logText()));
    }
};

QTEST_GUILESS_MAIN(TestHostTransport)
#include "tst_hosttransport.moc"
