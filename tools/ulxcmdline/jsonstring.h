#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// JSON string literals that carry any UTF-16 text, unpaired surrogates included.
// The tool reads and writes them itself: a line must be exactly one string
// literal (Qt's reader takes only an array or object at the top level), every
// surrogate code unit goes out as a \uXXXX escape so the output stays plain
// UTF-8 whatever the text holds, and the tool writes its objects with their keys
// in a fixed order of its own.
namespace ulx::jsonstring {

// Decodes `line` (UTF-8), which must hold exactly one JSON string literal with
// optional JSON white space around it. Each \uXXXX escape gives one UTF-16 code
// unit, so an unpaired surrogate survives. On failure returns false and sets
// `error` to a message naming the column (1-based, in UTF-16 code units).
bool decode(QByteArrayView line, QString *text, QString *error);

// Encodes `text` as a JSON string literal: '"' and '\' escaped, control
// characters and every surrogate code unit (paired or not) as \uXXXX, other
// characters as UTF-8. decode(encode(s)) == s for every s.
QByteArray encode(const QString &text);

} // namespace ulx::jsonstring
