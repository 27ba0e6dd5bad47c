#include "messagecatcher.h"

#include <QApplication>
#include <QMessageBox>
#include <QWindow>

MessageCatcher::MessageCatcher(QObject *parent) : QObject(parent)
{
    connect(&m_timer, &QTimer::timeout, this, &MessageCatcher::poll);
    m_timer.start(20);
}

void MessageCatcher::poll()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    int behind = 0;
    for (QWindow *window : QGuiApplication::topLevelWindows())
        behind += window->isVisible() && window != box->windowHandle();
    texts.append(box->text());
    windowsBehind.append(behind);
    emit caught(box->text(), behind);
    box->accept();
}
