#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

// Closes every modal message box as soon as it shows and remembers its text
// and how many other windows were on screen behind it.
class MessageCatcher : public QObject
{
    Q_OBJECT

public:
    explicit MessageCatcher(QObject *parent = nullptr);

    QStringList texts;
    QList<int> windowsBehind;

signals:
    void caught(const QString &text, int windowsBehind);

private:
    void poll();
    QTimer m_timer;
};
