// ulxcmdline: reads one JSON string literal per line on stdin, parses it as the
// service parses a command line, and writes one compact JSON object per line.

#include "app/kxcommandline.h"
#include "tools/ulxcmdline/jsonstring.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

using ulx::jsonstring::encode;

QByteArray errorObject(qint64 lineNumber, const QString &message)
{
    return QByteArrayLiteral("{\"error\":")
        + encode(QStringLiteral("line %1: %2").arg(lineNumber).arg(message)) + '}';
}

QByteArray parsedObject(const KxCommandLine &line)
{
    QByteArray out = QByteArrayLiteral("{\"arguments\":[");
    const QStringList arguments = line.arguments();
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (i > 0)
            out += ',';
        out += encode(arguments.at(i));
    }
    out += "],\"program\":" + encode(line.program());
    out += ",\"switchCount\":" + QByteArray::number(line.switchCount());
    out += ",\"switches\":{";
    const QMap<QString, QString> switches = line.switches();
    bool first = true;
    for (auto it = switches.cbegin(); it != switches.cend(); ++it) {
        if (!first)
            out += ',';
        first = false;
        out += encode(it.key()) + ':' + encode(it.value());
    }
    out += "},\"remainder\":" + encode(line.remainder());
    out += ",\"rebuilt\":" + encode(line.toString()) + '}';
    return out;
}

QByteArray processLine(qint64 lineNumber, QByteArrayView input, bool hasProgram)
{
    QString text;
    QString error;
    if (!ulx::jsonstring::decode(input, &text, &error))
        return errorObject(lineNumber, error);

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
        "Strings may hold any UTF-16 text; \\uXXXX escapes unpaired surrogates both ways."));
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
