#include "app/messagebox.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QString>
#include <QThread>

void showMessage(const QString &text)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (app && QThread::currentThread() != app->thread()) {
        QMetaObject::invokeMethod(app, [text] { showMessage(text); }, Qt::QueuedConnection);
        return;
    }
    QMessageBox box;
    box.setText(text);
    box.exec();
}
