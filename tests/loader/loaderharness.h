#pragma once

#include "testserver.h"

#include <QJsonArray>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

class GameLoaderStatus;
class GameLoaderWorker;

// A loader thread and worker wired as the controller wires them, a status
// object whose every change is recorded, a local file host, and HOME and
// XDG_CONFIG_HOME in fresh temporary folders.
class LoaderHarness : public QObject
{
    Q_OBJECT

public:
    LoaderHarness();
    ~LoaderHarness() override;

    TestServer server;

    // Publishes `content` at `path` on the server and returns its manifest
    // element with its size; `hash` replaces the true digest when given.
    QJsonObject publish(const QString &file, const QByteArray &path, const QByteArray &content,
                        const QString &hash = QString());
    void setManifest(const QJsonArray &manifest);
    // The keys the run requires the manifest to be signed with (none: no check).
    void setManifestKeys(const QStringList &keys);

    // One load on the loader thread; false if it never ended.
    bool run();
    // The same, without waiting for it.
    void startRun();
    // Waits until the status showed a text starting with `prefix`.
    bool waitForInfo(const QString &prefix);
    // Tells the loader thread to quit, as the exit button does, and waits
    // for the run's end; false if it never ended.
    bool stopRun();

    bool finished = false;
    bool result = false;
    QString errorInfo;
    QStringList infos;        // every change of info, in order
    QList<int> percents;      // every change of loadPercent, in order
    QStringList messages() const;
    void clearRecords();

    QString home() const { return m_home.path(); }
    QString installFolder() const { return m_home.path() + "/Games/Zanrok"; }
    QString serverFolder(const char *identifier) const;
    QString settingsValue(const QString &key) const; // "<absent>" when not stored
    void setSetting(const QString &key, const QString &value);

    // A RageMP folder that a run finds without installing; its client is the
    // stand-in, so a start shows in its log.
    QString preinstall();
    QStringList launchLog(const QString &ragePath) const;
    bool waitForLaunchLog(const QString &ragePath, int lines) const;

    static QByteArray standinClient();
    static QByteArray readFile(const QString &path);
    static void writeFile(const QString &path, const QByteArray &content);
    // Files under `folder`, relative to it, so a stray temporary file shows.
    static QStringList filesUnder(const QString &folder);

private:
    QTemporaryDir m_home;
    QTemporaryDir m_config;
    QThread m_thread;
    GameLoaderWorker *m_worker = nullptr;
    GameLoaderStatus *m_status = nullptr;
    mutable QMutex m_mutex;
    QStringList m_messages;
};
