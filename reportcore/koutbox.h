#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>

// The per-user outbox of events that wait for the serving process to send them:
// $XDG_STATE_HOME/ulxcloudsvr/outbox/ (made 0700). Each spool is one file of URLs,
// one per line, named "<ms>-<pid>-<n>-<events>.urls" (files of earlier versions,
// "<ms>-<pid>-<n>.urls" without the count, are read the same way). A spool is
// written whole under a temporary name, flushed and synced, and renamed into place,
// so a reader never sees half a spool and many processes may spool at once. The
// serving process claims a spool by renaming it to a name of its own before it
// reads it, so every spool is sent by one process only; what does not fit its
// queue is written back under the spool's old name for later.
namespace ulx::outbox {

// Events the outbox holds at most; a spool that would pass it loses its newest
// events, and the log says how many.
constexpr qint64 MaxEvents = 100000;
// A spool holds at most a full queue of the longest URLs; a bigger file is no
// spool of ours and is removed unread (logged).
constexpr qint64 MaxSpoolBytes = 64 * 1024 * 1024;

QString dir();
// Makes the outbox (mode 0700 from its creation); false when it cannot be used.
bool ensureDir();
// Writes one spool file; false when nothing was written (disk error, outbox full), logged.
bool spool(const QList<QByteArray> &urls);
// Whether any spool waits.
bool hasWaiting();
// Takes up to `room` URLs, oldest spool first, each spool whole or, when it does
// not fit, its first part (the rest is written back for later). With `taken`, the
// claimed files stay on disk (listed there) until release(): a process that ends
// in between leaves them to recoverClaimed(), so nothing taken is lost.
QList<QByteArray> claim(qsizetype room, QStringList *taken = nullptr);
void release(const QStringList &taken);
// Spools claimed by a process that is gone go back into the outbox.
void recoverClaimed();

// The URLs in the bytes of a spool, in order: one a line; empty lines, lines
// longer than a URL may be and anything but http(s) are skipped.
QList<QByteArray> parseSpool(QByteArrayView bytes);

// The incremental form of parseSpool, for reading a spool in pieces.
class SpoolParser
{
public:
    explicit SpoolParser(qsizetype maxUrls) : m_max(maxUrls) {}
    // Takes the next bytes; false once `maxUrls` URLs are taken (the rest is not looked at).
    bool feed(QByteArrayView bytes);
    // The input ended: a last line without its newline counts.
    void finish();

    QList<QByteArray> urls;
    // Bytes of the input looked at so far (the first not taken is at this offset).
    qint64 consumed = 0;
    // Lines skipped as no URL.
    int skipped = 0;

private:
    void takeLine();

    QByteArray m_line;
    bool m_overlong = false;
    qsizetype m_max;
};

} // namespace ulx::outbox
