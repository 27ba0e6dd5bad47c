#pragma once

#include <QString>
#include <QStringList>

// Where the network's hosts are, and the keys its manifest is signed with. The launcher uses builtIn(); tests point the
// same code at a local server.
struct NetworkAddresses
{
    QString site;        // main web host, scheme://host[:port]
    QString filesHttps;  // static file host over HTTPS
    QString filesHttp;   // static file host over plain HTTP
    // minisign public keys (base64 lines) that must sign the manifest; none:
    // the manifest is taken unchecked.
    QStringList manifestKeys = {};
    // The oldest manifest timestamp taken, even on a first run.
    quint64 manifestMinTimestamp = 0;

    static NetworkAddresses builtIn();

    QString newsApi() const { return site + QStringLiteral("/api/news"); }
    QString statsApi() const { return site + QStringLiteral("/api/stats"); }
    QString newsPagePrefix() const { return site + QStringLiteral("/news/"); }
    QString downloadPage() const { return site + QStringLiteral("/download"); }
    QString versionFile() const { return filesHttps + QStringLiteral("/LAUNCHER_FILES/ver.txt"); }
    QString manifest() const { return filesHttp + QStringLiteral("/files.json"); }
    // The launcher's next version, signed with the manifest's keys, next to it.
    QString launcherUpdate() const { return filesHttp + QStringLiteral("/launcher/update.json"); }
};
