// What the reports say about who sends them: the UUID in its one form whatever
// the store holds, the hardware identifier computed on first use without making
// the caller wait, and an action text beyond Latin-1 in the dynamic report.

#include "platform/namedmutex.h"
#include "platform/registry/kregsettings.h"
#include "reportcore/kdynrecord.h"
#include "reportcore/kinfocollect.h"
#include "report/kxulxcloudsvrrepactive.h"
#include "suite/krt.h"
#include "tests/common/kworld.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTest>

namespace {
const QString CommonKey = QStringLiteral("HKCU\\Software\\Corvanta\\Office\\6.0\\Common");
const QRegularExpression UuidForm(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
} // namespace

class TestIdentity : public QObject
{
    Q_OBJECT
    KTestEnv m_env{{{"Installation/Features", "UlxCloudsvrReportActive"}}};

private slots:
    void uuidForms_data()
    {
        QTest::addColumn<QVariant>("stored"); // invalid: missing
        QTest::addColumn<QString>("sent");    // empty: a fresh one, stored as text
        const QString plain = QStringLiteral("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9");
        QTest::newRow("text") << QVariant(plain) << plain;
        QTest::newRow("braced, upper case") << QVariant(QStringLiteral("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}")) << plain;
        QTest::newRow("digits alone") << QVariant(QStringLiteral("0A1B2C3D4E5F60718293A4B5C6D7E8F9")) << plain;
        QTest::newRow("binary, 16 bytes") << QVariant(QByteArray::fromHex("0a1b2c3d4e5f60718293a4b5c6d7e8f9")) << plain;
        QTest::newRow("binary text") << QVariant(plain.toLatin1()) << plain;
        QTest::newRow("binary garbage") << QVariant(QByteArray("\x01\xff\x00\x7f", 4)) << QString();
        QTest::newRow("text garbage") << QVariant(QStringLiteral("not|a&uuid")) << QString();
        QTest::newRow("missing") << QVariant() << QString();
    }

    void uuidForms()
    {
        QFETCH(QVariant, stored);
        QFETCH(QString, sent);
        KRegSettings common(CommonKey);
        common.remove(QStringLiteral("InfoUUID"));
        if (stored.isValid())
            common.setValue(QStringLiteral("InfoUUID"), stored);
        InfoCollectContext context;
        const QString got = context.collectDetail6();
        if (!sent.isEmpty()) {
            QCOMPARE(got, sent);
            QCOMPARE(common.value(QStringLiteral("InfoUUID")), stored); // the store is left as it was
        } else {
            QVERIFY2(UuidForm.match(got).hasMatch(), qPrintable(got));
            QCOMPARE(common.value(QStringLiteral("InfoUUID")).toString(), got);
        }
    }

    // Nothing stored, and another process of the user busy with the identifier: the
    // event goes at once without it, and a later one carries it.
    void hardwareIdOnFirstUse()
    {
        KRegSettings common(CommonKey);
        common.remove(QStringLiteral("InfoHD2"));
        common.remove(QStringLiteral("InfoHD2t"));
        QProcess holder;
        QVERIFY(ktest::startLockHolder(holder, ulx::namedmutex::filePath(QStringLiteral("_KHDID2MGR_3E67DFEF-DF4E-4CC6-9413-5F71C7C96C04"))));
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
        QCOMPARE(common.value(QStringLiteral("InfoHD2")).toString(), context.collectDetail5());
    }

    // The action reaches the SDK as UTF-8 and reads back the same from the record.
    void actionBeyondLatin1()
    {
        const QString action = QStringLiteral("b\u00fcro-\u684c\u9762");
        const QString log = m_env.root() + QStringLiteral("/sdkcalls.log");
        qputenv("ULX_FAKE_DYNSDK_LOG", QFile::encodeName(log));
        krt::reload();
        KxUlxCloudsvrRepActive reporter;
        reporter.setModuleDir(KTestEnv::binPath(QStringLiteral("fakedynsdk")));
        reporter.start(QStringLiteral("/start_from:") + action);
        reporter.onPluginLoadFinished(KPluginGetter::PluginNotFound);
        QVERIFY(reporter.isLibraryLoaded());
        QVERIFY(ktest::readLines(log).contains("kAppDynAddData 129 " + QString::fromLatin1(action.toUtf8().toHex()) + " 1"));

        ulx::dynrecord::Record record;
        record.fields.append({129, 1, action.toUtf8()});
        const QJsonArray fields = ulx::dynrecord::toJson(record).value(QStringLiteral("fields")).toArray();
        QCOMPARE(fields.at(0).toObject().value(QStringLiteral("value")).toString(), action);
    }
};

QTEST_GUILESS_MAIN(TestIdentity)
#include "tst_identity.moc"
