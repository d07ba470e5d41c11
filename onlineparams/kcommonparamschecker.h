#pragma once

#include "platform/knetaccess.h"

#include <QObject>

// Fills "Nation" (the user's country as the geo-location service [Servers] GeoSvr
// sees it, path "/api/util/geo/country") and "Hdcode" (the last character of
// Common "InfoHD") under Common\PluginMgr, each only while it is empty. One per
// process; without a configured GeoSvr no request is made.
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
