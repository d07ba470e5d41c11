#pragma once

#include <QString>

// The per-user plugin pool: suite plugins installed side by side, one directory
// per version, named <plugin>_<a>.<b>.<c>.<d>, in
//   $XDG_DATA_HOME/corvanta/ulx/addons/pool/linux-<architecture>/
// (XDG_DATA_HOME defaults to ~/.local/share; the architecture is the build's,
// "x86_64" for instance).
class KPluginPool
{
public:
    // The pool directory with its trailing '/', or empty when there is no data directory.
    static QString poolDir();

    // The directory of the newest version of `name` in the pool, or empty when
    // the pool holds none. Versions compare field by field as numbers of up to
    // four digits; 0.0.0.0 is no version; names that only look like versions
    // (three or five fields, letters, a trailing line break, another letter
    // case) are not versions.
    static QString resolve(const QString &name);

    // Publishes the newest "krpt" as the text value "krptpath" of the existing key
    // HKEY_CURRENT_USER\Software\Corvanta\Office\6.0\plugins; nothing when there
    // is none or the key is missing (it is not created).
    static void publishKrptPath();
};
