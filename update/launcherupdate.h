#pragma once

#include "transfer/pipelinednetworkmanager.h"
#include "update/launcherrelease.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class Transfer;

// How the launcher updates itself once it has announced a new version: on
// Windows through the signed installer, elsewhere not at all (the download
// page, as before).
struct SelfUpdate
{
    bool enabled = false;
    QString folder; // installers land in folder/<version>/
    // Starts the installer to replace this launcher (`/S /UPDATE`); false
    // when it could not be started.
    std::function<bool(const QString &installer)> startInstaller;

    // Windows: %LOCALAPPDATA%\Zanrok\updates and a detached start.
    static SelfUpdate builtIn();
};

// Where the next version is published and what it is checked against.
struct UpdateSource
{
    QString descriptorUrl;
    QString versionText; // as fetched, announced as another version
    QString ownVersion;
    QStringList trustedKeys; // the manifest's
    quint64 minimumTimestamp = 0;
};

// The update, from the descriptor to the installer started: the descriptor
// and its signature (each capped, with a deadline), their check (keeping
// what is accepted, as for the manifest), the installer downloaded with the
// loader's transfer (resumable, bounded by its size, retried) and checked
// by its SHA-256, then started. Anything on the way that fails ends it
// without a start, the reason in zanrok.update.
class LauncherUpdate : public QObject
{
    Q_OBJECT

public:
    LauncherUpdate(UpdateSource source, SelfUpdate setup, QObject *parent = nullptr);
    ~LauncherUpdate() override;

    void start();

signals:
    void progressed(int percent);
    // false: fall back to the download page.
    void finished(bool installerStarted);

private:
    using Fetched = std::function<void(const std::optional<QByteArray> &body)>;
    void fetch(const QString &url, const Fetched &done);
    void check(const QByteArray &descriptor, const std::optional<QByteArray> &signature);
    void download(const LauncherRelease &release);
    void downloaded();
    void fallBack(const QString &reason);

    UpdateSource m_source;
    SelfUpdate m_setup;
    PipelinedNetworkManager m_manager; // the loader run's, for the file host
    Transfer *m_transfer = nullptr;
    QString m_installer;
    bool m_done = false;
};
