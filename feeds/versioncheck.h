#pragma once

#include <QByteArray>
#include <QString>

QString launcherVersion();

// True when the published version text differs from ours: compared whole,
// nothing trimmed, so "1.8\n" and "" count as different.
bool isOtherVersionPublished(const QByteArray &versionFileBody);
