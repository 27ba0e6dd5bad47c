#pragma once

#include "update/launcherrelease.h"

#include <QString>
#include <QStringList>

class MinisignSecretKey;

// `zanrok-publish launcher`: the launcher's installer published as its next
// version, in the order players need: the installer (at
// <base URL>launcher/ZanrokLauncherSetup-<version>.exe), the descriptor's
// signature, the descriptor (launcher/update.json), then the version text
// (LAUNCHER_FILES/ver.txt, with no line break), each at its URL's path
// under OUT.
struct LauncherOptions
{
    QString setup;
    QString version;
    QString baseUrl;
    QString descriptorUrl; // empty: the base URL's host, /launcher/update.json
    QString out;
    int expiresDays = 30;
};

class LauncherPublication
{
public:
    explicit LauncherPublication(LauncherOptions options);

    // Checks the options and the installer: false with problems(). Nothing is written.
    bool prepare();
    // Writes and signs; false with problems(), OUT then as it was.
    bool publish(const MinisignSecretKey &key);

    QStringList problems() const { return m_problems; }
    LauncherRelease release() const { return m_release; }
    QString descriptorUrl() const { return m_descriptorUrl; }

private:
    LauncherOptions m_options;
    QString m_descriptorUrl;
    QString m_installerPath;
    QString m_descriptorPath;
    LauncherRelease m_release;
    QStringList m_problems;
};
