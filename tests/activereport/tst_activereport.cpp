// The activity reporters and who they say sends them: packing and counting, the
// heartbeat slot, the order of the SDK calls, the library's places, the DYN1
// record at a loopback collector (read by the server and by ulxinfodecode), the
// simple daily event, the UUID and hardware identifier of the reports, and real
// service processes reporting through both SDK places.

#include "hdid/khdidmanager.h"
#include "platform/namedmutex.h"
#include "platform/registry/kregsettings.h"
#include "reportcore/kinfocollect.h"
#include "reportcore/knettransfer.h"
#include "report/kxulxcloudsvrrepactive.h"
#include "report/kxulxcloudsvrsimplereportactive.h"
#include "suite/krt.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>
#include <QtEndian>

#include <memory>

namespace {

const QString Guid = QStringLiteral("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
const QString Dyn = QStringLiteral("/ulxv6internet/cloudsvrdyn");
// An action beyond Latin-1: it reaches the SDK as UTF-8 and reads back the same.
const QString Action = QStringLiteral("b\u00fcro-\u684c\u9762");

template<typename T>
QString leHex(T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian(value, bytes);
    return QString::fromLatin1(QByteArray(bytes, sizeof(T)).toHex());
}

QString hex(const QString &text)
{
    return QString::fromLatin1(text.toUtf8().toHex());
}

} // namespace

class TestActiveReport : public QObject
{
    Q_OBJECT
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KTestServer> m_server;
    std::unique_ptr<KRegSettings> m_settings;
    std::unique_ptr<KRegSettings> m_common;

    void configure(const QMap<QString, QString> &more = {})
    {
        QMap<QString, QString> ini{{"Installation/Features", "UlxCloudsvrReportActive"},
                                   {"Installation/Version", "11.1.0.9999"},
                                   {"Installation/DistribNumber", "123.456"},
                                   {"Servers/DynReportSvr", m_server->url(QString())},
                                   {"Servers/DefaultInfoCollectSvr", m_server->url(QStringLiteral("/ulxv6internet/infos.ads"))}};
        ini.insert(more);
        m_env->writeInstallConfig(ini);
        krt::reload();
    }

    // A reporter whose SDK is looked for in `dir` (no plugin catalogued), started with `commandLine`.
    static std::unique_ptr<KxUlxCloudsvrRepActive> loaded(const QString &dir, const QString &commandLine)
    {
        auto reporter = std::make_unique<KxUlxCloudsvrRepActive>();
        reporter->setModuleDir(dir);
        reporter->start(commandLine);
        reporter->onPluginLoadFinished(KPluginGetter::PluginNotFound);
        return reporter;
    }

    QString office() const { return m_env->root() + QStringLiteral("/office"); }

private Q_SLOTS:
    void initTestCase()
    {
        for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
            qunsetenv(name);
        m_env = std::make_unique<KTestEnv>();
        m_server = std::make_unique<KTestServer>(m_env->root() + QStringLiteral("/server"));
        QVERIFY(m_server->isRunning());
        m_settings = std::make_unique<KRegSettings>(KxUlxCloudsvrRepActive::settingsKey());
        m_common = std::make_unique<KRegSettings>(QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\Common"));
        m_common->setValue(QStringLiteral("infoGUID"), Guid);
        configure();
    }

    void cleanupTestCase() { ulx::report::finishSending(0); }

    void packing_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<quint32>("packed");
        QTest::addColumn<QString>("distrib");
        QTest::addColumn<quint64>("distribPacked");
        QTest::newRow("four parts, two parts") << "11.1.0.9999" << quint32(742401807) << "123.456" << (quint64(456) << 32 | 123);
        QTest::newRow("three parts, no dot") << "11.1.0" << quint32(0) << "123" << quint64(0);
        QTest::newRow("empty parts") << "6...1" << quint32((6u << 26) | 1) << "." << quint64(0);
        QTest::newRow("unmasked high part") << "70.0.0.0" << quint32(70u << 26) << "1.2.3" << quint64(0);
    }

    void packing()
    {
        QFETCH(QString, version);
        QFETCH(quint32, packed);
        QFETCH(QString, distrib);
        QFETCH(quint64, distribPacked);
        QCOMPARE(KxUlxCloudsvrRepActive::packVersion(version), packed);
        QCOMPARE(KxUlxCloudsvrRepActive::packDistribNumber(distrib), distribPacked);
    }

    void startCount_data()
    {
        QTest::addColumn<QVariant>("stored"); // invalid: missing
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("written");
        QTest::newRow("missing") << QVariant() << 1 << 2;
        QTest::newRow("zero") << QVariant(0) << 1 << 2;
        QTest::newRow("65535") << QVariant(65535) << 65535 << 1;
        QTest::newRow("65534 wraps") << QVariant(65534) << 65534 << 0;
        QTest::newRow("beyond 16 bits") << QVariant(70000) << 4464 << 4465;
    }

    void startCount()
    {
        QFETCH(QVariant, stored);
        QFETCH(int, count);
        QFETCH(int, written);
        m_settings->remove(QStringLiteral("startcount"));
        if (stored.isValid())
            m_settings->setValue(QStringLiteral("startcount"), stored);
        QCOMPARE(int(KxUlxCloudsvrRepActive::advanceStartCount(*m_settings)), count);
        const QVariant after = m_settings->value(QStringLiteral("startcount"));
        QCOMPARE(after.metaType().id(), QMetaType::Int); // REG_DWORD
        QCOMPARE(after.toInt(), written);
    }

    void heartbeat_data()
    {
        QTest::addColumn<QStringList>("times"); // local "yyyy-MM-dd hh:mm"
        QTest::addColumn<QString>("sent");      // one letter per time
        QTest::newRow("00:59 then 01:00") << QStringList{"2026-03-01 00:59", "2026-03-01 01:00"} << "-y";
        QTest::newRow("twice in one day") << QStringList{"2026-03-01 01:10", "2026-03-01 01:40"} << "y-";
        QTest::newRow("02:00 alone") << QStringList{"2026-03-01 02:00"} << "-";
        QTest::newRow("across midnight") << QStringList{"2026-03-01 01:10", "2026-03-02 00:30", "2026-03-02 01:05"} << "y-y";
    }

    void heartbeat()
    {
        QFETCH(QStringList, times);
        QFETCH(QString, sent);
        int lastDay = -1;
        QString got;
        for (const QString &t : times) {
            const QDateTime at = QDateTime::fromString(t, QStringLiteral("yyyy-MM-dd hh:mm"));
            got += KxUlxCloudsvrRepActive::heartbeatDue(at, &lastDay) ? QLatin1Char('y') : QLatin1Char('-');
        }
        QCOMPARE(got, sent);
    }

    void switchedOff()
    {
        m_settings->setValue(QStringLiteral("switch"), 0);
        KxUlxCloudsvrRepActive reporter;
        reporter.start(QStringLiteral("ulxcloudsvr /start_from:x"));
        QVERIFY(!reporter.isEnabled());
        QVERIFY(!reporter.findChild<KPluginGetter *>());
        m_settings->remove(QStringLiteral("switch"));
        configure({{"Installation/Features", ""}});
        reporter.start(QString());
        QVERIFY(!reporter.isEnabled());
        configure();
        reporter.start(QString());
        QVERIFY(reporter.isEnabled());
        QVERIFY(reporter.findChild<KPluginGetter *>());
    }

    // The calls in their order, with an SDK that lacks one export: that call is
    // skipped, the others run; with collection disabled the SDK is fed but not asked
    // to send; the heartbeat is fed once at 01:xx.
    void sdkCallOrder()
    {
        const QString log = m_env->root() + QStringLiteral("/sdkcalls.log");
        qputenv("ULX_FAKE_DYNSDK_LOG", QFile::encodeName(log));
        m_settings->setValue(QStringLiteral("startcount"), 7);
        const auto reporter = loaded(KTestEnv::binPath(QStringLiteral("fakedynsdk")), "/start_from:" + Action + " /x");
        QVERIFY(reporter->isLibraryLoaded());
        QStringList calls = ktest::readLines(log);
        QCOMPARE(calls.size(), 12);
        QVERIFY(calls.at(6).startsWith(QStringLiteral("kAppDynAddData 17 ")));
        const QByteArray instanceBytes = QByteArray::fromHex(calls.at(6).section(' ', 2, 2).toLatin1());
        const quint32 instance = qFromLittleEndian<quint32>(instanceBytes.constData());
        QCOMPARE(instance & 0xFFFF, 7u); // the start count of this process
        QCOMPARE(m_settings->value(QStringLiteral("startcount")).toInt(), 8);
        calls.removeAt(6);
        QCOMPARE(calls, (QStringList{"kDynSdkSetParamStr 10 HKEY_CURRENT_USER\\SOFTWARE\\corvanta\\Office\\6.0\\Common",
                                     "kDynSdkSetParamStr 11 infoGUID", "kAppDynReset",
                                     "kAppDynSetServer " + m_server->url(Dyn),
                                     "kAppDynAddData 4 " + leHex<quint16>(4100) + " 0",
                                     "kAppDynAddData 9 " + leHex<quint32>(742401807) + " 0",
                                     "kAppDynAddData 64 01 0", "kAppDynAddData 129 " + hex(Action) + " 1",
                                     "kAppDynAddData 21 " + leHex<quint64>(quint64(456) << 32 | 123) + " 1",
                                     "kDynSdkInit", "kAppDynStartReport"}));

        QFile::remove(log);
        QDateTime now = QDateTime::fromString(QStringLiteral("2026-03-01 01:10"), QStringLiteral("yyyy-MM-dd hh:mm"));
        reporter->setClock([&now] { return now; });
        configure({{"Installation/DisableGlobalInfocollect", "true"}, {"Servers/DynReportSvr", ""}});
        reporter->onQueryRestartDelayed();
        calls = ktest::readLines(log);
        QCOMPARE(calls.size(), 10); // fed, not sent
        QVERIFY(calls.contains(QStringLiteral("kAppDynSetServer "))); // no endpoint configured: none given
        QVERIFY(calls.contains("kAppDynAddData 129 " + hex(QStringLiteral("amheartbeat")) + " 1"));
        QVERIFY(calls.contains("kAppDynAddData 17 " + leHex<quint32>(instance) + " 0")); // the same instance
        now = now.addSecs(30 * 60);
        reporter->onQueryRestartDelayed(); // the same day: nothing
        QCOMPARE(ktest::readLines(log).size(), 10);
        configure();
        qunsetenv("ULX_FAKE_DYNSDK_LOG");
    }

    // Where the SDK is looked for when the plugin is unknown: beside the module, then
    // in the office directory; missing in both, one log line.
    void libraryPlaces_data()
    {
        QTest::addColumn<bool>("besideModule");
        QTest::addColumn<bool>("inOffice");
        // First: a library once loaded stays loaded for the process, whatever happens to its file.
        QTest::newRow("missing") << false << false;
        QTest::newRow("beside the module") << true << false;
        QTest::newRow("office only") << false << true;
        QTest::newRow("present twice") << true << true;
    }

    void libraryPlaces()
    {
        QFETCH(bool, besideModule);
        QFETCH(bool, inOffice);
        const QString module = m_env->root() + QStringLiteral("/places/") + QLatin1String(QTest::currentDataTag());
        QDir().mkpath(module);
        QDir().mkpath(office());
        QFile::remove(office() + QStringLiteral("/libkdynsdk.so"));
        const QString fake = KTestEnv::binPath(QStringLiteral("fakedynsdk/libkdynsdk.so"));
        QVERIFY(!besideModule || QFile::copy(fake, module + QStringLiteral("/libkdynsdk.so")));
        QVERIFY(!inOffice || QFile::copy(fake, office() + QStringLiteral("/libkdynsdk.so")));
        const auto reporter = loaded(module, QString());
        QCOMPARE(reporter->isLibraryLoaded(), besideModule || inOffice);
        if (besideModule || inOffice)
            QVERIFY(reporter->libraryFileName().startsWith(besideModule ? module : office()));
        else
            QVERIFY(m_env->logText().contains(QStringLiteral("KxUlxCloudsvrRepActive::loadDynLib failed!")));
    }

    void simpleReport_data()
    {
        QTest::addColumn<QVariant>("switchValue"); // invalid: missing
        QTest::addColumn<int>("lastOffsetSec");    // relative to today's 00:00 local; 1: missing
        QTest::addColumn<bool>("sends");
        QTest::newRow("switch missing") << QVariant() << 1 << false;
        QTest::newRow("yesterday 23:59") << QVariant(true) << -60 << true;
        QTest::newRow("earlier today") << QVariant(true) << 30 << false;
        QTest::newRow("never") << QVariant(true) << 1 << true;
    }

    void simpleReport()
    {
        QFETCH(QVariant, switchValue);
        QFETCH(int, lastOffsetSec);
        QFETCH(bool, sends);
        m_settings->remove(QStringLiteral("simplereportswitch"));
        m_settings->remove(QStringLiteral("lastsimpleactivetime"));
        if (switchValue.isValid())
            m_settings->setValue(QStringLiteral("simplereportswitch"), switchValue);
        const qint64 midnight = QDateTime(QDate::currentDate(), QTime(0, 0)).toSecsSinceEpoch();
        if (lastOffsetSec != 1)
            m_settings->setValue(QStringLiteral("lastsimpleactivetime"), int(midnight + lastOffsetSec));
        const QVariant lastBefore = m_settings->value(QStringLiteral("lastsimpleactivetime"));
        // A stored identifier of today: the report takes it without computing.
        const QString hd = QStringLiteral("00112233445566778899aabbccddeeff");
        m_common->setValue(QStringLiteral("InfoHD2"), hd);
        m_common->setValue(QStringLiteral("InfoHD2t"), QDateTime::currentDateTimeUtc().date().day());

        const QString path = QStringLiteral("/ulxv6internet/infos.ads");
        const int before = m_server->recordsAt(path).size();
        QObject parent;
        KxUlxCloudsvrSimpleReportActive report(&parent);
        report.run();
        if (!sends) {
            QTest::qWait(300);
            QCOMPARE(m_server->recordsAt(path).size(), before);
            QCOMPARE(m_settings->value(QStringLiteral("lastsimpleactivetime")), lastBefore);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(m_server->recordsAt(path).size() > before, KTestEnv::scaled(5000));
        const auto pairs = KTestServer::pairsOf(m_server->recordsAt(path).at(before));
        QVERIFY(pairs.value(QStringLiteral("p0")).contains(QLatin1Char('|') + hd + QLatin1Char('|')));
        QCOMPARE(pairs, (QMap<QString, QString>{{"dm", "/ulx/client/plugins"}, {"action", "ulxcloudsvr_simple_active"},
                                                {"pnum", "4"}, {"p0", pairs.value(QStringLiteral("p0"))},
                                                {"p1", "11.1.0.9999"}, {"p2", "123.456"}, {"p3", hd}}));
        const QVariant last = m_settings->value(QStringLiteral("lastsimpleactivetime"));
        QCOMPARE(last.metaType().id(), QMetaType::Int); // REG_DWORD
        QVERIFY(qAbs(last.toLongLong() - QDateTime::currentSecsSinceEpoch()) < 60);
    }

    // The UUID in its one form whatever the store holds; garbage or nothing gives a fresh one, stored as text.
    void uuidForms_data()
    {
        QTest::addColumn<QVariant>("stored"); // invalid: missing
        QTest::addColumn<bool>("kept");
        QTest::newRow("text") << QVariant(QStringLiteral("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9")) << true;
        QTest::newRow("braced, upper case") << QVariant(Guid) << true;
        QTest::newRow("digits alone") << QVariant(QStringLiteral("0A1B2C3D4E5F60718293A4B5C6D7E8F9")) << true;
        QTest::newRow("binary, 16 bytes") << QVariant(QByteArray::fromHex("0a1b2c3d4e5f60718293a4b5c6d7e8f9")) << true;
        QTest::newRow("binary text") << QVariant(QByteArray("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9")) << true;
        QTest::newRow("binary garbage") << QVariant(QByteArray("\x01\xff\x00\x7f", 4)) << false;
        QTest::newRow("text garbage") << QVariant(QStringLiteral("not|a&uuid")) << false;
        QTest::newRow("missing") << QVariant() << false;
    }

    void uuidForms()
    {
        QFETCH(QVariant, stored);
        QFETCH(bool, kept);
        m_common->remove(QStringLiteral("InfoUUID"));
        if (stored.isValid())
            m_common->setValue(QStringLiteral("InfoUUID"), stored);
        InfoCollectContext context;
        const QString got = context.collectDetail6();
        if (kept) {
            QCOMPARE(got, QStringLiteral("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9"));
            QCOMPARE(m_common->value(QStringLiteral("InfoUUID")), stored); // the store is left as it was
        } else {
            static const QRegularExpression form(
                QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
            QVERIFY2(form.match(got).hasMatch(), qPrintable(got));
            QCOMPARE(m_common->value(QStringLiteral("InfoUUID")).toString(), got);
        }
    }

    // Nothing stored, and another process of the user busy with the hardware identifier:
    // the event goes at once without it, and a later one carries it.
    void hardwareIdOnFirstUse()
    {
        m_common->remove(QStringLiteral("InfoHD2"));
        m_common->remove(QStringLiteral("InfoHD2t"));
        QProcess holder;
        QVERIFY(ktest::startLockHolder(holder, ulx::namedmutex::filePath(QString::fromLatin1(ulx::hdid::MutexName))));
        InfoCollectContext context;
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(context.collectDetail5(), QString());
        QVERIFY(context.identity().contains(QLatin1String("||")));
        QVERIFY(timer.elapsed() < KTestEnv::scaled(1000));
        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(KTestEnv::scaled(10000)));
        QTRY_VERIFY_WITH_TIMEOUT(!context.collectDetail5().isEmpty(), KTestEnv::scaled(5000));
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(context.collectDetail5()).hasMatch());
        QCOMPARE(m_common->value(QStringLiteral("InfoHD2")).toString(), context.collectDetail5());
    }

    // Real services: the report goes out through the SDK beside the service's module
    // (no plugin catalogued), or through the catalogued plugin "kdynsdk", from the
    // SDK's own thread; the six fields as sent, read by the server and by
    // ulxinfodecode alike.
    void serviceReports_data()
    {
        QTest::addColumn<bool>("catalogued");
        QTest::newRow("beside the module") << false;
        QTest::newRow("catalogued plugin") << true;
    }

    void serviceReports()
    {
        QFETCH(bool, catalogued);
        KTestEnv world;
        m_common->setValue(QStringLiteral("infoGUID"), Guid);
        QMap<QString, QString> ini{{"Installation/Features", "UlxCloudsvrReportActive"},
                                   {"Installation/Version", "11.1.0.9999"},
                                   {"Installation/DistribNumber", "123.456"},
                                   {"Installation/PluginsDir", world.root() + QStringLiteral("/plugins")},
                                   {"Servers/DynReportSvr", m_server->url(QString())}};
        if (catalogued)
            ini.insert(QStringLiteral("Installation/PluginCatalog"),
                       KTestEnv::binPath(QStringLiteral("plugins/catalogue.json")));
        world.writeInstallConfig(ini);
        const QString from = Action + QLatin1String(catalogued ? "-plugin" : "-module");
        const int before = m_server->recordsAt(Dyn).size();
        ktest::KService service(world);
        QVERIFY(service.start({QStringLiteral("/start_from:") + from}));
        QTRY_VERIFY_WITH_TIMEOUT(m_server->recordsAt(Dyn).size() > before, KTestEnv::scaled(15000));
        const QString maps = QString::fromLatin1(ktest::readFile(QStringLiteral("/proc/%1/maps").arg(service.pid())));
        const QString expected = catalogued ? world.root() + QStringLiteral("/plugins/kdynsdk/libkdynsdk.so")
                                            : KTestEnv::binPath(QStringLiteral("libkdynsdk.so"));
        QVERIFY2(maps.contains(expected), qPrintable(expected));
        QVERIFY(service.stop());

        const QJsonObject record = m_server->recordsAt(Dyn).at(before);
        const QJsonObject dyn = record.value(QStringLiteral("dyn")).toObject();
        QCOMPARE(dyn.value(QStringLiteral("guid")).toString(), Guid);
        QCOMPARE(dyn.value(QStringLiteral("meta")).toString(), QStringLiteral("01"));
        const QJsonArray fields = dyn.value(QStringLiteral("fields")).toArray();
        QStringList got; // "id flag hex"; the instance (17) differs from run to run
        for (const QJsonValue &f : fields)
            got << QStringLiteral("%1 %2 %3").arg(f[0].toInt()).arg(f[1].toInt())
                       .arg(f[0].toInt() == 17 ? "-" : f[2].toString());
        QCOMPARE(got, (QStringList{"4 0 " + leHex<quint16>(4100), "9 0 " + leHex<quint32>(742401807), "17 0 -", "64 0 01",
                                   "129 1 " + hex(from), "21 1 " + leHex<quint64>(quint64(456) << 32 | 123)}));
        QProcess decode;
        decode.start(KTestEnv::binPath(QStringLiteral("ulxinfodecode")));
        decode.write("?" + record.value(QStringLiteral("query")).toString().toUtf8() + "\n");
        decode.closeWriteChannel();
        QVERIFY(decode.waitForFinished(KTestEnv::scaled(5000)));
        const QJsonObject decoded =
            QJsonDocument::fromJson(decode.readAllStandardOutput()).object()[QStringLiteral("dyn")].toObject();
        QCOMPARE(decoded.value(QStringLiteral("guid")).toString(), Guid);
        QStringList values;
        for (const QJsonValue &f : decoded.value(QStringLiteral("fields")).toArray())
            values << f[QStringLiteral("value")].toVariant().toString();
        const QByteArray instance = QByteArray::fromHex(fields[2][2].toString().toLatin1());
        QCOMPARE(values, (QStringList{"4100", "742401807", QString::number(qFromLittleEndian<quint32>(instance.constData())),
                                      "1", from, QString::number(quint64(456) << 32 | 123)}));
    }
};

QTEST_GUILESS_MAIN(TestActiveReport)
#include "tst_activereport.moc"
