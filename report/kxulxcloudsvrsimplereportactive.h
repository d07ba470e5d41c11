#pragma once

#include "platform/registry/kregsettings.h"

#include <QObject>

// Sends "ulxcloudsvr_simple_active" at most once per local calendar day, at the
// service's start, when "simplereportswitch" under plugins\ulxcloudsvrimp is true
// and the product has "UlxCloudsvrReportActive". Its fields: the identity field,
// the client version, the distribution and the hardware identifier ("p3").
class KxUlxCloudsvrSimpleReportActive : public QObject
{
    Q_OBJECT
public:
    explicit KxUlxCloudsvrSimpleReportActive(QObject *parent);

    void run();
    bool reportedToday();
    void markReported();
    void sendSimpleActive();

    bool isEnabled() const { return m_enabled; }

private:
    bool m_enabled = false;
    KRegSettings m_settings;
    int m_todayState = 0; // 0 not looked up, 1 reported today, 2 not reported today
};
