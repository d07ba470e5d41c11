#include "platform/atomicfile.h"

#include <QSaveFile>

namespace ulx::files {

bool writeAtomically(const QString &path, const QByteArray &bytes, QFileDevice::Permissions permissions,
                     QString *error)
{
    QSaveFile file(path);
    const auto fail = [&] {
        if (error)
            *error = file.errorString();
        file.cancelWriting();
        return false;
    };
    if (!file.open(QIODevice::WriteOnly))
        return fail();
    file.setPermissions(permissions);
    // QSaveFile buffers: a write into a full file system can "succeed" into the
    // buffer and fail only at the flush, which commit() does not report on every
    // Qt version. Both are checked here before the rename may happen.
    if (file.write(bytes) != bytes.size() || !file.flush())
        return fail();
    if (!file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace ulx::files
