// The plugin catalogue: every entry it gives has a name that is one directory of its
// own right below the plugins directory, unique, and a library inside that directory.
#include "suite/plugins/kplugincatalog.h"
#include "tests/fuzz/fuzzcheck.h"

#include <QDir>
#include <QFile>
#include <QSet>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), qsizetype(size));
    QString problem;
    const QList<KPluginCatalogEntry> entries = KPluginCatalog::parse(content, QStringLiteral("/o/catalogue.json"), &problem);
    QSet<QString> names;
    for (const KPluginCatalogEntry &e : entries) {
        const QString dir = QDir::cleanPath(QStringLiteral("/p/") + e.name);
        // The directory as the file system sees it: the encoded path up to its first NUL.
        const QString seen = QFile::decodeName(QFile::encodeName(dir).constData());
        require(dir == QStringLiteral("/p/") + e.name && seen == dir && !names.contains(e.name));
        names.insert(e.name);
        const QString library = QDir::cleanPath(dir + QLatin1Char('/') + e.library);
        require(library == dir || library.startsWith(dir + QLatin1Char('/')));
        require(e.packageDir.isEmpty() || (e.packageDir.startsWith(u'/') && QDir::cleanPath(e.packageDir) == e.packageDir));
    }
    return 0;
}
