#pragma once

#include <QByteArray>
#include <QList>

// The request period a parameter set names: the "nRequestSpanInSec" items of the
// extras of the first group whose "funcName" is "global" and that has "extras".
namespace ulx::onlineparams {

struct RequestSpan
{
    QString given;      // the value as the body writes it (at most 64 characters), for the log
    bool valid = false; // a whole number of seconds: a JSON number without a fraction, or a
                        // text holding a decimal integer; true, 1.5 or "soon" are no period
    bool held = false;  // valid, but outside the bounds and held to the nearer one
    int seconds = 0;    // when valid: within [MinServerPeriodSec, MaxPeriodSec] of KOnlineParamsManager
};

// Every item in body order (the last valid one is the period in force); none for a
// body that is not such a document. Bytes that are not UTF-8 read as replacement
// characters rather than spoiling the whole document.
QList<RequestSpan> readRequestSpans(const QByteArray &body);

} // namespace ulx::onlineparams
