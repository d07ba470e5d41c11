// The host transport between real processes: election, crash safety, hand-over,
// time-outs, hostile peers, size limits and per-user safety; and the host's crash handler.

#include "host/transport/khosttransport.h"
#include "host/transport/khosttransportlog.h"
#include "host/transport/kwireformat.h"
#include "ipc/kmembuffer.h"
#include "tests/common/kworld.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QtEndian>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char16_t Transmission[] = u"_TRANSMISSION_";
const QString Shared = QStringLiteral("Shared");
const QString Largest(2047, QLatin1Char('m')); // with its terminator, the whole area

// One ulxhostpeer process and the lines of its standard output and error.
class Peer : public QProcess
{
public:
    Peer(const QStringList &args, const QProcessEnvironment &env)
    {
        setProcessEnvironment(env);
        setProcessChannelMode(QProcess::MergedChannels);
        start(KTestEnv::binPath(QStringLiteral("ulxhostpeer")), args);
    }
    ~Peer() override
    {
        kill(); // stopped ones too
        waitForFinished();
    }

    // The first line matching `pattern`, waiting up to `ms`; empty when none came.
    QString waitLine(const QString &pattern, int ms = 10000)
    {
        for (const QDeadlineTimer deadline(KTestEnv::scaled(ms));; waitForReadyRead(50)) {
            const QStringList found = lines().filter(QRegularExpression(pattern));
            if (!found.isEmpty() || deadline.hasExpired() || state() == NotRunning)
                return found.value(0);
        }
    }
    // "server" or "client": the election's result.
    QString role() { return waitLine(QStringLiteral("^(server|client)$"), 30000); }
    QStringList lines()
    {
        while (state() == Running && waitForReadyRead(0)) {
        }
        while (canReadLine())
            m_lines << QString::fromUtf8(readLine()).chopped(1);
        return m_lines;
    }
    // The texts of the messages this server received.
    QStringList messages()
    {
        return lines().filter(QRegularExpression("^msg\t")).replaceInStrings(QStringLiteral("msg\t"), QString());
    }
    int finish(int ms = 10000)
    {
        waitForFinished(KTestEnv::scaled(ms));
        return state() != NotRunning ? -1 : exitStatus() ? -2 : exitCode();
    }

private:
    QStringList m_lines;
};

struct TimeoutRecord
{
    int calls = 0;
    std::thread::id thread;
    QString target;
} g_timeout;

void STDMETHODCALLTYPE recordTimeout(void *, const char16_t *target, const char16_t *, std::uintptr_t)
{
    g_timeout = {g_timeout.calls + 1, std::this_thread::get_id(), QString::fromUtf16(target)};
}

// Replies "ok" on the receive thread. With a stage as context it takes its time: 1 while inside, 2 when done.
std::atomic<std::thread::id> g_handlerThread;
void STDMETHODCALLTYPE replyOk(void *context, const char16_t *, std::uintptr_t, IKMemBuffer *, IKMemBuffer *reply)
{
    g_handlerThread = std::this_thread::get_id();
    if (auto *stage = static_cast<std::atomic<int> *>(context)) {
        *stage = 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        *stage = 2;
    }
    _KSimpleMemBuffer::setText(reply, QStringLiteral("ok"));
}

QByteArray wireHeader(quint32 magic, quint16 nameBytes, quint32 payloadBytes)
{
    QByteArray h(12, '\0');
    qToLittleEndian<quint32>(magic, h.data());
    qToLittleEndian<quint16>(ulx::hostwire::Version, h.data() + 4);
    qToLittleEndian<quint16>(nameBytes, h.data() + 6);
    qToLittleEndian<quint32>(payloadBytes, h.data() + 8);
    return h;
}

// A well-formed request frame carrying `text`, in hex for ulxhostpeer raw.
QByteArray requestFrame(const QString &text)
{
    _KSimpleMemBuffer request(text);
    const auto frame = ulx::hostwire::encodeRequest(Transmission, request.data(), request.size());
    return QByteArray(reinterpret_cast<const char *>(frame.data()), qsizetype(frame.size())).toHex();
}

} // namespace

class TestHostTransport : public QObject
{
    Q_OBJECT

private:
    KTestEnv m_env;
    int m_channelCounter = 0;
    const int m_deadlineMs = KTestEnv::scaled(1000);
    // One server with a short per-connection deadline for the tables of hostile and odd peers.
    std::unique_ptr<Peer> m_shared;
    int m_sharedRefusals = 0;

    QString newChannel() { return QStringLiteral("Chan%1").arg(++m_channelCounter); }
    QString channelDir() const { return m_env.runtimeDir() + QStringLiteral("/ulxcloudsvr"); }
    QString socketOf(const QString &channel) const { return channelDir() + QLatin1Char('/') + channel + ".sock"; }

    std::unique_ptr<Peer> startServer(const QString &channel, int deadlineMs = 0)
    {
        QProcessEnvironment env = m_env.environment();
        if (deadlineMs > 0)
            env.insert(QStringLiteral("ULXHOSTPEER_DEADLINE_MS"), QString::number(deadlineMs));
        auto peer = std::make_unique<Peer>(QStringList{"start", channel}, env);
        return peer->role() == QLatin1String("server") ? std::move(peer) : nullptr;
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

    // A send where nobody serves fails at once, without waiting for the time-out.
    bool failsAtOnce(const QString &channel)
    {
        QElapsedTimer timer;
        timer.start();
        const bool failed = sendText(channel, QStringLiteral("anyone?"), 5000).isNull();
        return failed && timer.nsecsElapsed() < KTestEnv::scaled(100) * 1000000LL && g_timeout.calls == 0;
    }

    // Ends a server as SIGTERM does; its refusal count.
    static int terminate(Peer &server)
    {
        ::kill(pid_t(server.processId()), SIGTERM);
        const QString line = server.waitLine(QStringLiteral("^refused "));
        return server.finish() == 0 && !line.isEmpty() ? line.section(QLatin1Char(' '), 1).toInt() : -1;
    }

private slots:
    void initTestCase()
    {
        // The fallback directories of this world (and of the other user that some tests play).
        const QString tmp = m_env.root() + QStringLiteral("/tmp");
        QVERIFY(QDir().mkpath(tmp) && ::chmod(QFile::encodeName(tmp).constData(), 01777) == 0);
        qputenv("ULX_RUNTIME_FALLBACK_PARENT", QFile::encodeName(tmp));
        KHostTransportLog::install(); // the transport's lines of this process go to the service's log
        m_env.writeInstallConfig({{QStringLiteral("Installation/OfficeDir"), m_env.root() + QStringLiteral("/office")}});
        m_shared = startServer(Shared, m_deadlineMs);
        QVERIFY(m_shared);
    }
    void init() { g_timeout = TimeoutRecord(); }
    void cleanupTestCase()
    {
        QCOMPARE(terminate(*m_shared), m_sharedRefusals);
    }

    // A broken, slow or foreign peer is answered within the deadline and holds up nobody else meanwhile
    // (here the largest request, echoed in a full reply).
    void peersBreakingTheProtocol_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // in hex
        QTest::addColumn<int>("exitCode"); // of ulxhostpeer raw: 0 answered, 1 refused, 5 another user's
        const quint32 magic = ulx::hostwire::RequestMagic;
        const QByteArray name(reinterpret_cast<const char *>(Transmission), sizeof Transmission - 2);
        const auto header = [&](quint32 payload) { return wireHeader(magic, quint16(name.size()), payload) + name; };
        QTest::newRow("bad magic") << QByteArray(16, 'x').toHex() << 1;
        QTest::newRow("header claims 1 MiB") << (header(1u << 20) + QByteArray(1000, 'x')).toHex() << 1;
        QTest::newRow("half a message, then silence") << header(10).chopped(name.size() / 2).toHex() << 1;
        QTest::newRow("name of 300 bytes") << (wireHeader(magic, 300, 2) + QByteArray(302, 'a')).toHex() << 1;
        QTest::newRow("NUL inside the name") << (wireHeader(magic, 6, 0) + QByteArray("a\0\0\0b\0", 6)).toHex() << 1;
        QTest::newRow("full area without terminator") << (header(4096) + QByteArray(4096, 'x')).toHex() << 1;
        QTest::newRow("slow but valid") << requestFrame(QStringLiteral("slow but valid")) << 0;
        QTest::newRow("another user's") << requestFrame(QStringLiteral("from nobody")) << 5;
    }
    void peersBreakingTheProtocol()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, exitCode);
        const bool foreign = exitCode == 5;
        if (foreign && ::geteuid() != 0)
            QSKIP("needs root to run a peer as another user");
        // Opened up on purpose, so that only the socket's own peer check stands in the way.
        const auto setModes = [&](mode_t outer, mode_t dir, mode_t sock) {
            return ::chmod(QFile::encodeName(m_env.root()).constData(), outer) == 0
                && ::chmod(QFile::encodeName(m_env.runtimeDir()).constData(), outer) == 0
                && ::chmod(QFile::encodeName(channelDir()).constData(), dir) == 0
                && ::chmod(QFile::encodeName(socketOf(Shared)).constData(), sock) == 0;
        };
        QProcessEnvironment env = m_env.environment();
        if (foreign)
            env.insert(QStringLiteral("ULXHOSTPEER_UID"), QStringLiteral("65534"));
        // The valid one sends the rest of its bytes well within the deadline.
        const QString pause = QString::number(exitCode == 0 ? m_deadlineMs / 3 : 0);
        const QStringList args{"raw", socketOf(Shared), QString::fromLatin1(bytes), pause};
        QVERIFY(!foreign || setModes(0711, 0777, 0666));
        Peer peer(args, env);
        QVERIFY(!peer.waitLine(QStringLiteral("^sent$")).isEmpty());
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(sendText(Shared, Largest), Largest);
        QVERIFY2(timer.elapsed() < m_deadlineMs / 2, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(peer.finish(), exitCode);
        QVERIFY(!foreign || setModes(0700, 0700, 0600));
        m_sharedRefusals += exitCode != 0;
        // Read as it comes: a full pipe would hold the server up.
        QCOMPARE(m_shared->messages().last(), exitCode ? Largest : QStringLiteral("slow but valid"));
    }

    // One channel through its life: fifty starts elect one server, a hand-over, a frozen
    // server, a released server that ended, a killed one and one that ends inside its handler.
    void oneChannelThroughItsLife()
    {
        const QString channel = newChannel();
        std::vector<std::unique_ptr<Peer>> peers;
        for (int i = 0; i < 50; ++i)
            peers.push_back(std::make_unique<Peer>(QStringList{"start", channel, QString::number(i)}, m_env.environment()));
        Peer *first = nullptr;
        for (int i = 0; i < 50; ++i) {
            if (peers[i]->role() == QLatin1String("server")) {
                QVERIFY2(!first, "a second server");
                first = peers[i].get();
            } else { // a client that delivered its payload and ended
                QCOMPARE(peers[i]->finish(30000), 0);
                QCOMPARE(peers[i]->lines().last(), "reply " + QString::number(i));
            }
        }
        QVERIFY(first);
        QTRY_COMPARE_WITH_TIMEOUT(first->messages().size(), 50, KTestEnv::scaled(10000));
        QStringList received = first->messages();
        QCOMPARE(received.removeDuplicates(), 0); // each payload once, none twice

        // Released: a line sent before the successor serves waits for it.
        QCOMPARE(sendText(channel, QStringLiteral("release")), QStringLiteral("release"));
        QVERIFY(!first->waitLine(QStringLiteral("^released$")).isEmpty());
        Peer gapSender({"send", channel, "in the gap"}, m_env.environment());
        QTest::qWait(150);
        QCOMPARE(gapSender.state(), QProcess::Running);
        auto successor = startServer(channel);
        QVERIFY(successor);
        QCOMPARE(gapSender.finish(), 0);
        QTRY_COMPARE(successor->messages(), QStringList{"in the gap"});
        QCOMPARE(terminate(*first), 0);
        QVERIFY(!first->messages().contains(QStringLiteral("in the gap")));

        // Frozen: the sender times out on its own thread; the thawed server drops the line it gave up on.
        ::kill(pid_t(successor->processId()), SIGSTOP);
        siginfo_t stopped{}; // the signal takes effect asynchronously; WNOWAIT leaves the state to QProcess
        QCOMPARE(::waitid(P_PID, id_t(successor->processId()), &stopped, WSTOPPED | WNOWAIT), 0);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(sendText(channel, QStringLiteral("frozen"), 300).isNull());
        const qint64 ms = timer.elapsed();
        QVERIFY2(ms >= 290 && ms < KTestEnv::scaled(1500), qPrintable(QString::number(ms)));
        QCOMPARE(g_timeout.calls, 1);
        QCOMPARE(g_timeout.thread, std::this_thread::get_id());
        QCOMPARE(g_timeout.target, channel);
        ::kill(pid_t(successor->processId()), SIGCONT);
        QVERIFY(!successor->waitLine("refused a peer: sender gave up before its request was dispatched").isEmpty());

        // Released and ended: its hand-over file promises nobody any more.
        g_timeout = TimeoutRecord();
        QCOMPARE(sendText(channel, QStringLiteral("release")), QStringLiteral("release"));
        QVERIFY(!successor->waitLine(QStringLiteral("^released$")).isEmpty());
        QVERIFY(QFileInfo::exists(channelDir() + QLatin1Char('/') + channel + ".handover"));
        QCOMPARE(terminate(*successor), 1);
        QCOMPARE(successor->messages(), (QStringList{"in the gap", "release"}));
        QVERIFY(failsAtOnce(channel));
        QVERIFY2(m_env.logText().contains(" WARNING KHostTransport KHostTransport::sendMessage " + channel
                                          + ": not delivered: nobody serves the channel"),
                 qPrintable(m_env.logText()));

        // Killed: its socket stays behind; a send fails at once and a new start serves at once.
        auto third = startServer(channel);
        QVERIFY(third);
        ::kill(pid_t(third->processId()), SIGKILL);
        third->finish();
        QVERIFY(QFileInfo::exists(socketOf(channel)));
        QVERIFY(failsAtOnce(channel));
        timer.restart();
        auto last = startServer(channel);
        QVERIFY(last && timer.elapsed() < KTestEnv::scaled(3000));
        // A server that calls prepareExit inside its handler drops the connection, ends and leaves the channel free.
        QVERIFY(sendText(channel, QStringLiteral("exit")).isNull());
        QCOMPARE(last->finish(), 0);
        QVERIFY(!QFileInfo::exists(socketOf(channel)));
        timer.restart(); // the election alone, without a process start
        QVERIFY(KHostTransport(channel).isChannelServer());
        QVERIFY(timer.nsecsElapsed() < KTestEnv::scaled(100) * 1000000LL);
    }

    // The service's own transport: the receive thread, withdrawing a receiver, and the way out.
    void receiverInThisProcess()
    {
        const QString channel = newChannel();
        auto host = std::make_unique<KHostTransport>(channel);
        QVERIFY(host->isChannelServer());
        host->registerReceiver(Transmission, nullptr, replyOk);
        QCOMPARE(sendText(channel, QStringLiteral("first")), QStringLiteral("ok"));
        QVERIFY(g_handlerThread.load() != std::thread::id() && g_handlerThread.load() != std::this_thread::get_id());

        // The service withdraws its receiver before it destroys the receiver's
        // context: a call already running on the receive thread must be over by then.
        std::atomic<int> stage = 0;
        host->registerReceiver(Transmission, &stage, replyOk);
        std::thread sender([&] { sendText(channel, QStringLiteral("slow")); });
        QTRY_COMPARE_WITH_TIMEOUT(stage.load(), 1, KTestEnv::scaled(5000));
        host->registerReceiver(Transmission, nullptr, nullptr);
        QCOMPARE(stage.load(), 2);
        sender.join();
        QCOMPARE(sendText(channel, QStringLiteral("late")), QStringLiteral("error"));

        // prepareExit from another thread; destruction afterwards does not hang.
        host->registerReceiver(Transmission, nullptr, replyOk);
        std::thread([&host] { host->prepareExit(0); }).join();
        QVERIFY(!QFileInfo::exists(socketOf(channel)));
        QVERIFY(!host->isChannelServer());
        // Still ours until the process ends: a sender waits for it rather than failing at once.
        QVERIFY(sendText(channel, QStringLiteral("after"), 150).isNull());
        QCOMPARE(g_timeout.calls, 1);
        host.reset(); // joins the parked receive thread
        QVERIFY(KHostTransport(channel).isChannelServer());
    }

    // Where two starts meet, for runtime directories that are missing, wide, foreign, squatted, long or
    // unusable. When the directory or its files are taken away (logind removes the runtime directory when
    // the user's last session ends, tmpfiles ages /tmp, people delete files), the channel comes back within
    // the settling time, by the old server or by a new one, never by both.
    void runtimeDirs_data()
    {
        QTest::addColumn<QString>("xdg");      // XDG_RUNTIME_DIR below the world's root; empty: unset
        QTest::addColumn<QString>("setup");    // sh on $XDG, $TMP (the fallback's parent), $FALLBACK, $ELSEWHERE
        QTest::addColumn<QString>("servedIn"); // "xdg", "fallback", "private" (the fallback with a key) or "none"
        QTest::addColumn<QString>("damage");   // sh on $DIR once the first start serves
        QTest::newRow("absent: made 0700") << "r1" << "mkdir $XDG" << "xdg" << "";
        QTest::newRow("ours with mode 0777: narrowed") << "r2" << "mkdir -p -m 777 $XDG/ulxcloudsvr" << "xdg" << "";
        QTest::newRow("socket path beyond 108 bytes") << "r3/" + QString(120, 'r') << "mkdir -p $XDG" << "xdg" << "";
        QTest::newRow("a link in place of ours")
            << "r4" << "mkdir $XDG; ln -s $ELSEWHERE $XDG/ulxcloudsvr" << "fallback" << "";
        QTest::newRow("XDG_RUNTIME_DIR missing") << "r6" << "" << "fallback" << "";
        QTest::newRow("XDG_RUNTIME_DIR of another user") << "r7" << "mkdir $XDG; chown 65534 $XDG" << "fallback" << "";
        QTest::newRow("XDG_RUNTIME_DIR not writable") << "r8" << "mkdir -m 500 $XDG" << "fallback" << "";
        QTest::newRow("fallback made by another user")
            << "" << "mkdir $FALLBACK; chown 65534 $FALLBACK" << "private" << "";
        QTest::newRow("fallback is a link") << "" << "ln -s $ELSEWHERE $FALLBACK" << "private" << "";
        QTest::newRow("nowhere to serve") << "r9" << "mkdir $XDG; touch $XDG/ulxcloudsvr; rmdir $TMP; touch $TMP"
                                          << "none" << "";
        QTest::newRow("directory removed") << "r" << "mkdir $XDG" << "xdg" << "rm -r $DIR";
        QTest::newRow("directory removed, a start at once") << "r" << "mkdir $XDG" << "xdg" << "rm -r $DIR";
        QTest::newRow("socket replaced by a regular file")
            << "r" << "mkdir $XDG" << "xdg" << "rm $DIR/UlxCloudSvr.sock; touch $DIR/UlxCloudSvr.sock";
        QTest::newRow("lock replaced")
            << "r" << "mkdir $XDG" << "xdg" << "rm $DIR/UlxCloudSvr.lock; touch $DIR/UlxCloudSvr.lock";
    }
    void runtimeDirs()
    {
        QFETCH(QString, xdg);
        QFETCH(QString, setup);
        QFETCH(QString, servedIn);
        QFETCH(QString, damage);
        if (setup.contains("chown") && ::geteuid() != 0)
            QSKIP("needs root to give a directory to another user");
        if (setup.contains("-m 500") && ::geteuid() == 0)
            QSKIP("root may write anywhere");
        const QString base = m_env.root() + QLatin1Char('/') + QString::number(++m_channelCounter);
        const QString tmp = base + "/tmp", fallback = tmp + QStringLiteral("/ulxcloudsvr-%1").arg(::geteuid());
        QVERIFY(QDir().mkpath(tmp) && ::chmod(QFile::encodeName(tmp).constData(), 01777) == 0);
        QVERIFY(QDir().mkpath(base + "/elsewhere"));
        setup.replace("$XDG", base + '/' + xdg).replace("$TMP", tmp).replace("$FALLBACK", fallback);
        QCOMPARE(QProcess::execute("/bin/sh", {"-ec", setup.replace("$ELSEWHERE", base + "/elsewhere")}), 0);
        QProcessEnvironment env = m_env.environment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), base + '/' + xdg);
        if (xdg.isEmpty())
            env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        env.insert(QStringLiteral("ULX_RUNTIME_FALLBACK_PARENT"), tmp);

        Peer first({"start", "UlxCloudSvr", "first"}, env);
        if (servedIn == "none") { // every refused election says why, through the transport's logging category
            QCOMPARE(first.finish(), 2);
            const QString log = first.lines().join('\n');
            QVERIFY2(log.contains(QRegularExpression("ulx.host.transport: .*not serving: no usable runtime directory")),
                     qPrintable(log));
            return;
        }
        QCOMPARE(first.role(), QStringLiteral("server"));
        QString dir = servedIn == "xdg" ? base + '/' + xdg + "/ulxcloudsvr" : fallback;
        if (servedIn == "private") {
            const QStringList keyed = QDir(tmp).entryList({QFileInfo(fallback).fileName() + "-*"}, QDir::Dirs);
            QCOMPARE(keyed.size(), 1);
            dir = tmp + QLatin1Char('/') + keyed.first();
            QVERIFY(first.lines().join('\n').contains("skipping " + fallback));
        }
        QTRY_VERIFY(first.messages().contains("first"));
        QCOMPARE(QProcess::execute("/bin/sh", {"-ec", "umask 077; " + damage.replace("$DIR", dir)}), 0);
        if (!damage.isEmpty() && !QByteArray(QTest::currentDataTag()).endsWith("at once")) // taken back first
            QTRY_VERIFY_WITH_TIMEOUT(Peer({"send", "UlxCloudSvr", "back"}, env).finish() == 0, KTestEnv::scaled(2000));
        Peer second({"start", "UlxCloudSvr", "second"}, env);
        Peer *server = &first;
        if (second.role() == QLatin1String("server")) { // the first gave the channel up and ended
            QCOMPARE(first.finish(), 0);
            server = &second;
        } else {
            QCOMPARE(second.finish(), 0);
            QVERIFY(second.lines().contains("reply second"));
        }
        QTRY_VERIFY(server->messages().contains("second"));

        const auto mode = [](const QString &path) { return int(QFileInfo(path).permissions() & 0x777); };
        QCOMPARE(mode(dir), 0x700);
        QCOMPARE(mode(dir + "/UlxCloudSvr.lock"), 0x600);
        QCOMPARE(mode(dir + "/UlxCloudSvr.sock"), 0x600); // an ended old server left the new socket alone
        const auto everything = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden;
        QVERIFY(QDir(base + "/elsewhere").isEmpty(everything));
        QCOMPARE(terminate(*server), 0);
        QVERIFY(!QFileInfo::exists(dir + "/UlxCloudSvr.sock"));
    }

    // A second fatal signal while the crash handler waits for the dumper (here the dumper sends it, as a
    // failing dump's abort or another thread's fault would come) waits until the first has ended the
    // process: one dump, the first signal noted.
    void crashHandlerSecondSignalWaits()
    {
        const int first = SIGSEGV; // the dumper sends SIGABRT
        const QString record = m_env.root() + QStringLiteral("/dumper-starts");
        // argv: -pid=<pid> -tid=0 -exp=<signal> -callfrom=1 -upload=1
        const QString dumper = QStringLiteral("#!/bin/sh\necho \"$3\" >> '%1'\n"
                                              "[ \"$3\" = -exp=%2 ] && kill -%3 \"${1#-pid=}\"\nsleep 0.2\n");
        const QByteArray script = dumper.arg(record).arg(first).arg(SIGABRT).toUtf8();
        QVERIFY(ktest::writeFile(m_env.root() + QStringLiteral("/office/kcrashdumper"), script, true));
        QProcess crashee;
        crashee.setProcessEnvironment(m_env.environment());
        crashee.start(KTestEnv::binPath(QStringLiteral("tst_crashhandler_crashee")), {QString::number(first)});
        QVERIFY(crashee.waitForStarted(KTestEnv::scaled(5000)));
        const qint64 pid = crashee.processId();
        QVERIFY(crashee.waitForFinished(KTestEnv::scaled(15000)));
        QCOMPARE(crashee.exitStatus(), QProcess::CrashExit);
        QCOMPARE(crashee.exitCode(), first);
        QCOMPARE(ktest::readLines(record), QStringList{QStringLiteral("-exp=%1").arg(first)});
        const QString note = m_env.stateHome() + QStringLiteral("/ulxcloudsvr/crashed-%1").arg(pid);
        QCOMPARE(ktest::readFile(note), QByteArray::number(first));
    }
};

QTEST_GUILESS_MAIN(TestHostTransport)
#include "tst_hosttransport.moc"
