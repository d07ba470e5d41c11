// All eight inner plugins, registered by the library the service links: a broadcast
// reaches them in name order (case-sensitive: "KUpdateUlx" before "KUpdateself").
#include "innerplugins/iinnerplugin.h"
#include "innerplugins/kbubble/kbubble.h"
#include "innerplugins/knexaprestart/knexaprestart.h"
#include "innerplugins/knexaswitch/knexaswitch.h"
#include "innerplugins/krecentfile/krecentfile.h"
#include "innerplugins/kupdateself/kupdateself.h"
#include "innerplugins/kupdateulx/kupdateulx.h"
#include "innerplugins/messagepush/messagepush.h"
#include "innerplugins/minisite/kminisite.h"

#include <QTest>

namespace {
// Stands in for a registered plugin and records the order of the calls.
class KProbe : public IInnerPlugin
{
public:
    KProbe(QString name, QStringList *trace) : m_name(std::move(name)), m_trace(trace) {}
    void init() override {}
    void uninit() override {}
    void exec(const QString &cmdLine) override { *m_trace << m_name + ':' + cmdLine; }

private:
    QString m_name;
    QStringList *m_trace;
};
} // namespace

class TestInnerRegistry : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void eightInKeyOrder()
    {
        const QStringList expected{"KBubble",    "KMinisite",  "KNexaPrestart", "KNexaSwitch",
                                   "KRecentFile", "KUpdateUlx", "KUpdateself",   "Messagepush"};
        QCOMPARE(innerPluginNames(), expected);
        QVERIFY(dynamic_cast<KBubble *>(innerPlugin("KBubble")));
        QVERIFY(dynamic_cast<KMinisite *>(innerPlugin("KMinisite")));
        QVERIFY(dynamic_cast<KNexaPrestart *>(innerPlugin("KNexaPrestart")));
        QVERIFY(dynamic_cast<KNexaSwitch *>(innerPlugin("KNexaSwitch")));
        QVERIFY(dynamic_cast<KRecentFile *>(innerPlugin("KRecentFile")));
        QVERIFY(dynamic_cast<KUpdateUlx *>(innerPlugin("KUpdateUlx")));
        QVERIFY(dynamic_cast<KUpdateself *>(innerPlugin("KUpdateself")));
        QVERIFY(dynamic_cast<Messagepush *>(innerPlugin("Messagepush")));

        // Probes in their places (the originals are kept aside, not deleted).
        QStringList trace;
        QList<IInnerPlugin *> originals;
        std::vector<std::unique_ptr<KProbe>> probes;
        for (const QString &name : expected) {
            originals << innerPlugin(name);
            probes.push_back(std::make_unique<KProbe>(name, &trace));
            registerInnerPlugin(name, probes.back().get());
        }
        broadcastToInnerPlugins(QStringLiteral("/x"));
        QStringList order;
        for (const QString &name : expected)
            order << name + QStringLiteral(":/x");
        QCOMPARE(trace, order);

        // Exact names only.
        trace.clear();
        execInnerPlugin(QStringLiteral("kminisite"), QStringLiteral("/y"));
        execInnerPlugin(QStringLiteral("KMinisite"), QStringLiteral("/y"));
        QCOMPARE(trace, QStringList{"KMinisite:/y"});

        for (int i = 0; i < expected.size(); ++i)
            registerInnerPlugin(expected.at(i), originals.at(i));
        QCOMPARE(innerPlugin("KMinisite"), originals.at(1));
    }
};

QTEST_APPLESS_MAIN(TestInnerRegistry)
#include "tst_innerregistry.moc"
