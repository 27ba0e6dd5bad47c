// zanrok-publish: the network's side of the launcher. `make` publishes a
// folder into a web root, signed; `launcher` the launcher's next version;
// `check` looks at a publication as a player's launcher does.
#include "publish/launcherpublication.h"
#include "publish/publication.h"
#include "publish/publishcheck.h"
#include "publish/terminal.h"
#include "trust/minisignsigner.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>

#include <chrono>
#include <cstdio>
#include <future>

namespace {

enum ExitStatus { Success = 0, Failure = 1, Usage = 2 };

const char usage[] =
        "usage: zanrok-publish make SOURCE OUT --base-url URL --manifest-url URL --key SECRET_KEY\n"
        "                           [--expires DAYS] [--delta-from MIB] [--password-file FILE]\n"
        "       zanrok-publish launcher SETUP.exe OUT --version V --base-url URL --key SECRET_KEY\n"
        "                           [--descriptor-url URL] [--expires DAYS] [--password-file FILE]\n"
        "       zanrok-publish check MANIFEST_URL --key PUBLIC_KEY [--full]\n"
        "                           [--version-url URL] [--download-url URL] [--min-timestamp SECONDS]\n"
        "Run a command with --help for its options.\n";

int fail(const QString &message)
{
    std::fprintf(stderr, "zanrok-publish: %s\n", qPrintable(message));
    return Failure;
}

// Help ends with status 0, a mistake with 2.
std::optional<int> parse(QCommandLineParser &parser, const QStringList &arguments)
{
    const QCommandLineOption help = parser.addHelpOption();
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "zanrok-publish: %s\n%s", qPrintable(parser.errorText()), usage);
        return Usage;
    }
    if (parser.isSet(help))
        parser.showHelp(Success);
    return std::nullopt;
}

std::optional<MinisignSecretKey> openKey(const QString &keyPath, const QString &passwordFile, QString &error)
{
    QFile file(keyPath);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("%1: %2").arg(keyPath, file.errorString());
        return std::nullopt;
    }
    const std::optional<MinisignSecretKeyFile> keyFile = parseMinisignSecretKeyFile(file.readAll());
    if (!keyFile) {
        error = QStringLiteral("%1 is not a minisign secret key").arg(keyPath);
        return std::nullopt;
    }
    QByteArray password;
    if (keyFile->encrypted) {
        std::optional<QByteArray> read = passwordFile.isEmpty()
                ? readPasswordFromTerminal(QStringLiteral("Password for %1: ").arg(keyPath))
                : readPasswordFile(passwordFile);
        if (!read) {
            error = passwordFile.isEmpty()
                    ? QStringLiteral("%1 is protected by a password: run on a terminal, or give --password-file").arg(keyPath)
                    : QStringLiteral("the password file %1 cannot be read").arg(passwordFile);
            return std::nullopt;
        }
        password = *read;
    }
    OpenedSecretKey opened = openMinisignSecretKey(*keyFile, password);
    wipePassword(password);
    if (!opened.key)
        error = QStringLiteral("%1: %2").arg(keyPath, secretKeyOpeningText(opened.result));
    return opened.key;
}

// The options of a command that signs.
struct SigningOptions
{
    QCommandLineOption key { QStringLiteral("key"), QStringLiteral("the minisign secret key"),
                             QStringLiteral("SECRET_KEY") };
    QCommandLineOption expires { QStringLiteral("expires"), QStringLiteral("days the signature stays valid (default 30)"),
                                 QStringLiteral("DAYS"), QStringLiteral("30") };
    QCommandLineOption passwordFile { QStringLiteral("password-file"),
                                      QStringLiteral("read the key's password from the first line of FILE"),
                                      QStringLiteral("FILE") };
};

int make(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Publishes SOURCE (RAGEMP_FILES/ and SERVER_FILES/) into OUT, the file host's web root: the files, "
            "their zsync sidecars, files.json and its minisign signature."));
    parser.addPositionalArgument(QStringLiteral("SOURCE"), QStringLiteral("the folder to publish"));
    parser.addPositionalArgument(QStringLiteral("OUT"), QStringLiteral("the web root to publish into"));
    const QCommandLineOption baseUrl(QStringLiteral("base-url"), QStringLiteral("the address the files are under"),
                                     QStringLiteral("URL"));
    const QCommandLineOption manifestUrl(QStringLiteral("manifest-url"),
                                         QStringLiteral("the manifest's address, as the launcher fetches it"),
                                         QStringLiteral("URL"));
    const QCommandLineOption deltaFrom(QStringLiteral("delta-from"),
                                       QStringLiteral("MiB from which a file gets a zsync sidecar (default 4)"),
                                       QStringLiteral("MIB"), QStringLiteral("4"));
    const SigningOptions signing;
    const QCommandLineOption &key = signing.key;
    const QCommandLineOption &expires = signing.expires;
    const QCommandLineOption &passwordFile = signing.passwordFile;
    parser.addOptions({ baseUrl, manifestUrl, key, expires, deltaFrom, passwordFile });
    if (const std::optional<int> status = parse(parser, arguments))
        return *status;

    bool daysOk = false;
    bool mibOk = false;
    const int days = parser.value(expires).toInt(&daysOk);
    const double mib = parser.value(deltaFrom).toDouble(&mibOk);
    if (parser.positionalArguments().size() != 2 || !parser.isSet(baseUrl) || !parser.isSet(manifestUrl)
        || !parser.isSet(key) || !daysOk || !mibOk || mib < 0 || mib > 1024 * 1024) {
        std::fputs(usage, stderr);
        return Usage;
    }
    MakeOptions options;
    options.source = parser.positionalArguments().at(0);
    options.out = parser.positionalArguments().at(1);
    options.baseUrl = parser.value(baseUrl);
    options.manifestUrl = parser.value(manifestUrl);
    options.expiresDays = days;
    options.deltaFromBytes = qint64(mib * 1024 * 1024);

    Publication publication(options);
    const bool prepared = publication.prepare();
    for (const QString &warning : publication.warnings())
        std::fprintf(stderr, "zanrok-publish: warning: %s\n", qPrintable(warning));
    if (!prepared) {
        for (const QString &problem : publication.problems())
            std::fprintf(stderr, "zanrok-publish: refused: %s\n", qPrintable(problem));
        return fail(QStringLiteral("nothing was published"));
    }
    QString keyError;
    const std::optional<MinisignSecretKey> secretKey = openKey(parser.value(key), parser.value(passwordFile), keyError);
    if (!secretKey)
        return fail(keyError + QStringLiteral("; nothing was published"));

    MakeProgress progress;
    ProgressLine line(isTerminal(stderr));
    QElapsedTimer clock;
    clock.start();
    std::future<bool> done = std::async(std::launch::async, [&] { return publication.publish(*secretKey, progress); });
    while (done.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready) {
        line.show(progress.filesDone, progress.filesToRead, progress.bytesDone, progress.bytesToRead,
                  clock.elapsed());
    }
    line.clear();
    const bool published = done.get();
    for (const QString &problem : publication.problems())
        std::fprintf(stderr, "zanrok-publish: %s\n", qPrintable(problem));
    if (!published)
        return fail(QStringLiteral("not published; the web root serves what it served before"));
    if (line.enabled()) {
        std::fprintf(stderr, "zanrok-publish: %d files, %s, published in %.1f s (%d read, the rest unchanged); "
                             "signed by %s\n",
                     publication.fileCount(), qPrintable(byteCountText(publication.bytesPublished())),
                     double(clock.elapsed()) / 1000, publication.filesRead(),
                     qPrintable(keyIdText(secretKey->keyId())));
    }
    return Success;
}

int launcher(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Publishes SETUP.exe, the launcher's installer, into OUT as its next version: the installer, "
            "launcher/update.json naming it, its minisign signature, and LAUNCHER_FILES/ver.txt."));
    parser.addPositionalArgument(QStringLiteral("SETUP.exe"), QStringLiteral("the installer"));
    parser.addPositionalArgument(QStringLiteral("OUT"), QStringLiteral("the file host's web root"));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("the installer's version, dotted numbers"),
                                     QStringLiteral("V"));
    const QCommandLineOption baseUrl(QStringLiteral("base-url"),
                                     QStringLiteral("the address the installer is under (in launcher/)"),
                                     QStringLiteral("URL"));
    const QCommandLineOption descriptorUrl(
            QStringLiteral("descriptor-url"),
            QStringLiteral("the descriptor's address, as the launcher fetches it (default: the base URL's host, "
                           "/launcher/update.json)"),
            QStringLiteral("URL"));
    const SigningOptions signing;
    const QCommandLineOption &key = signing.key;
    const QCommandLineOption &expires = signing.expires;
    const QCommandLineOption &passwordFile = signing.passwordFile;
    parser.addOptions({ version, baseUrl, descriptorUrl, key, expires, passwordFile });
    if (const std::optional<int> status = parse(parser, arguments))
        return *status;
    bool daysOk = false;
    LauncherOptions options;
    options.expiresDays = parser.value(expires).toInt(&daysOk);
    if (parser.positionalArguments().size() != 2 || !parser.isSet(version) || !parser.isSet(baseUrl)
        || !parser.isSet(key) || !daysOk) {
        std::fputs(usage, stderr);
        return Usage;
    }
    options.setup = parser.positionalArguments().at(0);
    options.out = parser.positionalArguments().at(1);
    options.version = parser.value(version);
    options.baseUrl = parser.value(baseUrl);
    options.descriptorUrl = parser.value(descriptorUrl);

    LauncherPublication publication(options);
    QString keyError;
    std::optional<MinisignSecretKey> secretKey;
    if (publication.prepare())
        secretKey = openKey(parser.value(key), parser.value(passwordFile), keyError);
    if (!secretKey || !publication.publish(*secretKey)) {
        for (const QString &problem : publication.problems())
            std::fprintf(stderr, "zanrok-publish: %s\n", qPrintable(problem));
        return fail((keyError.isEmpty() ? QString() : keyError + QStringLiteral("; "))
                    + QStringLiteral("not published; the web root serves what it served before"));
    }
    return Success;
}

int check(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Looks at a publication from a player's side: the signature, every file, ranges, the version text "
            "and the download page. One line a problem; exits non-zero on any."));
    parser.addPositionalArgument(QStringLiteral("MANIFEST_URL"), QStringLiteral("the manifest's address"));
    const QCommandLineOption key(QStringLiteral("key"),
                                 QStringLiteral("the minisign public key: its .pub file or its base64 line"),
                                 QStringLiteral("PUBLIC_KEY"));
    const QCommandLineOption full(QStringLiteral("full"), QStringLiteral("download every file and check its digest"));
    const PublicationCheck::Options defaults;
    const QCommandLineOption versionUrl(QStringLiteral("version-url"),
                                        QStringLiteral("the version text (default %1)").arg(defaults.versionUrl),
                                        QStringLiteral("URL"), defaults.versionUrl);
    const QCommandLineOption downloadUrl(QStringLiteral("download-url"),
                                         QStringLiteral("the download page (default %1)").arg(defaults.downloadUrl),
                                         QStringLiteral("URL"), defaults.downloadUrl);
    const QCommandLineOption minTimestamp(
            QStringLiteral("min-timestamp"),
            QStringLiteral("the launcher's floor, ZANROK_MANIFEST_MIN_TIMESTAMP (default %1)").arg(defaults.minimumTimestamp),
            QStringLiteral("SECONDS"), QString::number(defaults.minimumTimestamp));
    parser.addOptions({ key, full, versionUrl, downloadUrl, minTimestamp });
    if (const std::optional<int> status = parse(parser, arguments))
        return *status;
    bool floorOk = false;
    const quint64 floor = parser.value(minTimestamp).toULongLong(&floorOk);
    if (parser.positionalArguments().size() != 1 || !parser.isSet(key) || !floorOk) {
        std::fputs(usage, stderr);
        return Usage;
    }
    PublicationCheck::Options options;
    options.manifestUrl = parser.positionalArguments().at(0);
    options.full = parser.isSet(full);
    options.versionUrl = parser.value(versionUrl);
    options.downloadUrl = parser.value(downloadUrl);
    options.minimumTimestamp = floor;
    const std::optional<QList<MinisignPublicKey>> keys = readPublicKeys(parser.value(key));
    if (!keys)
        return fail(QStringLiteral("%1 is neither a minisign public key file nor its base64 line").arg(parser.value(key)));
    options.keys = *keys;

    PublicationCheck checker(options);
    checker.onLine([](const QString &text) { std::fprintf(stdout, "%s\n", qPrintable(text)); std::fflush(stdout); });
    return checker.run() ? Success : Failure;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zanrok-publish"));
    QStringList arguments = QCoreApplication::arguments();
    const QString command = arguments.value(1);
    const QHash<QString, int (*)(const QStringList &)> commands {
        { QStringLiteral("make"), make }, { QStringLiteral("launcher"), launcher }, { QStringLiteral("check"), check }
    };
    if (commands.contains(command)) {
        arguments.removeAt(1);
        arguments[0] += QLatin1Char(' ') + command;
        return commands.value(command)(arguments);
    }
    std::fputs(usage, command == QLatin1String("--help") || command == QLatin1String("-h") ? stdout : stderr);
    return command == QLatin1String("--help") || command == QLatin1String("-h") ? Success : Usage;
}
