#include "platform/cmdline/kxcommandline.h"

#include "platform/cmdline/winargv.h"

#include <algorithm>

namespace {

// An item of the rebuilt text is enclosed in quotes when it holds white space;
// quote characters already at its ends are kept and not doubled.
QString quoteIfSpaced(QString item)
{
    const bool spaced = std::any_of(item.cbegin(), item.cend(), [](QChar c) { return c.isSpace(); });
    if (!spaced || item.isEmpty())
        return item;
    if (item.front() != QLatin1Char('"'))
        item.prepend(QLatin1Char('"'));
    if (item.back() != QLatin1Char('"'))
        item.append(QLatin1Char('"'));
    return item;
}

} // namespace

bool KxCommandLine::isSwitch(const QString &arg)
{
    return arg.size() >= 2 && (arg.front() == QLatin1Char('/') || arg.front() == QLatin1Char('-'));
}

void KxCommandLine::addSwitch(const QString &arg)
{
    qsizetype separator = -1;
    if (arg.size() >= 4) {
        separator = arg.indexOf(QLatin1Char('='));
        if (separator < 0)
            separator = arg.indexOf(QLatin1Char(':'));
    }
    if (separator >= 0)
        m_switches.insert(arg.mid(1, separator - 1).toLower(), arg.mid(separator + 1));
    else
        m_switches.insert(arg.mid(1).toLower(), QString());
}

bool KxCommandLine::parse(const QString &text, bool hasProgram)
{
    if (text.isEmpty())
        return false;

    m_arguments = ulx::winargv::splitCommandLine(text);
    if (m_arguments.isEmpty())
        return false;

    m_switchCount = 0;
    m_program.clear();
    if (hasProgram && !isSwitch(m_arguments.front())) {
        m_program = m_arguments.front();
        m_switchCount = 1;
    }

    while (m_switchCount < m_arguments.size() && isSwitch(m_arguments.at(m_switchCount))) {
        addSwitch(m_arguments.at(m_switchCount));
        ++m_switchCount;
    }

    // The remainder is cut from the text itself, after the first place where the
    // last switch of the run is written, so that the rest keeps its own quoting.
    m_remainder.clear();
    if (m_switchCount == 0) {
        m_remainder = text;
    } else {
        const QString &last = m_arguments.at(m_switchCount - 1);
        const qsizetype found = text.indexOf(last, 0, Qt::CaseSensitive);
        const qsizetype start = found + last.size() + 1;
        if (start <= text.size())
            m_remainder = text.mid(start);
    }
    return true;
}

bool KxCommandLine::hasSwitch(const QString &name) const
{
    return m_switches.contains(name.toLower());
}

QString KxCommandLine::switchValue(const QString &name) const
{
    return m_switches.value(name.toLower());
}

void KxCommandLine::removeSwitch(const QString &name)
{
    m_switches.remove(name.toLower());
}

QString KxCommandLine::toString() const
{
    QString result;
    for (auto it = m_switches.cbegin(); it != m_switches.cend(); ++it) {
        QString item = QLatin1Char('/') + it.key();
        if (!it.value().isEmpty())
            item += QLatin1Char('=') + it.value();
        if (!result.isEmpty())
            result += QLatin1Char(' ');
        result += quoteIfSpaced(item);
    }
    if (!result.isEmpty())
        result += QLatin1Char(' ');

    for (qsizetype i = m_switchCount; i < m_arguments.size(); ++i) {
        if (i > m_switchCount)
            result += QLatin1Char(' ');
        result += quoteIfSpaced(m_arguments.at(i));
    }
    return result;
}
