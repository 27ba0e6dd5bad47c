#include "publish/terminal.h"

#include <QFile>

#include <sodium.h>
#include <termios.h>
#include <unistd.h>

bool isTerminal(std::FILE *stream)
{
    return ::isatty(fileno(stream)) == 1;
}

QString byteCountText(qint64 bytes)
{
    if (bytes >= 1024LL * 1024 * 1024)
        return QStringLiteral("%1 GiB").arg(double(bytes) / (1024.0 * 1024 * 1024), 0, 'f', 1);
    if (bytes >= 1024 * 1024)
        return QStringLiteral("%1 MiB").arg(double(bytes) / (1024.0 * 1024), 0, 'f', 1);
    if (bytes >= 1024)
        return QStringLiteral("%1 KiB").arg(bytes / 1024);
    return QStringLiteral("%1 B").arg(bytes);
}

void ProgressLine::show(int files, int totalFiles, qint64 bytes, qint64 totalBytes, qint64 elapsedMs)
{
    if (!m_enabled || elapsedMs <= 0)
        return;
    const double rate = double(bytes) * 1000 / double(elapsedMs);
    QString text = QStringLiteral("reading %1/%2 files, %3 of %4, %5/s")
                           .arg(files)
                           .arg(totalFiles)
                           .arg(byteCountText(bytes), byteCountText(totalBytes), byteCountText(qint64(rate)));
    if (rate > 0 && bytes < totalBytes)
        text += QStringLiteral(", %1 s left").arg(qint64(double(totalBytes - bytes) / rate) + 1);
    const int width = text.size();
    text += QString(qMax(0, m_width - width), QLatin1Char(' '));
    m_width = width;
    std::fprintf(stderr, "\r%s", qPrintable(text));
    std::fflush(stderr);
}

void ProgressLine::clear()
{
    if (!m_enabled || m_width == 0)
        return;
    std::fprintf(stderr, "\r%s\r", qPrintable(QString(m_width, QLatin1Char(' '))));
    std::fflush(stderr);
    m_width = 0;
}

std::optional<QByteArray> readPasswordFromTerminal(const QString &prompt)
{
    QFile tty(QStringLiteral("/dev/tty"));
    if (!tty.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return std::nullopt;
    const int fd = tty.handle();
    termios saved;
    if (::tcgetattr(fd, &saved) != 0)
        return std::nullopt;
    termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    tty.write(prompt.toLocal8Bit());
    ::tcsetattr(fd, TCSAFLUSH, &quiet);
    QByteArray password;
    char c;
    while (tty.read(&c, 1) == 1 && c != '\n')
        password.append(c);
    ::tcsetattr(fd, TCSAFLUSH, &saved);
    tty.write("\n");
    if (password.endsWith('\r'))
        password.chop(1);
    return password;
}

std::optional<QByteArray> readPasswordFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray line = file.readLine(4096);
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

void wipePassword(QByteArray &password)
{
    if (!password.isEmpty())
        sodium_memzero(password.data(), size_t(password.size()));
    password.clear();
}
