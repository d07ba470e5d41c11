#pragma once

#include "platform/export.h"

#include <QList>

// The suite's account membership: the user's type numbers. Read from the settings
// store at each call (values of HKEY_CURRENT_USER\Software\Corvanta\Office\6.0\Common\Account):
//   "UserType"   DWORD, or a text holding a number: the main type (0 when missing)
//   "UserTypes"  REG_MULTI_SZ of numbers, or one text of numbers separated by ','
//                or ';': every type the user holds (entries that are no number are skipped)
// Members hold a type from 12 to 40.
class ULX_EXPORT KMemberUser
{
public:
    enum UserTypeRange { MemberTypeFirst = 12, MemberTypeLast = 40 };

    static KMemberUser *instance();

    int getUserType() const;
    QList<int> getUserTypes() const;

    static QString keyPath();
};
