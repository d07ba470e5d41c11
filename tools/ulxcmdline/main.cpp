// ulxcmdline: reads one JSON string literal per line on stdin, parses it as the
// service parses a command line, and writes one compact JSON object per line.

#include "platform/cmdline/kxcommandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

// Qt's JSON reader and writer carry any UTF-16 text, lone surrogates included
// (as \uXXXX). The reader takes only an array or an object at the top level, so
// a line is read as the array "[line]" that must hold one string.
QByteArray compact(const QJsonValue &value)
{
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

QByteArray errorObject(qint64 lineNumber, const QString &message)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("error"), QStringLiteral("line %1: %2").arg(lineNumber).arg(message)}})
        .toJson(QJsonDocument::Compact);
}

// The keys in the order of their meaning, which a QJsonObject would sort away.
QByteArray parsedObject(const KxCommandLine &line)
{
    QJsonObject switches;
    const QMap<QString, QString> map = line.switches();
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        switches.insert(it.key(), it.value());
    return "{\"arguments\":" + compact(QJsonArray::fromStringList(line.arguments()))
        + ",\"program\":" + compact(line.program())
        + ",\"switchCount\":" + QByteArray::number(line.switchCount())
        + ",\"switches\":" + compact(switches)
        + ",\"remainder\":" + compact(line.remainder())
        + ",\"rebuilt\":" + compact(line.toString()) + '}';
}

QByteArray processLine(qint64 lineNumber, QByteArrayView input, bool hasProgram)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson("[" + input.toByteArray() + "]", &error);
    if (error.error != QJsonParseError::NoError) {
        return errorObject(lineNumber, QStringLiteral("not a JSON string literal: %1 near byte %2")
                                           .arg(error.errorString())
                                           .arg(qMax(1, error.offset)));
    }
    const QJsonArray array = doc.array();
    if (array.size() != 1 || !array.first().isString())
        return errorObject(lineNumber, QStringLiteral("not a JSON string literal"));
    const QString text = array.first().toString();

    KxCommandLine line;
    if (!line.parse(text, hasProgram)) {
        return errorObject(lineNumber, text.isEmpty()
                ? QStringLiteral("parse failed: the command line is empty")
                : QStringLiteral("parse failed: the command line holds no argument (it starts with U+0000)"));
    }
    return parsedObject(line);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ulxcmdline"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Parses command lines as the cloud service does.\n"
        "Reads one JSON string literal per line on stdin, e.g. \"/run_plugin \\\"a b\\\"\",\n"
        "and writes one JSON object per line on stdout:\n"
        "  {\"arguments\":[...],\"program\":\"...\",\"switchCount\":N,\"switches\":{...},\n"
        "   \"remainder\":\"...\",\"rebuilt\":\"...\"}\n"
        "or {\"error\":\"...\"} for a line that is not a JSON string literal or does not parse.\n"
        "Strings may hold any UTF-16 text; \\uXXXX carries unpaired surrogates both ways."));
    parser.addHelpOption();
    const QCommandLineOption programOption(QStringLiteral("program"),
        QStringLiteral("The command lines start with a program path (parse with the program flag)."));
    parser.addOption(programOption);
    parser.process(app);
    const bool hasProgram = parser.isSet(programOption);

    std::string input;
    qint64 lineNumber = 0;
    while (std::getline(std::cin, input)) {
        ++lineNumber;
        QByteArrayView view(input.data(), qsizetype(input.size()));
        if (view.endsWith('\r'))
            view.chop(1);
        const QByteArray out = processLine(lineNumber, view, hasProgram) + '\n';
        std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
        std::fflush(stdout);
    }
    return 0;
}
