// The activity reporters: packing and counting, the heartbeat slot, the order of
// the SDK calls, the library's places, the DYN1 record at a loopback collector
// (decoded by the server's own reader and by ulxinfodecode), the simple daily
// event, and real service processes reporting through both SDK places.

#include "platform/registry/kregsettings.h"
#include "reportcore/knettransfer.h"
#include "report/kxulxcloudsvrrepactive.h"
#include "report/kxulxcloudsvrsimplereportactive.h"
#include "suite/krt.h"
#include "tests/common/ktestserver.h"
#include "tests/common/kworld.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>
#include <QtEndian>

#include <memory>

namespace {

const QString CommonKey = QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\Common");
const QString Guid = QStringLiteral("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");

template<typename T>
QString leHex(T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian(value, bytes);
    return QString::fromLatin1(QByteArray(bytes, sizeof(T)).toHex());
}

using ktest::readLines;

} // namespace

class TestActiveReport : public QObject
{
    Q_OBJECT
    std::unique_ptr<KTestEnv> m_env;
    std::unique_ptr<KTestServer> m_server;

    void configure(const QMap<QString, QString> &more = {})
    {
        QMap<QString, QString> ini{{"Installation/Features", "UlxCloudsvrReportActive"},
                                   {"Installation/Version", "11.1.0.9999"},
                                   {"Installation/DistribNumber", "123.456"},
                                   {"Servers/DynReportSvr", m_server->url(QString())},
                                   {"Servers/DefaultInfoCollectSvr", m_server->url(QStringLiteral("/ulxv6internet/infos.ads"))}};
        for (auto it = more.cbegin(); it != more.cend(); ++it)
            ini.insert(it.key(), it.value());
        m_env->writeInstallConfig(ini);
        krt::reload();
    }

    QList<QJsonObject> recordsAt(const QString &path) const { return m_server->recordsAt(path); }
    QString office() const { return m_env->root() + QStringLiteral("/office"); }

private Q_SLOTS:
    void initTestCase()
    {
        for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
            qunsetenv(name);
        m_env = std::make_unique<KTestEnv>();
        m_server = std::make_unique<KTestServer>(m_env->root() + QStringLiteral("/server"));
        QVERIFY(m_server->isRunning());
        KRegSettings(CommonKey).setValue(QStringLiteral("infoGUID"), Guid);
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
        KRegSettings s(KxUlxCloudsvrRepActive::settingsKey());
        s.remove(QStringLiteral("startcount"));
        if (stored.isValid())
            s.setValue(QStringLiteral("startcount"), stored);
        QCOMPARE(int(KxUlxCloudsvrRepActive::advanceStartCount(s)), count);
        const QVariant after = s.value(QStringLiteral("startcount"));
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
        for (const QString &t : times)
            got += KxUlxCloudsvrRepActive::heartbeatDue(QDateTime::fromString(t, QStringLiteral("yyyy-MM-dd hh:mm")), &lastDay)
                ? QLatin1Char('y') : QLatin1Char('-');
        QCOMPARE(got, sent);
    }

    void switchedOff()
    {
        KRegSettings(KxUlxCloudsvrRepActive::settingsKey()).setValue(QStringLiteral("switch"), 0);
        KxUlxCloudsvrRepActive reporter;
        reporter.start(QStringLiteral("ulxcloudsvr /start_from:x"));
        QVERIFY(!reporter.isEnabled());
        QVERIFY(!reporter.findChild<KPluginGetter *>());
        KRegSettings(KxUlxCloudsvrRepActive::settingsKey()).remove(QStringLiteral("switch"));
        configure({{"Installation/Features", ""}});
        reporter.start(QString());
        QVERIFY(!reporter.isEnabled());
        configure();
        reporter.start(QString());
        QVERIFY(reporter.isEnabled());
        QVERIFY(reporter.findChild<KPluginGetter *>());
    }

    // The seven calls in their order, with an SDK that lacks one export: that call is
    // skipped, the others run; with collection disabled the SDK is fed but not asked
    // to send; the heartbeat is fed once at 01:xx.
    void sdkCallOrder()
    {
        const QString log = m_env->root() + QStringLiteral("/sdkcalls.log");
        qputenv("ULX_FAKE_DYNSDK_LOG", QFile::encodeName(log));
        KRegSettings(KxUlxCloudsvrRepActive::settingsKey()).setValue(QStringLiteral("startcount"), 7);
        KxUlxCloudsvrRepActive reporter;
        reporter.setModuleDir(KTestEnv::binPath(QStringLiteral("fakedynsdk")));
        reporter.start(QStringLiteral("/start_from:desktop /x"));
        reporter.onPluginLoadFinished(KPluginGetter::PluginNotFound);
        QVERIFY(reporter.isLibraryLoaded());
        QStringList calls = readLines(log);
        QCOMPARE(calls.size(), 12);
        QCOMPARE(calls.mid(0, 5),
                 (QStringList{"kDynSdkSetParamStr 10 HKEY_CURRENT_USER\\SOFTWARE\\corvanta\\Office\\6.0\\Common",
                              "kDynSdkSetParamStr 11 infoGUID", "kAppDynReset",
                              "kAppDynSetServer " + m_server->url(QStringLiteral("/ulxv6internet/cloudsvrdyn")),
                              "kAppDynAddData 4 " + leHex<quint16>(4100) + " 0"}));
        QCOMPARE(calls.at(5), "kAppDynAddData 9 " + leHex<quint32>(742401807) + " 0");
        QVERIFY(calls.at(6).startsWith(QStringLiteral("kAppDynAddData 17 ")));
        const quint32 instance = qFromLittleEndian<quint32>(QByteArray::fromHex(calls.at(6).section(' ', 2, 2).toLatin1()).constData());
        QCOMPARE(instance & 0xFFFF, 7u); // the start count of this process
        QCOMPARE(KRegSettings(KxUlxCloudsvrRepActive::settingsKey()).value(QStringLiteral("startcount")).toInt(), 8);
        QCOMPARE(calls.mid(7), (QStringList{"kAppDynAddData 64 01 0",
                                            "kAppDynAddData 129 " + QString::fromLatin1(QByteArray("desktop").toHex()) + " 1",
                                            "kAppDynAddData 21 " + leHex<quint64>(quint64(456) << 32 | 123) + " 1",
                                            "kDynSdkInit", "kAppDynStartReport"}));

        QFile::remove(log);
        QDateTime now = QDateTime::fromString(QStringLiteral("2026-03-01 01:10"), QStringLiteral("yyyy-MM-dd hh:mm"));
        reporter.setClock([&now] { return now; });
        configure({{"Installation/DisableGlobalInfocollect", "true"}});
        reporter.onQueryRestartDelayed();
        calls = readLines(log);
        QCOMPARE(calls.size(), 10); // fed, not sent
        QVERIFY(calls.contains("kAppDynAddData 129 " + QString::fromLatin1(QByteArray("amheartbeat").toHex()) + " 1"));
        QVERIFY(calls.contains("kAppDynAddData 17 " + leHex<quint32>(instance) + " 0")); // the same instance
        now = now.addSecs(30 * 60);
        reporter.onQueryRestartDelayed(); // the same day: nothing
        QCOMPARE(readLines(log).size(), 10);
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
        QDir(module).removeRecursively();
        QDir().mkpath(module);
        QFile::remove(office() + QStringLiteral("/libkdynsdk.so"));
        QDir().mkpath(office());
        const QString fake = KTestEnv::binPath(QStringLiteral("fakedynsdk/libkdynsdk.so"));
        if (besideModule)
            QVERIFY(QFile::copy(fake, module + QStringLiteral("/libkdynsdk.so")));
        if (inOffice)
            QVERIFY(QFile::copy(fake, office() + QStringLiteral("/libkdynsdk.so")));
        KxUlxCloudsvrRepActive reporter;
        reporter.setModuleDir(module);
        reporter.onPluginLoadFinished(KPluginGetter::PluginNotFound);
        QCOMPARE(reporter.isLibraryLoaded(), besideModule || inOffice);
        if (besideModule)
            QVERIFY(reporter.libraryFileName().startsWith(module));
        else if (inOffice)
            QVERIFY(reporter.libraryFileName().startsWith(office()));
        else
            QVERIFY(m_env->logText().contains(QStringLiteral("KxUlxCloudsvrRepActive::loadDynLib failed!")));
    }

    // The real SDK stand-in: the record reaches the endpoint from the SDK's own
    // thread, the six fields as sent, read by the server and by ulxinfodecode alike.
    void recordAtEndpoint()
    {
        const int before = recordsAt(QStringLiteral("/ulxv6internet/cloudsvrdyn")).size();
        KxUlxCloudsvrRepActive reporter;
        reporter.setModuleDir(KTestEnv::binPath(QString()));
        reporter.start(QStringLiteral("/start_from:autorestart"));
        reporter.onPluginLoadFinished(KPluginGetter::PluginNotFound);
        QVERIFY(reporter.isLibraryLoaded());
        QTRY_VERIFY_WITH_TIMEOUT(recordsAt(QStringLiteral("/ulxv6internet/cloudsvrdyn")).size() > before, KTestEnv::scaled(5000));
        const QJsonObject record = recordsAt(QStringLiteral("/ulxv6internet/cloudsvrdyn")).at(before);
        const QJsonObject dyn = record.value(QStringLiteral("dyn")).toObject();
        QCOMPARE(dyn.value(QStringLiteral("guid")).toString(), Guid);
        QCOMPARE(dyn.value(QStringLiteral("meta")).toString(), QStringLiteral("01"));
        const QJsonArray fields = dyn.value(QStringLiteral("fields")).toArray();
        QStringList got; // "id flag hex"; the instance (17) differs from run to run
        for (const QJsonValue &f : fields)
            got << QStringLiteral("%1 %2 %3").arg(f[0].toInt()).arg(f[1].toInt()).arg(f[0].toInt() == 17 ? "-" : f[2].toString());
        QCOMPARE(got, (QStringList{"4 0 " + leHex<quint16>(4100), "9 0 " + leHex<quint32>(742401807), "17 0 -", "64 0 01",
                                   "129 1 " + QString::fromLatin1(QByteArray("autorestart").toHex()),
                                   "21 1 " + leHex<quint64>(quint64(456) << 32 | 123)}));

        QProcess decode;
        decode.start(KTestEnv::binPath(QStringLiteral("ulxinfodecode")));
        decode.write("?" + record.value(QStringLiteral("query")).toString().toUtf8() + "\n");
        decode.closeWriteChannel();
        QVERIFY(decode.waitForFinished(KTestEnv::scaled(5000)));
        const QJsonObject decoded = QJsonDocument::fromJson(decode.readAllStandardOutput()).object().value(QStringLiteral("dyn")).toObject();
        const QJsonArray values = decoded.value(QStringLiteral("fields")).toArray();
        QCOMPARE(values.size(), 6);
        QCOMPARE(values.at(0).toObject().value(QStringLiteral("value")).toInt(), 4100);
        QCOMPARE(values.at(1).toObject().value(QStringLiteral("value")).toInteger(), 742401807);
        QCOMPARE(values.at(2).toObject().value(QStringLiteral("hex")).toString(), fields.at(2).toArray().at(2).toString());
        QCOMPARE(values.at(3).toObject().value(QStringLiteral("value")).toInt(), 1);
        QCOMPARE(values.at(4).toObject().value(QStringLiteral("value")).toString(), QStringLiteral("autorestart"));
        QCOMPARE(values.at(5).toObject().value(QStringLiteral("value")).toString(), QString::number(quint64(456) << 32 | 123));
        QCOMPARE(decoded.value(QStringLiteral("guid")).toString(), Guid);
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
        KRegSettings s(KxUlxCloudsvrRepActive::settingsKey());
        s.remove(QStringLiteral("simplereportswitch"));
        s.remove(QStringLiteral("lastsimpleactivetime"));
        if (switchValue.isValid())
            s.setValue(QStringLiteral("simplereportswitch"), switchValue);
        const qint64 midnight = QDateTime(QDate::currentDate(), QTime(0, 0)).toSecsSinceEpoch();
        if (lastOffsetSec != 1)
            s.setValue(QStringLiteral("lastsimpleactivetime"), int(midnight + lastOffsetSec));
        const QVariant lastBefore = s.value(QStringLiteral("lastsimpleactivetime"));
        // A stored identifier of today: the report takes it without computing.
        KRegSettings common(CommonKey);
        common.setValue(QStringLiteral("InfoHD2"), QStringLiteral("00112233445566778899aabbccddeeff"));
        common.setValue(QStringLiteral("InfoHD2t"), QDateTime::currentDateTimeUtc().date().day());

        const QString path = QStringLiteral("/ulxv6internet/infos.ads");
        const int before = recordsAt(path).size();
        QObject parent;
        KxUlxCloudsvrSimpleReportActive report(&parent);
        report.run();
        if (sends) {
            QTRY_VERIFY_WITH_TIMEOUT(recordsAt(path).size() > before, KTestEnv::scaled(5000));
            const QJsonArray pairs = recordsAt(path).at(before).value(QStringLiteral("pairs")).toArray();
            QCOMPARE(pairs.size(), 7);
            QCOMPARE(pairs.at(0).toArray().at(1).toString(), QStringLiteral("/ulx/client/plugins"));
            QCOMPARE(pairs.at(1).toArray().at(1).toString(), QStringLiteral("ulxcloudsvr_simple_active"));
            QCOMPARE(pairs.at(2).toArray().at(1).toString(), QStringLiteral("4"));
            QVERIFY(pairs.at(3).toArray().at(1).toString().contains(QStringLiteral("|00112233445566778899aabbccddeeff|")));
            QCOMPARE(pairs.at(4).toArray().at(1).toString(), QStringLiteral("11.1.0.9999"));
            QCOMPARE(pairs.at(5).toArray().at(1).toString(), QStringLiteral("123.456"));
            QCOMPARE(pairs.at(6).toArray().at(1).toString(), QStringLiteral("00112233445566778899aabbccddeeff"));
            const qint64 last = s.value(QStringLiteral("lastsimpleactivetime")).toLongLong();
            QVERIFY(qAbs(last - QDateTime::currentSecsSinceEpoch()) < 60);
            QCOMPARE(s.value(QStringLiteral("lastsimpleactivetime")).metaType().id(), QMetaType::Int); // REG_DWORD
        } else {
            QTest::qWait(300);
            QCOMPARE(recordsAt(path).size(), before);
            QCOMPARE(s.value(QStringLiteral("lastsimpleactivetime")), lastBefore);
        }
    }

    // Real services: the report goes out through the SDK beside the service's
    // module (no plugin catalogued), or through the catalogued plugin "kdynsdk".
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
        QMap<QString, QString> ini{{"Installation/Features", "UlxCloudsvrReportActive"},
                                   {"Installation/PluginsDir", world.root() + QStringLiteral("/plugins")},
                                   {"Servers/DynReportSvr", m_server->url(QString())}};
        if (catalogued)
            ini.insert(QStringLiteral("Installation/PluginCatalog"), KTestEnv::binPath(QStringLiteral("plugins/catalogue.json")));
        world.writeInstallConfig(ini);
        const QString tag = QStringLiteral("/start_from:") + QLatin1String(catalogued ? "plugin" : "module");
        const int before = recordsAt(QStringLiteral("/ulxv6internet/cloudsvrdyn")).size();
        ktest::KService service(world);
        QVERIFY(service.start({tag}));
        QTRY_VERIFY_WITH_TIMEOUT(recordsAt(QStringLiteral("/ulxv6internet/cloudsvrdyn")).size() > before, KTestEnv::scaled(15000));
        const QString maps = QString::fromLatin1(readLines(QStringLiteral("/proc/%1/maps").arg(service.pid())).join('\n').toLatin1());
        const QString expected = catalogued ? world.root() + QStringLiteral("/plugins/kdynsdk/libkdynsdk.so")
                                            : KTestEnv::binPath(QStringLiteral("libkdynsdk.so"));
        QVERIFY2(maps.contains(expected), qPrintable(expected));
        QVERIFY(service.stop());
        const QJsonArray fields = recordsAt(QStringLiteral("/ulxv6internet/cloudsvrdyn")).at(before)
                                      .value(QStringLiteral("dyn")).toObject().value(QStringLiteral("fields")).toArray();
        QCOMPARE(fields.size(), 6);
        QCOMPARE(fields.at(4).toArray().at(2).toString(), QString::fromLatin1(tag.section(':', 1).toLatin1().toHex()));
    }
};

QTEST_GUILESS_MAIN(TestActiveReport)
#include "tst_activereport.moc"
