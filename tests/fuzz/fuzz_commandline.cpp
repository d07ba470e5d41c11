// The command-line model over any line, with or without a program (the first
// input byte): the leading switches are exactly the map's, by lower-cased name,
// the remainder is the end of the line, and the rebuilt text parses again.
#include "platform/cmdline/kxcommandline.h"
#include "platform/cmdline/winargv.h"
#include "tests/fuzz/fuzzcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const bool hasProgram = data[0] & 1;
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    KxCommandLine cmd;
    const bool parsed = cmd.parse(text, hasProgram);
    require(parsed == !ulx::winargv::splitCommandLine(text).isEmpty());
    if (!parsed)
        return 0;
    const QStringList args = cmd.arguments();
    const auto isSwitch = [&](int i) { return args.at(i).size() >= 2 && QStringLiteral("/-").contains(args.at(i).front()); };
    const int first = hasProgram && !isSwitch(0) ? 1 : 0;
    require(cmd.program() == (first ? args.front() : QString()) && text.endsWith(cmd.remainder()));
    require(cmd.switchCount() >= first && cmd.switchCount() <= args.size());
    for (int i = first; i < args.size(); ++i)
        require(isSwitch(i) == (i < cmd.switchCount()) || i > cmd.switchCount());
    const QStringList names = cmd.switches().keys();
    for (const QString &name : names)
        require(name == name.toLower() && cmd.hasSwitch(name));
    if (!names.isEmpty()) {
        cmd.removeSwitch(names.front());
        require(!cmd.hasSwitch(names.front()));
    }
    KxCommandLine again;
    again.parse(cmd.toString(), true);
    return 0;
}
