#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QString>

// One launcher per user at a time: two would write the same files. The first
// start holds a lock file and listens on a local socket, both named after the
// user's home folder. The lock file, and the socket outside Windows, live in
// a folder of the user's own, where no other user can plant or hold them; on
// Windows the socket is a pipe, whose names are machine-wide, so its name
// carries the user's SID as well. A later start asks the first through the socket to bring its windows to the
// front, and leaves once it has answered.
//
// A launcher that crashed leaves its lock file behind; the next start takes
// such a file over. A launcher that holds its lock and does not answer keeps
// later starts out, and they say so instead of ending silently.
class InstanceGuard
{
public:
    InstanceGuard();

    // True when this process is now the user's one launcher; false when
    // another one runs (it has been asked to come to the front, or the
    // player has been told that it does not answer).
    bool claim();

    // The name shared by the lock file and the socket, one per home folder.
    static QString key();
    // The user's own folder that holds them.
    static QString folder();

private:
    bool askToFront() const;
    void listen();
    static void bringWindowsToFront();

    const QString m_folder;
    const QString m_serverName;
    QLockFile m_lock;
    QLocalServer m_server;
};
