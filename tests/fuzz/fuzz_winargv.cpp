// The Windows splitting rule: what it splits, joined and split again, gives the
// same arguments; nothing after a U+0000 counts; every later argument quoted alone
// comes back as itself.
#include "platform/cmdline/winargv.h"
#include "tests/fuzz/fuzzcheck.h"

using namespace ulx::winargv;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QStringList argv = splitCommandLine(text);
    require(splitCommandLine(joinArguments(argv)) == argv);
    const qsizetype nul = text.indexOf(QChar(0));
    if (nul >= 0)
        require(splitCommandLine(text.left(nul)) == argv);
    for (qsizetype i = 1; i < argv.size() && i < 8; ++i)
        require(splitCommandLine(QStringLiteral("p ") + quoteArgument(argv.at(i))) == QStringList({QStringLiteral("p"), argv.at(i)}));
    return 0;
}
