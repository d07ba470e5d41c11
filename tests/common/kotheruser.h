#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// A throwaway local user, for tests of what another user of the machine can do
// to ours (or of our code run as a user other than root). Made with useradd when
// the test runs as root, removed with its group by the destructor; the files it
// makes must lie in the test's own directories, which the test removes.
namespace ktest {

class KOtherUser
{
public:
    KOtherUser();
    ~KOtherUser();
    KOtherUser(const KOtherUser &) = delete;
    KOtherUser &operator=(const KOtherUser &) = delete;

    // Empty when the user exists, else why not (for QSKIP).
    QString unavailable() const { return m_unavailable; }
    QString name() const { return m_name; }
    uint uid() const { return m_uid; }
    uint gid() const { return m_gid; }

    // Starts `program` as this user (setpriv: its uid and gid, no other groups),
    // with the environment set on `process`.
    void start(QProcess &process, const QString &program, const QStringList &arguments = {}) const;
    // Runs the shell script as this user; true when it exits with 0 in time.
    bool sh(const QString &script, int ms = 10000) const;
    // Starts `flock PATH sh` as this user, holding the lock on PATH until stdin closes.
    bool holdLock(QProcess &holder, const QString &path) const;

private:
    QString m_name;
    QString m_unavailable;
    uint m_uid = 0;
    uint m_gid = 0;
};

} // namespace ktest
