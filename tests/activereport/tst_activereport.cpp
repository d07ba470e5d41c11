// The activity reporters: the SDK from its places, DYN1 records at a loopback collector (read by the
// server and by ulxinfodecode), the heartbeat, the simple daily event and the identity reports carry.

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
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <QtEndian>
#include <QUuid>

#include <memory>

namespace {

const QString Guid = QStringLiteral("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
const QString Dyn = QStringLiteral("/ulxv6internet/cloudsvrdyn");
const QString Infos = QStringLiteral("/ulxv6internet/infos.ads");
// An action beyond Latin-1: it reaches the SDK as UTF-8 and reads back the same.
const QString Action = QStringLiteral("b\u00fcro-\u684c\u9762");

// A DYN1 record's fields as the server read them, "id flag hex"; the instance (17) varies: "-".
QStringList fieldsOf(const QJsonObject &record)
{
    QStringList got;
    for (const QJsonValue &f : record[QStringLiteral("dyn")][QStringLiteral("fields")].toArray())
        got << QStringLiteral("%1 %2 %3").arg(f[0].toInt()).arg(f[1].toInt())
                   .arg(f[0].toInt() == 17 ? QStringLiteral("-") : f[2].toString());
    return got;
}

// As sent (little-endian): application 4100, version 11.1.0.9999, instance, 1, action, distribution 123.456.
QStringList fieldsFor(const QString &action)
{
    const QString hex = QString::fromLatin1(action.toUtf8().toHex());
    return {"4 0 0410", "9 0 0f27402c", "17 0 -", "64 0 01", "129 1 " + hex, "21 1 7b000000c8010000"};
}

quint32 instanceOf(const QJsonObject &record)
{
    const QJsonValue field = record[QStringLiteral("dyn")][QStringLiteral("fields")][2];
    return qFromLittleEndian<quint32>(QByteArray::fromHex(field[2].toString().toLatin1()).constData());
}

} // namespace

class TestActiveReport : public QObject
{
    Q_OBJECT
    KTestEnv m_env;
    KTestServer m_server{m_env.root() + QStringLiteral("/server")};
    KRegSettings m_settings{KxUlxCloudsvrRepActive::settingsKey()};
    KRegSettings m_common{QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\Common")};

    void configure(const QMap<QString, QString> &more = {})
    {
        QMap<QString, QString> ini{{"Installation/Features", "UlxCloudsvrReportActive"},
                                   {"Installation/Version", "11.1.0.9999"},
                                   {"Installation/DistribNumber", "123.456"},
                                   {"Servers/DynReportSvr", m_server.url(QString())},
                                   {"Servers/DefaultInfoCollectSvr", m_server.url(Infos)}};
        ini.insert(more);
        m_env.writeInstallConfig(ini);
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

    // The record after the first `before` at the collector; an empty one if none came.
    QJsonObject nextRecord(int before) const
    {
        QTest::qWaitFor([&] { return m_server.recordsAt(Dyn).size() > before; }, KTestEnv::scaled(15000));
        return m_server.recordsAt(Dyn).value(before);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_server.isRunning());
        m_common.setValue(QStringLiteral("infoGUID"), Guid);
        configure();
    }

    void cleanupTestCase() { ulx::report::finishSending(0); }

    // Numbers that do not fit their form (a version for a distribution number too)
    // pack to 0; the start count wraps in 16 bits and is stored as a DWORD.
    void numbers_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<quint32>("packed");
        QTest::addColumn<QVariant>("stored"); // the start count; invalid: missing
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("written");
        QTest::newRow("three parts, missing") << "11.1.0" << 0u << QVariant() << 1 << 2;
        QTest::newRow("empty parts, 65535") << "6...1" << ((6u << 26) | 1) << QVariant(65535) << 65535 << 1;
        QTest::newRow("five parts, 65534 wraps") << "1.2.3.4.5" << 0u << QVariant(65534) << 65534 << 0;
        QTest::newRow("beyond 16 bits") << "" << 0u << QVariant(70000) << 4464 << 4465;
    }

    void numbers()
    {
        QFETCH(QString, version);
        QFETCH(quint32, packed);
        QFETCH(QVariant, stored);
        QFETCH(int, count);
        QFETCH(int, written);
        QCOMPARE(KxUlxCloudsvrRepActive::packVersion(version), packed);
        QCOMPARE(KxUlxCloudsvrRepActive::packDistribNumber(version), quint64(0));
        m_settings.remove(QStringLiteral("startcount"));
        if (stored.isValid())
            m_settings.setValue(QStringLiteral("startcount"), stored);
        QCOMPARE(int(KxUlxCloudsvrRepActive::advanceStartCount(m_settings)), count);
        const QVariant after = m_settings.value(QStringLiteral("startcount"));
        QCOMPARE(after.metaType().id(), QMetaType::Int); // REG_DWORD
        QCOMPARE(after.toInt(), written);
    }

    // The suite's SDK beside the module: the record with the action as given and this
    // process's start count in its instance; then the heartbeat, once a day at 01:xx,
    // fed but not sent while collection is off.
    void recordAndHeartbeat()
    {
        m_settings.setValue(QStringLiteral("startcount"), 7);
        int before = m_server.recordsAt(Dyn).size();
        const auto reporter = loaded(QCoreApplication::applicationDirPath(), "/start_from:" + Action + " /x");
        QVERIFY(reporter->isLibraryLoaded());
        const QJsonObject record = nextRecord(before);
        QCOMPARE(fieldsOf(record), fieldsFor(Action));
        const quint32 instance = instanceOf(record);
        QCOMPARE(instance & 0xFFFF, 7u);

        QDateTime now;
        reporter->setClock([&now] { return now; });
        before = m_server.recordsAt(Dyn).size();
        const QStringList steps{"2026-03-01 00:59", "2026-03-01 01:10 off", "2026-03-01 01:40",
                                "2026-03-02 01:05"};
        for (const QString &step : steps) {
            now = QDateTime::fromString(step.left(16), QStringLiteral("yyyy-MM-dd hh:mm"));
            if (step.endsWith(QLatin1String("off")))
                configure({{"Installation/DisableGlobalInfocollect", "true"}, {"Servers/DynReportSvr", ""}});
            reporter->onQueryRestartDelayed();
            configure();
        }
        const QJsonObject heartbeat = nextRecord(before);
        QCOMPARE(fieldsOf(heartbeat), fieldsFor(QStringLiteral("amheartbeat")));
        QCOMPARE(instanceOf(heartbeat), instance);
        QCOMPARE(m_server.recordsAt(Dyn).size(), before + 1);
    }

    // Off by its switch or without the feature. Where the SDK is looked for when the plugin
    // is unknown: beside the module, then in the office directory; missing in both, one log
    // line. (A library once loaded stays loaded for the process, whatever happens to its file.)
    void switchesAndLibraryPlaces()
    {
        m_settings.setValue(QStringLiteral("switch"), 0);
        KxUlxCloudsvrRepActive reporter;
        reporter.start(QStringLiteral("ulxcloudsvr /start_from:x"));
        QVERIFY(!reporter.isEnabled());
        m_settings.remove(QStringLiteral("switch"));
        configure({{"Installation/Features", ""}});
        reporter.start(QString());
        QVERIFY(!reporter.isEnabled());
        configure({{"Installation/DisableGlobalInfocollect", "true"}});
        const QString module = m_env.root() + QStringLiteral("/module");
        const QString office = m_env.root() + QStringLiteral("/office");
        QVERIFY(!loaded(module, QString())->isLibraryLoaded());
        QVERIFY(m_env.logText().contains(QStringLiteral("KxUlxCloudsvrRepActive::loadDynLib failed!")));
        for (const QString &dir : {office, module}) {
            QDir().mkpath(dir);
            QVERIFY(QFile::copy(KTestEnv::binPath(QStringLiteral("libkdynsdk.so")), dir + "/libkdynsdk.so"));
            const auto reporter = loaded(module, QString());
            QVERIFY(reporter->isLibraryLoaded());
            QVERIFY(reporter->libraryFileName().startsWith(dir));
        }
        QVERIFY(QFile::remove(office + QStringLiteral("/libkdynsdk.so"))); // the service's last resort
        configure();
    }

    // The UUID in its one form whatever the store holds; garbage or nothing gives a fresh one.
    void uuidForms_data()
    {
        QTest::addColumn<QVariant>("stored"); // invalid: missing
        QTest::addColumn<bool>("kept");
        QTest::newRow("braced, upper case") << QVariant(Guid) << true;
        QTest::newRow("digits alone") << QVariant(QStringLiteral("0A1B2C3D4E5F60718293A4B5C6D7E8F9")) << true;
        QTest::newRow("binary, 16 bytes") << QVariant(QByteArray::fromHex("0a1b2c3d4e5f60718293a4b5c6d7e8f9")) << true;
        QTest::newRow("binary text") << QVariant(QByteArray("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9")) << true;
        QTest::newRow("garbage") << QVariant(QByteArray("\x01\xff\x00\x7f", 4)) << false;
        QTest::newRow("missing") << QVariant() << false;
    }

    void uuidForms()
    {
        QFETCH(QVariant, stored);
        QFETCH(bool, kept);
        m_common.remove(QStringLiteral("InfoUUID"));
        if (stored.isValid())
            m_common.setValue(QStringLiteral("InfoUUID"), stored);
        const QString got = InfoCollectContext().collectDetail6();
        QCOMPARE(QUuid::fromString(got).toString(QUuid::WithoutBraces), got); // lower case, no braces
        // A readable value is left in the store as it was; a fresh one is stored as text.
        QCOMPARE(m_common.value(QStringLiteral("InfoUUID")), kept ? stored : QVariant(got));
        QCOMPARE(got == QStringLiteral("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9"), kept); // fresh: another
    }

    // Nothing stored, and another process of the user busy with the hardware identifier:
    // the event goes at once without it; that process's value, once it is done, is the
    // one a later event carries (no second computation). Then the simple daily event:
    // off while its switch is missing; on, last sent yesterday 23:59, it goes with that
    // identifier and notes the time; a second run the same day sends nothing.
    void identityAndSimpleReport()
    {
        const QString hd = QStringLiteral("ffeeddccbbaa99887766554433221100");
        m_common.remove(QStringLiteral("InfoHD2"));
        m_common.remove(QStringLiteral("InfoHD2t"));
        QProcess holder;
        const QString lock = ulx::namedmutex::filePath(QString::fromLatin1(ulx::hdid::MutexName));
        QVERIFY(ktest::startLockHolder(holder, lock));
        InfoCollectContext context;
        QCOMPARE(context.collectDetail5(), QString());
        QVERIFY(context.identity().contains(QLatin1String("||")));
        m_common.setValue(QStringLiteral("InfoHD2"), hd);
        m_common.setValue(QStringLiteral("InfoHD2t"), QDateTime::currentDateTimeUtc().date().day());
        const int started = ulx::hdid::HdidManager::instance().computationsStarted();
        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(KTestEnv::scaled(10000)));
        QCOMPARE(ulx::hdid::HdidManager::instance().read(KTestEnv::scaled(5000)), hd);
        QCOMPARE(ulx::hdid::HdidManager::instance().computationsStarted(), started);
        QCOMPARE(context.collectDetail5(), hd);

        const qint64 midnight = QDateTime(QDate::currentDate(), QTime(0, 0)).toSecsSinceEpoch();
        m_settings.setValue(QStringLiteral("lastsimpleactivetime"), int(midnight - 60));
        const int before = m_server.recordsAt(Infos).size();
        QObject parent;
        KxUlxCloudsvrSimpleReportActive(&parent).run();
        QCOMPARE(m_settings.value(QStringLiteral("lastsimpleactivetime")).toLongLong(), midnight - 60);
        m_settings.setValue(QStringLiteral("simplereportswitch"), true);
        KxUlxCloudsvrSimpleReportActive(&parent).run();
        KxUlxCloudsvrSimpleReportActive(&parent).run();
        QTRY_VERIFY_WITH_TIMEOUT(m_server.recordsAt(Infos).size() > before, KTestEnv::scaled(5000));
        const auto pairs = KTestServer::pairsOf(m_server.recordsAt(Infos).at(before));
        QVERIFY(pairs.value(QStringLiteral("p0")).contains(QLatin1Char('|') + hd + QLatin1Char('|')));
        QCOMPARE(pairs, (QMap<QString, QString>{{"dm", "/ulx/client/plugins"},
                                                {"action", "ulxcloudsvr_simple_active"},
                                                {"pnum", "4"}, {"p0", pairs.value(QStringLiteral("p0"))},
                                                {"p1", "11.1.0.9999"}, {"p2", "123.456"}, {"p3", hd}}));
        const QVariant last = m_settings.value(QStringLiteral("lastsimpleactivetime"));
        QCOMPARE(last.metaType().id(), QMetaType::Int); // REG_DWORD
        QVERIFY(qAbs(last.toLongLong() - QDateTime::currentSecsSinceEpoch()) < 60);
        QTest::qWait(KTestEnv::scaled(300));
        QCOMPARE(m_server.recordsAt(Infos).size(), before + 1);
    }

    // A real service reports through the catalogued plugin "kdynsdk", from the SDK's
    // own thread; ulxinfodecode reads its record as the server does.
    void serviceReports()
    {
        const QString plugins = m_env.root() + QStringLiteral("/plugins");
        configure({{"Installation/PluginsDir", plugins},
                   {"Installation/PluginCatalog", KTestEnv::binPath("plugins/catalogue.json")}});
        const int before = m_server.recordsAt(Dyn).size();
        ktest::KService service(m_env);
        QVERIFY(service.start({QStringLiteral("/start_from:") + Action}));
        const QJsonObject record = nextRecord(before);
        const QByteArray maps = ktest::readFile(QStringLiteral("/proc/%1/maps").arg(service.pid()));
        QVERIFY(QString::fromLatin1(maps).contains(plugins + QStringLiteral("/kdynsdk/libkdynsdk.so")));
        QVERIFY(service.stop());
        QCOMPARE(record[QStringLiteral("dyn")][QStringLiteral("meta")].toString(), QStringLiteral("01"));

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
        QCOMPARE(values, (QStringList{"4100", "742401807", QString::number(instanceOf(record)), "1", Action,
                                      QString::number(quint64(456) << 32 | 123)}));
    }
};

QTEST_GUILESS_MAIN(TestActiveReport)
#include "tst_activereport.moc"
