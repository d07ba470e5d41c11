#pragma once

#include <QByteArray>

#include <optional>

// What the service's QApplication is spared. The service draws one window at
// most (the progress window of run_app) and reads no typed text, so it loads no
// desktop platform theme (under GNOME that maps GTK 3 with some eighty libraries)
// and no input method (ibus connects to the session bus and keeps a thread);
// both would stay for the life of the process. Image-format plugins are loaded
// by Qt only when an image of their format is read, that is when the window is
// shown.
//
// Construct before the application and call restoreEnvironment() right after
// it: the user's QT_QPA_PLATFORMTHEME and QT_IM_MODULE are hidden from Qt while
// the platform is set up and given back before anything can start a child
// process, which must see the user's own settings.
class KLeanGuiStart
{
public:
    KLeanGuiStart();
    ~KLeanGuiStart();
    KLeanGuiStart(const KLeanGuiStart &) = delete;
    KLeanGuiStart &operator=(const KLeanGuiStart &) = delete;

    void restoreEnvironment();

private:
    struct Saved
    {
        const char *name;
        std::optional<QByteArray> value; // empty: was not set
    };
    Saved m_theme{"QT_QPA_PLATFORMTHEME", {}};
    Saved m_inputMethod{"QT_IM_MODULE", {}};
    bool m_restored = false;
};
