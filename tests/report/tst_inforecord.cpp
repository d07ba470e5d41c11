// The record format: what buildInfoUrl writes is what an independent decoder
// (the test server's Python) and ulxinfodecode read back.

#include "reportcore/kinfocollect.h"
#include "reportcore/kinforecord.h"
#include "tests/common/ktestserver.h"
#include "tests/common/testenv.h"

#include <QJsonArray>
#include <QProcess>
#include <QTest>

using ulx::inforecord::Pair;

class TestInfoRecord : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void events_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QByteArray>("path");
        QTest::newRow("no fields, null action, null path") << QString() << QStringList() << QByteArray();
        QTest::newRow("empty action is not null") << QStringLiteral("") << QStringList{QString()} << QByteArray("/p");
        QTest::newRow("non-ASCII and separators") << QStringLiteral("aktion")
                              << QStringList{QStringLiteral("Grüße 日本 🙂"), QStringLiteral("a|b&c=d?e#f%20+\n")}
                              << QByteArray("/ulx/client/app");
        QStringList many;
        for (int i = 0; i < 120; ++i)
            many << QString::number(i * 7);
        QTest::newRow("120 fields keep their order") << QStringLiteral("x") << many << QByteArray("/m");
        // A URL that would pass 16 KiB is not built; one just below is. Field bytes grow by 4/3.
        QTest::newRow("11000 bytes fit") << QStringLiteral("a") << QStringList{QString(11000, 'a')} << QByteArray("/p");
        QTest::newRow("12500 bytes do not") << QStringLiteral("a") << QStringList{QString(12500, 'a')} << QByteArray();
        QTest::newRow("the cap counts bytes, not characters")
            << QStringLiteral("a") << QStringList{QString(5000, QChar(0x65e5))} << QByteArray();
    }

    // Each event read back by the C++ decoder and by the Python decoder.
    void events()
    {
        QFETCH(QString, action);
        QFETCH(QStringList, fields);
        QFETCH(QByteArray, path);
        const char *p = path.isNull() ? nullptr : path.constData();
        const QString url = buildInfoUrl("https://c.example/ulxv6internet/infos.ads", action, fields, p);
        if (fields.join(QString()).toUtf8().size() > 12000) {
            QVERIFY(url.isEmpty());
            return;
        }
        QVERIFY(url.size() <= ulx::inforecord::MaxUrlBytes);
        QJsonArray expected{QJsonArray{"dm", QString::fromUtf8(p ? p : "/ulx/client/app")},
                            QJsonArray{"action", action.isNull() ? QJsonValue() : QJsonValue(action)},
                            QJsonArray{"pnum", QString::number(fields.size())}};
        for (int i = 0; i < fields.size(); ++i)
            expected.append(QJsonArray{QStringLiteral("p%1").arg(i), fields.at(i)});

        QList<Pair> decoded;
        QString error;
        QVERIFY2(ulx::inforecord::decodeLine(url, &decoded, &error), qPrintable(error));
        QJsonArray cpp;
        for (const Pair &pair : decoded)
            cpp.append(QJsonArray{pair.key, pair.value ? QJsonValue(*pair.value) : QJsonValue()});
        QCOMPARE(cpp, expected);

        const QList<QJsonObject> python = KTestServer::decode({url});
        QCOMPARE(python.size(), 1);
        QCOMPARE(python.first().value(QStringLiteral("pairs")).toArray(), expected);
    }

    // The README's test vector, built and read back by ulxinfodecode: one line out per
    // line in, errors included, in the documented form. Records that lie about their
    // sizes are refused, never over-read.
    void decoderLines()
    {
        const QByteArray vector = "AQMAAAACAAAAZG0PAAAAL3VseC9jbGllbnQvYXBwBgAAAGFjdGlvbv____8EAAAAcG51bQEAAAAw";
        const QString url = buildInfoUrl(QStringLiteral("http://h/ulxv6internet/infos.ads"), QString(), {}, nullptr);
        QCOMPARE(url, QStringLiteral("http://h/ulxv6internet/infos.ads?v=D1S1E1&d=") + QString::fromLatin1(vector));
        const QByteArray good = ulx::inforecord::serializeS1({{QStringLiteral("k"), QStringLiteral("v")}});
        const QList<QByteArray> damaged{QByteArray("\x01\xff\xff\xff\x7f", 5),                     // huge count
                                        QByteArray(good).replace(10, 4, QByteArray("\x10\0\0\0", 4)), // value too long
                                        good + 'x',                                               // trailing byte
                                        good.left(good.size() - 1),                               // cut in the middle
                                        QByteArray(good).replace(14, 1, "\xff")};                  // not UTF-8
        QByteArray input = url.toUtf8() + "\n"
                           "http://h/x?v=D1S1E1&d=AQ\n"          // truncated header
                           "d=AQ==\n"                            // padding is not E1
                           "http://h/x?v=D1S2E1&d=AQAAAAA\n"     // another format
                           "d=AgAAAAA\n"                         // unknown version
                           "\xff\n";                             // not UTF-8
        for (const QByteArray &record : damaged)
            input += "d=" + record.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals) + '\n';
        QProcess tool;
        tool.start(KTestEnv::binPath(QStringLiteral("ulxinfodecode")), {});
        QVERIFY(tool.waitForStarted());
        tool.write(input + "d=AQEAAAAAAAAA_____w\n"); // empty key, null value
        tool.closeWriteChannel();
        QVERIFY(tool.waitForFinished(KTestEnv::scaled(10000)));
        const QList<QByteArray> lines = tool.readAllStandardOutput().trimmed().split('\n');
        QCOMPARE(lines.size(), 12);
        QCOMPARE(lines.at(0), QByteArray(R"({"pairs":[["dm","/ulx/client/app"],["action",null],["pnum","0"]]})"));
        for (int i = 1; i <= 10; ++i)
            QVERIFY2(lines.at(i).startsWith("{\"error\":"), lines.at(i).constData());
        QCOMPARE(lines.at(11), QByteArray(R"({"pairs":[["",null]]})"));
    }
};

QTEST_GUILESS_MAIN(TestInfoRecord)
#include "tst_inforecord.moc"
