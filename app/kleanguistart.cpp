#include "app/kleanguistart.h"

#include <QGuiApplication>

namespace {

void save(const char *name, std::optional<QByteArray> &value)
{
    if (qEnvironmentVariableIsSet(name))
        value = qgetenv(name);
}

void restore(const char *name, const std::optional<QByteArray> &value)
{
    if (value)
        qputenv(name, *value);
    else
        qunsetenv(name);
}

} // namespace

KLeanGuiStart::KLeanGuiStart()
{
    save(m_theme.name, m_theme.value);
    save(m_inputMethod.name, m_inputMethod.value);
    // Without the desktop's theme names (and the user's, hidden below) Qt tries
    // no theme plugin and uses its built-in generic theme.
    QGuiApplication::setDesktopSettingsAware(false);
    qunsetenv(m_theme.name);
    qputenv(m_inputMethod.name, "none");
}

KLeanGuiStart::~KLeanGuiStart()
{
    restoreEnvironment();
}

void KLeanGuiStart::restoreEnvironment()
{
    if (m_restored)
        return;
    m_restored = true;
    restore(m_theme.name, m_theme.value);
    restore(m_inputMethod.name, m_inputMethod.value);
}
