#include "platform/cmdline/kxcommandline.h"

#include <QTest>

using StringMap = QMap<QString, QString>;

namespace {

QString t(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

} // namespace

class TestKxCommandLine : public QObject
{
    Q_OBJECT
private slots:
    // One switch argument (after a plain first word so that it is not a program path).
    void switchSyntax_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("value");
        QTest::newRow("'=' is looked for first") << t("/a:b=c") << t("a:b") << t("c");
        QTest::newRow("colon separator") << t("/ab:c") << t("ab") << t("c");
        QTest::newRow("4 chars with colon") << t("/a:b") << t("a") << t("b");
        QTest::newRow("3 chars: no separator") << t("/ab") << t("ab") << t("");
        QTest::newRow("3 chars ending in colon") << t("/a:") << t("a:") << t("");
        QTest::newRow("3 chars ending in =") << t("/a=") << t("a=") << t("");
        QTest::newRow("2 chars") << t("-x") << t("x") << t("");
        QTest::newRow("4 chars, no separator") << t("/abc") << t("abc") << t("");
        QTest::newRow("separator at end") << t("/abc=") << t("abc") << t("");
        QTest::newRow("dash with =") << t("-X=1") << t("x") << t("1");
        QTest::newRow("value keeps later separators") << t("/a=b:c=d") << t("a") << t("b:c=d");
        QTest::newRow("separator right after prefix") << t("/=abc") << t("") << t("abc");
        QTest::newRow("name lower-cased, value keeps case") << t("/Plugin_Name:KFoo") << t("plugin_name") << t("KFoo");
        QTest::newRow("non-ascii name lower-cased") << t("/ÄBC=Ö") << t("äbc") << t("Ö");
        QTest::newRow("quoted switch with blank") << t("\"/plugin_name:a b\"") << t("plugin_name") << t("a b");
        QTest::newRow("escaped quote in value") << t("/a=x\\\"y") << t("a") << t("x\"y");
    }

    void switchSyntax()
    {
        QFETCH(QString, text);
        QFETCH(QString, name);
        QFETCH(QString, value);
        KxCommandLine line;
        QVERIFY(line.parse(QStringLiteral("prog ") + text, true));
        QCOMPARE(line.switchCount(), 2);
        QCOMPARE(line.switches(), (StringMap{{name, value}}));
    }

    void switchRun_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("hasProgram");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("program");
        QTest::addColumn<int>("switchCount");
        QTest::addColumn<StringMap>("switches");
        QTest::newRow("dispatch line")
            << t("/run_plugin /plugin_name:kfoo -X=1 rest of line") << false
            << QStringList{t("/run_plugin"), t("/plugin_name:kfoo"), t("-X=1"), t("rest"), t("of"), t("line")}
            << t("") << 3 << StringMap{{t("run_plugin"), t("")}, {t("plugin_name"), t("kfoo")}, {t("x"), t("1")}};
        QTest::newRow("single slash is not a switch")
            << t("/ /a") << false << QStringList{t("/"), t("/a")} << t("") << 0 << StringMap{};
        QTest::newRow("slash later is not a switch")
            << t("x/y /a") << false << QStringList{t("x/y"), t("/a")} << t("") << 0 << StringMap{};
        QTest::newRow("empty argument ends the run")
            << t("/a \"\" /b") << false << QStringList{t("/a"), t(""), t("/b")} << t("") << 1
            << StringMap{{t("a"), t("")}};
        QTest::newRow("switches after a word are not taken")
            << t("/a x /b") << false << QStringList{t("/a"), t("x"), t("/b")} << t("") << 1
            << StringMap{{t("a"), t("")}};
        QTest::newRow("program flag takes the first word")
            << t("prog /a=1 x") << true << QStringList{t("prog"), t("/a=1"), t("x")} << t("prog") << 2
            << StringMap{{t("a"), t("1")}};
        QTest::newRow("program flag, first is a switch")
            << t("/a=1 x") << true << QStringList{t("/a=1"), t("x")} << t("") << 1 << StringMap{{t("a"), t("1")}};
        QTest::newRow("no program flag: first word is no program")
            << t("prog /a") << false << QStringList{t("prog"), t("/a")} << t("") << 0 << StringMap{};
        QTest::newRow("program flag, quoted path")
            << t("\"C:\\Program Files\\x.exe\" /s") << true << QStringList{t("C:\\Program Files\\x.exe"), t("/s")}
            << t("C:\\Program Files\\x.exe") << 2 << StringMap{{t("s"), t("")}};
        QTest::newRow("program flag, leading blank gives empty program")
            << t(" /a x") << true << QStringList{t(""), t("/a"), t("x")} << t("") << 2 << StringMap{{t("a"), t("")}};
        QTest::newRow("program flag, program alone")
            << t("prog") << true << QStringList{t("prog")} << t("prog") << 1 << StringMap{};
        QTest::newRow("blanks alone: one empty argument")
            << t("   ") << false << QStringList{t("")} << t("") << 0 << StringMap{};
        QTest::newRow("first token by the program-path rule")
            << t("/a\"b c\" d") << false << QStringList{t("/a\"b"), t("c d")} << t("") << 1
            << StringMap{{t("a\"b"), t("")}};
    }

    void switchRun()
    {
        QFETCH(QString, text);
        QFETCH(bool, hasProgram);
        KxCommandLine line;
        QVERIFY(line.parse(text, hasProgram));
        QTEST(line.arguments(), "arguments");
        QTEST(line.program(), "program");
        QTEST(line.switchCount(), "switchCount");
        QTEST(line.switches(), "switches");
    }

    void remainder_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("hasProgram");
        QTest::addColumn<QString>("remainder");
        QTest::newRow("after the last switch") << t("/run_plugin /plugin_name:kfoo -X=1 rest of line") << false
                                               << t("rest of line");
        QTest::newRow("keeps quoting and spacing of the rest") << t("/a \"x  y\"   z\\\"") << false
                                                               << t("\"x  y\"   z\\\"");
        QTest::newRow("no switch: whole text") << t("  x /a") << false << t("  x /a");
        QTest::newRow("program only: after the program") << t("prog rest of it") << true << t("rest of it");
        QTest::newRow("last switch written earlier: cut after the first occurrence") << t("/x:/a /a rest") << false
                                                                                     << t("/a rest");
        QTest::newRow("search is case-sensitive") << t("/a /A x") << false << t("x");
        QTest::newRow("quoted last switch: cut inside the quotes") << t("\"/a b\" rest") << false << t(" rest");
        QTest::newRow("last switch not found in text: cut from its length") << t("/x \"/a\"b rest") << false
                                                                            << t("\"/a\"b rest");
        QTest::newRow("switch at end: empty") << t("/abc") << false << t("");
        QTest::newRow("switch then one blank: empty") << t("/abc ") << false << t("");
        QTest::newRow("switch then two blanks") << t("/abc  x") << false << t(" x");
        QTest::newRow("leading blank with program flag") << t(" /a x") << true << t("x");
        QTest::newRow("empty program (leading blank), no switch") << t(" x") << true << t("x");
    }

    void remainder()
    {
        QFETCH(QString, text);
        QFETCH(bool, hasProgram);
        KxCommandLine line;
        QVERIFY(line.parse(text, hasProgram));
        QTEST(line.remainder(), "remainder");
    }

    void lookupIgnoresCase()
    {
        KxCommandLine line;
        QVERIFY(line.parse(t("/Run_Plugin /plugin_name:KFoo"), false));
        QVERIFY(line.hasSwitch(t("RUN_PLUGIN")));
        QVERIFY(line.hasSwitch(t("run_plugin")));
        QCOMPARE(line.switchValue(t("Plugin_Name")), t("KFoo"));
        QCOMPARE(line.switchValue(t("run_plugin")), QString());
        QVERIFY(!line.hasSwitch(t("plugin")));
        QCOMPARE(line.switchValue(t("absent")), QString());

        line.removeSwitch(t("RUN_plugin"));
        QVERIFY(!line.hasSwitch(t("run_plugin")));
        QVERIFY(line.hasSwitch(t("plugin_name")));
        line.removeSwitch(t("absent")); // no effect
        QCOMPARE(line.switches().size(), 1);
    }

    void lastOccurrenceWins()
    {
        KxCommandLine line;
        QVERIFY(line.parse(t("/Name:One /name:Two /NAME"), false));
        QCOMPARE(line.switches(), (StringMap{{t("name"), t("")}}));
        QCOMPARE(line.switchCount(), 3);

        KxCommandLine values;
        QVERIFY(values.parse(t("/Name:One /name:Two"), false));
        QCOMPARE(values.switches(), (StringMap{{t("name"), t("Two")}}));
    }

    void removeAndRebuild_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("hasProgram");
        QTest::addColumn<QStringList>("remove");
        QTest::addColumn<QString>("rebuilt");
        QTest::newRow("dispatcher strips its switch") << t("/run_plugin /plugin_name:kfoo extra") << false
                                                      << QStringList{t("run_plugin")} << t("/plugin_name=kfoo extra");
        QTest::newRow("trailing blank when nothing follows") << t("/run_plugin /plugin_name:kfoo") << false
                                                             << QStringList{t("run_plugin")} << t("/plugin_name=kfoo ");
        QTest::newRow("value with blank quoted as a whole") << t("/run_plugin \"/plugin_name:k foo\"") << false
                                                            << QStringList{t("run_plugin")} << t("\"/plugin_name=k foo\" ");
        QTest::newRow("value with tab quoted") << t("/a \"/b=x\ty\"") << false << QStringList{t("a")}
                                               << t("\"/b=x\ty\" ");
        QTest::newRow("value with ideographic space quoted")
            << (t("/a \"/b=x") + QChar(0x3000) + t("y\"")) << false << QStringList{t("a")}
            << (t("\"/b=x") + QChar(0x3000) + t("y\" "));
        QTest::newRow("value with newline quoted") << t("/a \"/b=x\ny\"") << false << QStringList{t("a")}
                                                   << t("\"/b=x\ny\" ");
        QTest::newRow("value with quote, no blank: left bare") << t("/a /b=x\\\"y") << false << QStringList{t("a")}
                                                               << t("/b=x\"y ");
        QTest::newRow("names in code-unit order") << t("/b /A /a_ /_ /B1") << false << QStringList{}
                                                  << t("/_ /a /a_ /b /b1 ");
        QTest::newRow("name is written lower-case, ':' becomes '='") << t("/Plugin_Name:KFoo x") << false
                                                                    << QStringList{} << t("/plugin_name=KFoo x");
        QTest::newRow("argument with blank quoted") << t("/a \"x y\" z") << false << QStringList{}
                                                    << t("/a \"x y\" z");
        QTest::newRow("argument starting with quote and blank") << t("/a \"\\\"x y\"") << false << QStringList{}
                                                                << t("/a \"x y\"");
        QTest::newRow("argument ending with quote and blank") << t("/a \"x y\\\"\"") << false << QStringList{}
                                                              << t("/a \"x y\"");
        QTest::newRow("empty argument stays empty") << t("/a \"\" z") << false << QStringList{} << t("/a  z");
        QTest::newRow("all switches removed: no leading blank") << t("/a x y") << false << QStringList{t("a")}
                                                                << t("x y");
        QTest::newRow("all removed, nothing left") << t("/a /b") << false << QStringList{t("a"), t("b")} << t("");
        QTest::newRow("no switches") << t("x  y") << false << QStringList{} << t("x y");
        QTest::newRow("program is not rebuilt") << t("prog /a x") << true << QStringList{} << t("/a x");
        QTest::newRow("switches after the run stay arguments") << t("/a x /b=1") << false << QStringList{}
                                                               << t("/a x /b=1");
    }

    void removeAndRebuild()
    {
        QFETCH(QString, text);
        QFETCH(bool, hasProgram);
        QFETCH(QStringList, remove);
        KxCommandLine line;
        QVERIFY(line.parse(text, hasProgram));
        for (const QString &name : std::as_const(remove))
            line.removeSwitch(name);
        QTEST(line.toString(), "rebuilt");
    }

    void failedParse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("hasProgram");
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("starts with NUL") << (QString(QChar(0)) + t("/a x")) << false;
    }

    void failedParse()
    {
        QFETCH(QString, text);
        QFETCH(bool, hasProgram);
        KxCommandLine line;
        QVERIFY(!line.parse(text, hasProgram));
        QVERIFY(line.arguments().isEmpty());
        QVERIFY(line.switches().isEmpty());
        QCOMPARE(line.switchCount(), 0);
    }

    // Objects are parsed once; a second parse replaces the arguments but adds to the map.
    void parseKeepsEarlierSwitches()
    {
        KxCommandLine line;
        QVERIFY(line.parse(t("/a=1 x"), false));
        QVERIFY(line.parse(t("/b y z"), false));
        QCOMPARE(line.arguments(), (QStringList{t("/b"), t("y"), t("z")}));
        QCOMPARE(line.switches(), (StringMap{{t("a"), t("1")}, {t("b"), t("")}}));
        QCOMPARE(line.remainder(), t("y z"));

        QVERIFY(!line.parse(QString(QChar(0)), false));
        QVERIFY(line.arguments().isEmpty());
        QCOMPARE(line.switches().size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestKxCommandLine)
#include "tst_kxcommandline.moc"
