#pragma once

#include <QString>
#include <QStringList>

#include <deque>
#include <mutex>
#include <optional>

// Command lines the channel acknowledged ("ok") but this process will not run,
// kept on disk for the next process that serves the channel. One file per
// hand-on, `<stateDir>/commands/<ms since the epoch, 13 digits>-<pid>-<n, 6 digits>.cmds`
// (directory 0700, files 0600), written atomically; its content is JSON:
//   {"version":1,"lines":["/run_app /plugin_name:x", ...]}
// The next serving process takes the files oldest first (by name), removes
// each one, and runs its lines in order, once.
namespace ulx::commandspool {

// The spool directory (not created here).
QString directory();
// Writes `lines` as one new spool file. False (and `error` set) when they could
// not be kept; an empty list writes nothing and succeeds.
bool store(const QStringList &lines, QString *error = nullptr);
// Every spooled line, oldest file first, each file removed once read. A file
// that is not a spool (bad JSON, too large) is renamed to `<name>.damaged` and
// skipped; a file that cannot be removed is left for later and its lines are
// not returned, so that no line runs twice.
QStringList takeAll();

} // namespace ulx::commandspool

// The lines the channel acknowledged and the main thread has not run yet, in
// order. The channel's receive thread pushes, the main thread takes one at a
// time; whoever ends the process closes it, which spools what is left. A line
// pushed after that goes to the spool at once.
class KCommandInbox
{
public:
    void push(const QString &line);
    // The oldest line not yet run; nothing when empty or closed.
    std::optional<QString> take();
    // Closes the inbox and returns what it held; later pushes are spooled.
    QStringList close();
    // Closes the inbox and spools what it held; the number of lines handed on,
    // or -1 when they could not be kept (then they are logged).
    int closeAndSpool();

private:
    std::mutex m_mutex; // held for one push, take or close, never across a wait
    std::deque<QString> m_lines;
    bool m_closed = false;
};
