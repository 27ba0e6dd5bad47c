#pragma once

#include <QObject>
#include <QString>

#include <mutex>
#include <optional>

// The progress record of a load, shown by the scene. It lives on the GUI
// thread; the loader thread reaches it only through report().
class GameLoaderStatus : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool gameLoadStarted READ gameLoadStarted WRITE setGameLoadStarted
                   NOTIFY gameLoadStartedChange)
    Q_PROPERTY(QString info READ info WRITE setInfo NOTIFY infoChange)
    Q_PROPERTY(int loadPercent READ loadPercent WRITE setLoadPercent NOTIFY loadPercentChange)

public:
    using QObject::QObject;
    ~GameLoaderStatus() override;

    bool gameLoadStarted() const { return m_gameLoadStarted; }
    QString info() const { return m_info; }
    int loadPercent() const { return m_loadPercent; }

    void setGameLoadStarted(bool started);
    void setInfo(const QString &info);
    void setLoadPercent(int percent);

    // Sets info, then loadPercent, on the status object's own thread. Safe to
    // call from any thread. Reports that come faster than that thread takes
    // them in are merged: it sees the latest one, always before anything the
    // caller queues to that thread afterwards.
    void report(const QString &info, int percent);

signals:
    void gameLoadStartedChange();
    void infoChange();
    void loadPercentChange();

private:
    struct Report
    {
        QString info;
        int percent;
    };
    void applyPendingReport();

    bool m_gameLoadStarted = false;
    QString m_info;
    int m_loadPercent = 0;

    std::mutex m_pendingMutex;
    std::optional<Report> m_pending; // posted, not yet applied
};
