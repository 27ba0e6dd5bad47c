// One loader run against a manifest, outside the test suite, for measuring a
// large download's time and peak memory, e.g.
//   HOME=/tmp/h XDG_CONFIG_HOME=/tmp/c /usr/bin/time -v loader-bench http://127.0.0.1:8080/files.json
// Prints the outcome and exits 0 on success.
#include "loader/loaderrun.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().size() != 2) {
        QTextStream(stderr) << "usage: loader-bench <manifest url>\n";
        return 2;
    }
    QTextStream out(stdout);
    LoaderEnvironment environment;
    environment.manifestUrl = app.arguments().at(1);
    environment.report = [&out](const QString &info, int percent) {
        out << percent << "% " << info << '\n';
        out.flush();
    };
    environment.showMessage = [&out](const QString &text) { out << "message: " << text << '\n'; };
    const LoaderOutcome outcome = runLoader(environment);
    out << (outcome.result ? "ok" : "failed: ") << outcome.errorInfo << '\n';
    return outcome.result ? 0 : 1;
}
