// The period of an online parameter body: every period it names is held to what a
// timer takes and the server may ask for; one that was held lies on a bound.
#include "onlineparams/konlineparamsmanager.h"
#include "onlineparams/krequestspan.h"
#include "tests/fuzz/fuzzcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const ulx::onlineparams::RequestSpan &span : ulx::onlineparams::readRequestSpans(body)) {
        if (!span.valid)
            continue;
        require(span.seconds >= KOnlineParamsManager::MinServerPeriodSec);
        require(span.seconds <= KOnlineParamsManager::MaxPeriodSec);
        require(!span.held || span.seconds == KOnlineParamsManager::MinServerPeriodSec
                || span.seconds == KOnlineParamsManager::MaxPeriodSec);
    }
    return 0;
}
