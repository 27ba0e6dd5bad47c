#pragma once

#include <QString>

// Where the network's hosts are. The launcher uses builtIn(); tests point the
// same code at a local server.
struct NetworkAddresses
{
    QString site;        // main web host, scheme://host[:port]
    QString filesHttps;  // static file host over HTTPS
    QString filesHttp;   // static file host over plain HTTP

    static NetworkAddresses builtIn();

    QString newsApi() const { return site + QStringLiteral("/api/news"); }
    QString statsApi() const { return site + QStringLiteral("/api/stats"); }
    QString newsPagePrefix() const { return site + QStringLiteral("/news/"); }
    QString downloadPage() const { return site + QStringLiteral("/download"); }
    QString versionFile() const { return filesHttps + QStringLiteral("/LAUNCHER_FILES/ver.txt"); }
    QString manifest() const { return filesHttp + QStringLiteral("/files.json"); }
};
