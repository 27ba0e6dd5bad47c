#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

class RageMpSettings;

// One line of the stand-in's log: how it was started and what RageMP's
// settings store held at that moment, as compact JSON ending in a newline.
QByteArray launchRecord(const RageMpSettings &settings, const QStringList &arguments,
                        const QString &workingDirectory, qint64 pid, const QDateTime &time);
