#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <optional>

// The operator's terminal: a progress line, and a password read with echo off.

bool isTerminal(std::FILE *stream);

// "1.5 GiB", "300.0 MiB", "12 KiB", "7 B".
QString byteCountText(qint64 bytes);

// A line on standard error, redrawn in place: files, bytes, rate, time left.
// Does nothing unless `enabled`.
class ProgressLine
{
public:
    explicit ProgressLine(bool enabled) : m_enabled(enabled) { }
    bool enabled() const { return m_enabled; }
    void show(int files, int totalFiles, qint64 bytes, qint64 totalBytes, qint64 elapsedMs);
    void clear();

private:
    bool m_enabled;
    int m_width = 0;
};

// From the controlling terminal, echo off; nothing without one.
std::optional<QByteArray> readPasswordFromTerminal(const QString &prompt);
// The first line of the file, its line break dropped, as minisign reads one.
std::optional<QByteArray> readPasswordFile(const QString &path);
void wipePassword(QByteArray &password);
