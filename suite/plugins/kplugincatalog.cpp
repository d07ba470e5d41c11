#include "suite/plugins/kplugincatalog.h"

#include "platform/xdgpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSet>

bool KPluginCatalog::isValidName(const QString &name)
{
    // The directory as the file system sees it must be this name's own: a NUL would
    // end the path early (at worst at the plugins directory itself), and a text the
    // file-name encoding changes (an unpaired surrogate) would share a directory.
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && !name.startsWith(QLatin1Char('.'))
        && !name.endsWith(QLatin1String(".partial")) && !name.contains(QChar(0))
        && QFile::decodeName(QFile::encodeName(name)) == name;
}

bool KPluginCatalog::isValidLibraryPath(const QString &library)
{
    if (library.isEmpty() || QDir::isAbsolutePath(library))
        return false;
    const QStringList parts = library.split(QLatin1Char('/'));
    return !parts.contains(QStringLiteral(".."));
}

QList<KPluginCatalogEntry> KPluginCatalog::read(const QString &path, QString *problem)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (problem)
            *problem = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return {};
    }
    return parse(file.readAll(), path, problem);
}

QList<KPluginCatalogEntry> KPluginCatalog::parse(const QByteArray &content, const QString &path, QString *problem)
{
    auto fail = [problem](const QString &why) {
        if (problem)
            *problem = why;
        return QList<KPluginCatalogEntry>();
    };

    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(content, &error);
    if (error.error != QJsonParseError::NoError)
        return fail(QStringLiteral("%1 is not JSON: %2 at %3").arg(path, error.errorString()).arg(error.offset));
    if (!doc.isObject() || !doc.object().value(QStringLiteral("plugins")).isArray())
        return fail(QStringLiteral("%1 has no \"plugins\" list").arg(path));

    const QDir base = QFileInfo(path).absoluteDir();
    QList<KPluginCatalogEntry> entries;
    QSet<QString> seen;
    QStringList skipped;
    const QJsonArray list = doc.object().value(QStringLiteral("plugins")).toArray();
    for (const QJsonValue &value : list) {
        const QJsonObject obj = value.toObject();
        KPluginCatalogEntry entry;
        entry.name = obj.value(QStringLiteral("name")).toString();
        entry.library = obj.value(QStringLiteral("library")).toString();
        const QString package = obj.value(QStringLiteral("package")).toString();
        if (!isValidName(entry.name) || seen.contains(entry.name)
            || (!entry.library.isEmpty() && !isValidLibraryPath(entry.library))) {
            skipped << (entry.name.isEmpty() ? QStringLiteral("<unnamed>") : entry.name);
            continue;
        }
        // Joined as plain text: QDir would take a package starting with ':' for a resource path.
        if (!package.isEmpty())
            entry.packageDir =
                QDir::cleanPath(ulx::paths::isAbsolute(package) ? package : base.path() + QLatin1Char('/') + package);
        entry.props = obj;
        seen.insert(entry.name);
        entries << entry;
    }
    if (problem)
        *problem = skipped.isEmpty() ? QString() : QStringLiteral("skipped entries: %1").arg(skipped.join(u' '));
    return entries;
}
