#pragma once

#include "loader/manifest.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

class RageMpSettings;

// What a loader run needs from outside: where the manifest is, how to tell
// the player about progress, and how to show a message.
struct LoaderEnvironment
{
    QString manifestUrl;
    // minisign public keys that must sign the manifest; none: no check.
    QStringList manifestKeys;
    // No manifest signed before it (seconds since 1970) is taken.
    quint64 manifestMinTimestamp = 0;
    std::function<void(const QString &info, int percent)> report;
    std::function<void(const QString &text)> showMessage;
};

struct LoaderOutcome
{
    bool result = false;
    QString errorInfo;
};

// One loader run, on the calling thread: find RageMP (or install it), check
// the manifest's signature when keys are given, bring
// the current server's files up to date, write the launch values and start
// the game. It blocks until done. When the calling thread is told to quit
// meanwhile, the run ends at once, without starting the game and with an
// empty error text.
LoaderOutcome runLoader(const LoaderEnvironment &environment);

// How long the manifest and its signature may take together, tries
// included. Tests shorten it.
void setManifestDeadline(std::chrono::milliseconds deadline);

// The free bytes that runs take the disk to have, instead of asking it;
// -1 asks it again. For tests.
void setAvailableSpace(qint64 bytes);

// True once the calling thread has been told to quit: every event loop
// started on it from then on returns at once.
bool loaderThreadStopping();
