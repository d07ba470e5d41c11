#include "suite/ksuiterefs.h"

#include <QNetworkAccessManager>

bool KQtNetworkLibRefrence::refrence()
{
    // Touching a symbol of the module keeps it a load-time dependency.
    return QNetworkAccessManager::staticMetaObject.className() != nullptr;
}

bool KQtWebkitLibRefrence::refrence()
{
    return false;
}
