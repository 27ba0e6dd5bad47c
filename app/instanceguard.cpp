#include "app/instanceguard.h"

#include "platform/diagnostics.h"

#include <QCryptographicHash>
#include <QDir>
#include <QGuiApplication>
#include <QLocalSocket>
#include <QQuickWindow>
#include <QWindow>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

InstanceGuard::InstanceGuard() : m_lock(QDir::temp().filePath(key() + QStringLiteral(".lock")))
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

bool InstanceGuard::claim()
{
    if (!m_lock.tryLock(0)) {
        // A lock that cannot even be tried (no temporary folder) must not
        // keep the player out.
        if (m_lock.error() != QLockFile::LockFailedError)
            return true;
        qCInfo(lcStartup) << "another launcher runs for this user: asking it to the front";
#ifdef Q_OS_WIN
        // Windows lets a process take the foreground only when the one that
        // has it (this fresh start) allows it.
        AllowSetForegroundWindow(ASFW_ANY);
#endif
        QLocalSocket socket;
        socket.connectToServer(key());
        if (socket.waitForConnected(1000)) {
            socket.write("\n");
            socket.waitForBytesWritten(1000);
            socket.disconnectFromServer();
        }
        return false;
    }

    // A socket left by a launcher that crashed would block the listen.
    QLocalServer::removeServer(key());
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    QObject::connect(&m_server, &QLocalServer::newConnection, &m_server, [this] {
        while (QLocalSocket *socket = m_server.nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            socket->disconnectFromServer();
        }
        bringWindowsToFront();
    });
    if (!m_server.listen(key()))
        qCInfo(lcStartup) << "no socket for later starts:" << m_server.errorString();
    return true;
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
