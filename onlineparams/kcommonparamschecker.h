#pragma once

#include "platform/knetaccess.h"

#include <QObject>

// Fills "Nation" (the user's country as the geo-location service [Servers] GeoSvr
// sees it, path "/api/util/geo/country") and "Hdcode" (the last character of
// Common "InfoHD") under Common\PluginMgr, each only while it is empty. One per
// process; without a configured GeoSvr no request is made.
// The geo request goes only to an https GeoSvr (certificates unchecked), ends after
// [Servers] GeoTimeoutMs (default 30000) in all and drops an answer over 4 KiB, both
// leaving "Nation" empty for the next start; a "result" other than 1 to 8 letters is
// stored as "unknown".
class KCommonParamsChecker : public QObject
{
    Q_OBJECT
public:
    static KCommonParamsChecker *instance();
    static void release();

    void check();

    static QString pluginMgrKey();

private Q_SLOTS:
    void onReply(ulx::net::KHttpReply *reply);

private:
    KCommonParamsChecker() = default;
    void requestCountry();
    void copyHdcode();
};
