#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QString>

// One launcher per user at a time: two would write the same files. The first
// start holds a lock file and listens on a local socket, both named after the
// user's home folder; a later start asks it through the socket to bring its
// windows to the front, and leaves.
//
// A launcher that crashed leaves its lock file behind, naming a process that
// no longer runs; the next start takes such a file over.
class InstanceGuard
{
public:
    InstanceGuard();

    // True when this process is now the user's one launcher; false when
    // another one runs (it has been asked to come to the front).
    bool claim();

    // The name shared by the lock file and the socket, one per home folder.
    static QString key();

private:
    static void bringWindowsToFront();

    QLockFile m_lock;
    QLocalServer m_server;
};
