#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// One command line as the service reads it: split by the Windows rule, its leading
// switches taken into a map by lower-cased name, and the rest kept so that a
// dispatcher can take out the switch that selected it and pass the remainder on.
//
// A switch is an argument of at least 2 characters that begins with '/' or '-'.
// One of 4 or more characters may carry a value after the first '=' or, when it
// has none, after the first ':'. A plain value object, parsed once.
class KxCommandLine
{
public:
    KxCommandLine() = default;

    // Fills the object from `text`; `hasProgram` says the line starts with a
    // program path, taken as the program unless it is a switch. False for an empty
    // text or one that splits into no argument.
    bool parse(const QString &text, bool hasProgram);

    bool hasSwitch(const QString &name) const;
    // The value of the switch, or an empty string when it is absent or has none.
    QString switchValue(const QString &name) const;
    void removeSwitch(const QString &name);

    // The remaining switches ("/name" or "/name=value", by name) and the
    // arguments after the switch run, as one command-line text.
    QString toString() const;

    QStringList arguments() const { return m_arguments; }
    QString program() const { return m_program; }
    // Index of the first argument after the leading switch run (the program counts).
    int switchCount() const { return m_switchCount; }
    QMap<QString, QString> switches() const { return m_switches; }
    // The parsed text after the last leading switch.
    QString remainder() const { return m_remainder; }

private:
    static bool isSwitch(const QString &arg);
    void addSwitch(const QString &arg);

    QStringList m_arguments;
    QString m_program;
    int m_switchCount = 0;
    QMap<QString, QString> m_switches;
    QString m_remainder;
};
