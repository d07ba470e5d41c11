#pragma once

#include <QByteArray>
#include <QList>

// The request period a parameter set names: the "nRequestSpanInSec" items of the
// extras of the first group whose "funcName" is "global" and that has "extras".
namespace ulx::onlineparams {

struct RequestSpan
{
    qint64 given = 0; // as the body writes it
    int seconds = 0;  // held to [MinServerPeriodSec, MaxPeriodSec] of KOnlineParamsManager
};

// Every numeric item in body order (the last one is the period in force); none for a
// body that is not such a document. Bytes that are not UTF-8 read as replacement
// characters rather than spoiling the whole document.
QList<RequestSpan> readRequestSpans(const QByteArray &body);

} // namespace ulx::onlineparams
