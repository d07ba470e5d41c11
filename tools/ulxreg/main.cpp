// ulxreg: reads and edits the service's settings store from a shell, with the
// verbs and switches people know from the registry's command-line tool.
//
//   ulxreg query  KEY [/v NAME | /ve] [/s]
//   ulxreg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
//   ulxreg delete KEY [/v NAME | /ve | /va] [/f]
//
// Exit status 0 on success, 1 with a message on stderr on any failure.

#include "platform/registry/kregstore.h"

#include <QLoggingCategory>
#include <QTextStream>

#include <cstdio>
#include <limits>
#include <optional>

namespace {

const char kUsage[] =
    "Usage:\n"
    "  ulxreg query  KEY [/v NAME | /ve] [/s]\n"
    "  ulxreg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  ulxreg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "\n"
    "KEY    HKEY_CURRENT_USER\\... (HKCU\\...) or HKEY_LOCAL_MACHINE\\... (HKLM\\...);\n"
    "       names match case-insensitively.\n"
    "/v     the value NAME ('/' and '\\' separate keys, so a NAME holds neither);\n"
    "       /ve the key's default (unnamed) value; /va all values (delete).\n"
    "/s     query: the key and all keys below it; add: the REG_MULTI_SZ separator (default \\0).\n"
    "/t     REG_SZ (default), REG_DWORD, REG_QWORD, REG_MULTI_SZ or REG_BINARY.\n"
    "/d     the data: text; a number for REG_DWORD and REG_QWORD (decimal or 0x hex);\n"
    "       hex digits for REG_BINARY.\n"
    "/f     accepted for compatibility: ulxreg never asks before it overwrites or deletes.\n"
    "Without /v, /ve or /va, add creates the key and delete removes it with its subkeys.\n";

const char kNotFound[] = "The system was unable to find the specified registry key or value.";

// What went wrong, for stderr; empty while all is well.
using Error = QString;

struct Options
{
    QString verb;
    KRegKeyPath key;
    std::optional<QString> valueName; // /v NAME, or "" for /ve
    bool allValues = false;           // /va
    bool recursive = false;           // /s in query
    QString type = QStringLiteral("REG_SZ");
    QString separator = QStringLiteral("\\0");
    QString data;
};

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

bool isOption(const QString &arg, const char *name)
{
    return (arg.startsWith(QLatin1Char('/')) || arg.startsWith(QLatin1Char('-')))
        && arg.mid(1).compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
}

Error parse(const QStringList &args, Options &o)
{
    o.verb = args.value(0).toLower();
    if (o.verb != QLatin1String("query") && o.verb != QLatin1String("add") && o.verb != QLatin1String("delete"))
        return QStringLiteral("Invalid syntax. Unknown operation \"%1\".").arg(args.value(0));
    if (args.size() < 2)
        return QStringLiteral("Invalid syntax. The operation needs a KEY.");
    o.key = KRegKeyPath::parse(args.at(1));
    if (!o.key.isValid())
        return QStringLiteral("Invalid key name \"%1\".").arg(args.at(1));

    const bool query = o.verb == QLatin1String("query");
    const bool add = o.verb == QLatin1String("add");
    int selectors = 0;
    bool typeGiven = false;
    bool dataGiven = false;
    for (qsizetype i = 2; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        const bool takesValue = isOption(arg, "v") || isOption(arg, "t") || isOption(arg, "d") || (isOption(arg, "s") && add);
        if (takesValue && i + 1 >= args.size())
            return QStringLiteral("Invalid syntax. \"%1\" needs a value.").arg(arg);
        const auto next = [&]() { return args.at(++i); };
        if (isOption(arg, "v")) {
            o.valueName = next();
            if (!KRegStore::isValidValueName(*o.valueName))
                return QStringLiteral("Invalid value name \"%1\": '/' and '\\' separate keys; name the key in KEY.")
                    .arg(*o.valueName);
            ++selectors;
        } else if (isOption(arg, "ve")) {
            o.valueName = QString();
            ++selectors;
        } else if (isOption(arg, "va") && o.verb == QLatin1String("delete")) {
            o.allValues = true;
            ++selectors;
        } else if (isOption(arg, "s") && query) {
            o.recursive = true;
        } else if (isOption(arg, "s") && add) {
            o.separator = next();
        } else if (isOption(arg, "t") && add) {
            o.type = next();
            typeGiven = true;
        } else if (isOption(arg, "d") && add) {
            o.data = next();
            dataGiven = true;
        } else if (isOption(arg, "f") && !query) {
            // Nothing to do: there is never a prompt.
        } else {
            return QStringLiteral("Invalid syntax. Unknown option \"%1\" for %2.").arg(arg, o.verb);
        }
    }
    if (selectors > 1)
        return QStringLiteral("Invalid syntax. Use only one of /v, /ve and /va.");
    if (add && !o.valueName && (typeGiven || dataGiven))
        return QStringLiteral("Invalid syntax. /t and /d need /v NAME or /ve.");
    if (query && o.recursive && o.valueName)
        return QStringLiteral("Invalid syntax. /s lists whole keys and does not go with /v or /ve.");
    return Error();
}

// A DWORD or QWORD written as decimal or 0x hexadecimal, at most `max`.
std::optional<quint64> parseNumber(const QString &text, quint64 max)
{
    bool ok = false;
    const QString t = text.trimmed();
    const quint64 n = t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? t.mid(2).toULongLong(&ok, 16)
                                                                              : t.toULongLong(&ok, 10);
    if (!ok || n > max)
        return std::nullopt;
    return n;
}

Error valueFromOptions(const Options &o, KRegValue &value)
{
    const KRegType type = kregTypeFromName(o.type);
    value = KRegValue{*o.valueName, type, QVariant()};
    const auto badData = [&o, type](const char *expected) {
        return QStringLiteral("Invalid data \"%1\" for %2: expected %3.")
            .arg(o.data, kregTypeName(type), QLatin1String(expected));
    };
    switch (type) {
    case KRegType::Sz:
        value.data = o.data;
        return Error();
    case KRegType::Dword: {
        // As in the registry tool, no data means 0.
        const auto n = o.data.isEmpty() ? std::optional<quint64>(0)
                                         : parseNumber(o.data, std::numeric_limits<quint32>::max());
        if (!n)
            return badData("a number from 0 to 4294967295 (decimal or 0x hexadecimal)");
        value.data = QVariant::fromValue(quint32(*n));
        return Error();
    }
    case KRegType::Qword: {
        const auto n = o.data.isEmpty() ? std::optional<quint64>(0)
                                         : parseNumber(o.data, std::numeric_limits<quint64>::max());
        if (!n)
            return badData("a number from 0 to 18446744073709551615 (decimal or 0x hexadecimal)");
        value.data = QVariant::fromValue(qlonglong(*n));
        return Error();
    }
    case KRegType::MultiSz:
        if (o.separator.isEmpty())
            return QStringLiteral("Invalid syntax. The /s separator is empty.");
        value.data = o.data.isEmpty() ? QStringList() : o.data.split(o.separator);
        return Error();
    case KRegType::Binary: {
        const QByteArray hex = o.data.toLatin1();
        const QByteArray bytes = QByteArray::fromHex(hex);
        if (hex.size() % 2 != 0 || bytes.toHex().compare(hex, Qt::CaseInsensitive) != 0)
            return badData("an even number of hexadecimal digits");
        value.data = bytes;
        return Error();
    }
    case KRegType::None:
        break;
    }
    return QStringLiteral("Invalid type \"%1\": use REG_SZ, REG_DWORD, REG_QWORD, REG_MULTI_SZ or REG_BINARY.")
        .arg(o.type);
}

QString displayData(const KRegValue &value)
{
    switch (value.type) {
    case KRegType::Sz:
        return value.data.toString();
    case KRegType::Dword:
        return QStringLiteral("0x") + QString::number(value.data.toUInt(), 16);
    case KRegType::Qword:
        return QStringLiteral("0x") + QString::number(quint64(value.data.toLongLong()), 16);
    case KRegType::MultiSz:
        return value.data.toStringList().join(QStringLiteral("\\0"));
    case KRegType::Binary:
        return QString::fromLatin1(value.data.toByteArray().toHex().toUpper());
    case KRegType::None:
        break;
    }
    return QString();
}

void printValue(const KRegValue &value)
{
    const QString name = value.name.isEmpty() ? QStringLiteral("(Default)") : value.name;
    out() << "    " << name << "    " << kregTypeName(value.type) << "    " << displayData(value) << '\n';
}

// `path` as the keys spell it in the store.
QString storedPath(const KRegNode &root, const QStringList &keys)
{
    QStringList names{root.name()};
    const KRegNode *node = &root;
    for (const QString &key : keys) {
        node = node->subkey(key);
        names.append(node->name());
    }
    return names.join(QLatin1Char('\\'));
}

void printKey(const KRegNode &node, const QString &path, bool recursive)
{
    out() << '\n' << path << '\n';
    for (const KRegValue &value : node.values())
        printValue(value);
    if (recursive) {
        for (const KRegNode &sub : node.subkeys())
            printKey(sub, path + QLatin1Char('\\') + sub.name(), true);
        return;
    }
    if (!node.subkeys().empty()) {
        out() << '\n';
        for (const KRegNode &sub : node.subkeys())
            out() << path << '\\' << sub.name() << '\n';
    }
}

Error query(const Options &o, const KRegStore::Snapshot &snapshot)
{
    const KRegNode *node = snapshot.root.find(o.key.keys());
    if (!node)
        return QLatin1String(kNotFound);
    const QString path = storedPath(snapshot.root, o.key.keys());
    if (o.valueName) {
        const KRegValue *value = node->value(*o.valueName);
        if (!value)
            return QLatin1String(kNotFound);
        out() << '\n' << path << '\n';
        printValue(*value);
        out() << '\n';
        return Error();
    }
    printKey(*node, path, o.recursive);
    out() << '\n';
    return Error();
}

Error describe(KRegStore::Result result, KRegHive hive)
{
    switch (result) {
    case KRegStore::Ok:
        return Error();
    case KRegStore::NotFound:
        return QLatin1String(kNotFound);
    case KRegStore::InvalidPath:
        return QStringLiteral("Invalid key name.");
    case KRegStore::AccessError:
        break;
    }
    return QStringLiteral("Cannot write the settings store %1.").arg(KRegStore::filePath(hive));
}

Error add(const Options &o)
{
    if (!o.valueName)
        return describe(KRegStore::createKey(o.key), o.key.hive());
    KRegValue value;
    const Error error = valueFromOptions(o, value);
    if (!error.isEmpty())
        return error;
    return describe(KRegStore::setValue(o.key, value), o.key.hive());
}

Error remove(const Options &o)
{
    if (o.valueName)
        return describe(KRegStore::removeValue(o.key, *o.valueName), o.key.hive());
    if (o.allValues) {
        return describe(KRegStore::modify(o.key.hive(),
                                          [&o](KRegNode &root) {
                                              KRegNode *node = root.find(o.key.keys());
                                              if (!node)
                                                  return KRegStore::NotFound;
                                              while (!node->values().empty())
                                                  node->removeValue(node->values().front().name);
                                              return KRegStore::Ok;
                                          }),
                        o.key.hive());
    }
    // A whole hive is not something to wipe from a shell by accident.
    if (o.key.keys().isEmpty())
        return QStringLiteral("Invalid key name: a hive root cannot be deleted.");
    return describe(KRegStore::removeKey(o.key), o.key.hive());
}

// Said on every run that meets a damaged file: the person at the shell may be
// the only one to notice before the next change writes the file anew.
void warnDamaged(KRegHive hive, const KRegStore::Snapshot &snapshot)
{
    const QString path = KRegStore::filePath(hive);
    err() << "ulxreg: WARNING: the settings store " << path << " is damaged: it reads as far as it is understood";
    if (snapshot.damagedCopy.isEmpty())
        err() << "; no copy of it could be kept, so changes to it fail until one can.\n";
    else
        err() << "; a copy is kept as " << snapshot.damagedCopy << ", and the next change writes it anew.\n";
    err().flush();
}

Error execute(const QStringList &args)
{
    if (args.isEmpty())
        return QStringLiteral("Invalid syntax. No operation given.");
    Options o;
    Error error = parse(args, o);
    if (!error.isEmpty())
        return error;
    const KRegStore::Snapshot snapshot = KRegStore::read(o.key.hive());
    if (snapshot.damaged)
        warnDamaged(o.key.hive(), snapshot);
    if (o.verb == QLatin1String("query"))
        return query(o, snapshot);
    error = o.verb == QLatin1String("add") ? add(o) : remove(o);
    if (error.isEmpty())
        out() << "The operation completed successfully.\n";
    return error;
}

int run(const QStringList &args)
{
    if (args.size() == 1 && (args.at(0) == QLatin1String("/?") || args.at(0) == QLatin1String("-h")
                             || args.at(0) == QLatin1String("--help"))) {
        out() << kUsage;
        return 0;
    }
    const Error error = execute(args);
    if (error.isEmpty())
        return 0;
    out().flush();
    err() << "ulxreg: ERROR: " << error << '\n';
    if (error.startsWith(QLatin1String("Invalid syntax")))
        err() << '\n' << kUsage;
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    // The store's own warnings are written for a log; this tool says the same in its own words.
    QLoggingCategory::setFilterRules(QStringLiteral("ulx.registry.warning=false"));
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    const int status = run(args);
    out().flush();
    err().flush();
    return status;
}
