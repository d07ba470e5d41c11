#include "suite/kmemberuser.h"

#include "platform/registry/kregsettings.h"

#include <QRegularExpression>
#include <QStringList>

KMemberUser *KMemberUser::instance()
{
    static KMemberUser user;
    return &user;
}

QString KMemberUser::keyPath()
{
    return QStringLiteral("HKEY_CURRENT_USER\\Software\\Corvanta\\Office\\6.0\\Common\\Account");
}

int KMemberUser::getUserType() const
{
    bool ok = false;
    const int type = KRegSettings(keyPath()).value(QStringLiteral("UserType")).toString().trimmed().toInt(&ok);
    return ok ? type : 0;
}

QList<int> KMemberUser::getUserTypes() const
{
    const QVariant value = KRegSettings(keyPath()).value(QStringLiteral("UserTypes"));
    QStringList texts = value.toStringList();
    if (value.typeId() != QMetaType::QStringList)
        texts = value.toString().split(QRegularExpression(QStringLiteral("[,;]")), Qt::SkipEmptyParts);
    QList<int> out;
    for (const QString &text : texts) {
        bool ok = false;
        const int type = text.trimmed().toInt(&ok);
        if (ok)
            out << type;
    }
    return out;
}
