#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// One plugin as the catalogue describes it. Internal to the plugin manager.
struct KPluginCatalogEntry
{
    QString name;
    // Absolute directory whose content is the plugin ("package", relative to the
    // catalogue's directory); empty when the entry names none.
    QString packageDir;
    // Library to load from the installed directory, relative to it; empty: none.
    QString library;
    // Every key of the entry as written ("name", "version", "desc", ...).
    QJsonObject props;
};

// The catalogue file: {"plugins":[{"name":..., "version":..., "desc":...,
// "package":..., "library":...}, ...]}. A missing or damaged file reads as an
// empty catalogue; entries without a usable name are skipped, and of two
// entries with one name the first counts.
class KPluginCatalog
{
public:
    static QList<KPluginCatalogEntry> read(const QString &path, QString *problem = nullptr);
    // The same for a catalogue's content; `path` names it in problems and anchors
    // relative package directories.
    static QList<KPluginCatalogEntry> parse(const QByteArray &content, const QString &path, QString *problem = nullptr);

    // A name that maps to exactly one directory below the plugins directory.
    static bool isValidName(const QString &name);
    // A library path that stays inside the plugin's directory.
    static bool isValidLibraryPath(const QString &library);
};
