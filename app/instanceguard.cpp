#include "app/instanceguard.h"

#include "app/messagebox.h"
#include "platform/diagnostics.h"
#include "platform/useraccount.h"

#include <QCryptographicHash>
#include <QDir>
#include <QGuiApplication>
#include <QLocalSocket>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QWindow>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace {
// How long a later start waits for the running launcher's answer. Its event
// loop answers at once, even during start-up and behind a message box.
constexpr int answerWaitMs = 3000;
} // namespace

InstanceGuard::InstanceGuard()
    : m_folder(folder()),
#ifdef Q_OS_WIN
      // Pipe names are machine-wide: the SID keeps another account's apart.
      m_serverName(key() + QLatin1Char('-') + currentUserSid()),
#else
      // A bare name would be a socket in the shared temporary folder.
      m_serverName(QDir(m_folder).filePath(key())),
#endif
      m_lock(QDir(m_folder).filePath(key() + QStringLiteral(".lock")))
{
    // A launcher runs for hours: only a lock whose process has gone is stale.
    m_lock.setStaleLockTime(0);
}

QString InstanceGuard::key()
{
    const QByteArray home = QDir::homePath().toUtf8();
    return QStringLiteral("zanrok-launcher-")
            + QString::fromLatin1(QCryptographicHash::hash(home, QCryptographicHash::Sha1).toHex().left(16));
}

QString InstanceGuard::folder()
{
#ifdef Q_OS_WIN
    // %LOCALAPPDATA%: the user's own, where %TEMP% may be shared.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
#else
    // $XDG_RUNTIME_DIR, which Qt accepts only when it is the user's own and
    // closed to others; without one, the user's cache folder.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
#endif
    QDir().mkpath(folder);
    return folder;
}

bool InstanceGuard::claim()
{
    if (m_lock.tryLock(0)) {
        listen();
        return true;
    }
    // A lock that cannot even be tried (no folder for it) must not keep the
    // player out.
    if (m_lock.error() != QLockFile::LockFailedError)
        return true;
    qCInfo(lcStartup) << "another launcher runs for this user: asking it to the front";
    if (askToFront())
        return false;

    // Nobody answers. The system holds a lock file's native lock for its
    // owner: removal fails while that process lives, and succeeds for a file
    // left by a crash, even one left empty.
    if (m_lock.removeStaleLockFile() && m_lock.tryLock(0)) {
        qCInfo(lcStartup) << "took over a lock nobody held";
        listen();
        return true;
    }
    qint64 pid = 0;
    QString hostName, appName;
    m_lock.getLockInfo(&pid, &hostName, &appName);
    qCInfo(lcStartup) << "the launcher holding the lock does not answer: process" << pid;
    showMessage(QStringLiteral("Лаунчер уже запущен, но не отвечает."));
    return false;
}

bool InstanceGuard::askToFront() const
{
#ifdef Q_OS_WIN
    // Windows lets a process take the foreground only when the one that
    // has it (this fresh start) allows it.
    AllowSetForegroundWindow(ASFW_ANY);
#endif
    QLocalSocket socket;
    socket.connectToServer(m_serverName);
    if (!socket.waitForConnected(answerWaitMs))
        return false;
    socket.write("\n");
    // The system queues a connection even for a process that is stopped or
    // hung: only the answer shows that the launcher is alive.
    return socket.waitForReadyRead(answerWaitMs) && socket.bytesAvailable() > 0;
}

void InstanceGuard::listen()
{
    // A socket left by a launcher that crashed would block the listen.
    QLocalServer::removeServer(m_serverName);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    QObject::connect(&m_server, &QLocalServer::newConnection, &m_server, [this] {
        while (QLocalSocket *socket = m_server.nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            socket->write("\n");
            socket->disconnectFromServer();
        }
        bringWindowsToFront();
    });
    if (!m_server.listen(m_serverName))
        qCInfo(lcStartup) << "no socket for later starts:" << m_server.errorString();
}

void InstanceGuard::bringWindowsToFront()
{
    // The scene's window first, so that a message box over it stays on top.
    QList<QWindow *> windows;
    for (QWindow *window : QGuiApplication::topLevelWindows()) {
        if (!window->isVisible())
            continue;
        if (qobject_cast<QQuickWindow *>(window))
            windows.prepend(window);
        else
            windows.append(window);
    }
    qCInfo(lcStartup) << "a later start asked for the window:" << windows.size() << "to the front";
    for (QWindow *window : windows) {
        window->setWindowStates(window->windowStates() & ~Qt::WindowMinimized);
        window->raise();
        window->requestActivate();
    }
}
