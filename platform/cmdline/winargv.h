#pragma once

#include <QString>
#include <QStringList>

// The Windows process command-line rule, as the shell's CommandLineToArgvW applies it.
//
// A command line is one UTF-16 text; the rule turns it into argv in two stages.
//
// 1. The first argument is a program path and follows a rule of its own; there is
//    no backslash processing and no way to write a literal quote inside quotes:
//    - If the text starts with '"', the argument is everything up to the next '"'
//      (or the end); that quote is dropped and the next argument may begin right
//      after it, without a separator ("a"b gives a, b).
//    - Otherwise the argument runs up to the first character at or below U+0020,
//      which includes every ASCII control character, not only blank and tab.
//      That one character is consumed. Quote characters in an unquoted program
//      path are taken literally (a"b c gives a"b, c).
//    - So a text that starts with a blank or a control character gives an empty
//      first argument, and a text of blanks alone gives exactly one empty
//      argument: the program path ends at once, the rest is skipped as blanks
//      and no further argument starts.
// 2. Then blanks and tabs (only these two) are skipped and each later argument
//    is read by the C runtime rules:
//    - 2n backslashes and a '"' give n backslashes and toggle quoting;
//    - 2n+1 backslashes and a '"' give n backslashes and a literal '"';
//    - backslashes not followed by a '"' are literal;
//    - within quotes, a '"' followed directly by another '"' gives one literal
//      '"', and quoting ENDS there (the shell keeps the runtime's older rule; the
//      runtime since 2008 stays in quotes). So "a""b c" gives a"b and c, and
//      a run of quotes alternates: open, literal-and-close, open, ...
//    - outside quotes, a blank or tab ends the argument; a quote opened and
//      closed gives an argument even when it is empty ("" gives one empty one).
//
// The text is read like the NUL-terminated string the Windows function takes:
// nothing after a U+0000 is seen. An empty text gives an EMPTY list here (the
// Windows function returns the path of the calling program instead, which has no
// meaning for a text that came from elsewhere).
namespace ulx::winargv {

// Splits a command line into its arguments by the rule above.
QStringList splitCommandLine(const QString &text);

// Writes one argument (not the first) so that the argument rules give it back:
// left as it is when it is not empty and holds no blank, tab or '"'; otherwise
// enclosed in quotes, with each '"' escaped and the backslashes before a '"'
// (or before the closing quote) doubled. U+0000 cannot travel in a command line
// and is dropped.
QString quoteArgument(const QString &arg);

// Writes argv as one command line, the first element by the program-path rule
// and the others by quoteArgument, separated by single blanks, so that
// splitCommandLine(joinArguments(argv)) == argv. An empty argv gives an empty
// text. The first element is left bare when it is not empty, does not start with
// '"' and holds no character at or below U+0020 (a '"' inside it then survives);
// otherwise it is enclosed in quotes.
//
// What cannot survive: U+0000 anywhere (dropped), and the '"' characters of a
// first element that starts with '"' or also holds a blank or control character.
// The program-path rule cannot express such an element at all; it loses exactly
// its '"' characters and keeps everything else, and the count of arguments and
// all later arguments stay exact.
QString joinArguments(const QStringList &argv);

} // namespace ulx::winargv
