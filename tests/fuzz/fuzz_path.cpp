// The manifest path check. Its contract: a path it accepts, joined to the
// base folder and cleaned, lies under the base folder plus "/". Besides,
// nothing it accepts carries the characters and segments it promises to
// refuse, and it is already clean, so that one file has one name.
#include "fuzzcheck.h"
#include "loader/pathrules.h"

#include <QDir>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

const char *const bases[] = {
    "/tmp/zanrok-fuzz/Games/Zanrok/client_resources/ashford.zanrok.net_22005",
    "relative/client_resources/x_22005",
    "/tmp/zanrok-fuzz/trailing/",
    "/",
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks the base folder and how the rest becomes text:
    // UTF-8 as the manifest carries it, or raw UTF-16 for characters (lone
    // surrogates, controls) that a JSON parser could also hand over.
    const QString base = QString::fromLatin1(bases[data[0] % 4]);
    const char *rest = reinterpret_cast<const char *>(data + 1);
    const int restSize = int(size - 1);
    QString file;
    if (data[0] & 4) {
        std::vector<char16_t> units(std::size_t(restSize / 2));
        if (!units.empty())
            std::memcpy(units.data(), rest, units.size() * sizeof(char16_t));
        file = QString::fromUtf16(units.data(), int(units.size()));
    } else {
        file = QString::fromUtf8(rest, restSize);
    }

    if (!isSafeRelativePath(file, base))
        return 0;

    const QString cleanBase = QDir::cleanPath(QDir(base).absolutePath());
    const QString under = cleanBase.endsWith(QLatin1Char('/')) ? cleanBase
                                                               : cleanBase + QLatin1Char('/');
    const QString joined = QDir::cleanPath(QDir(base).absolutePath() + QLatin1Char('/') + file);
    FUZZ_CHECK(joined.startsWith(under));
    FUZZ_CHECK(joined.size() > under.size());
    // The loader joins without making the base absolute first.
    FUZZ_CHECK(QDir::cleanPath(base + QLatin1Char('/') + file)
                       .startsWith(QDir::cleanPath(base) + QLatin1Char('/')));

    FUZZ_CHECK(!file.isEmpty() && !file.startsWith(QLatin1Char('/')));
    for (const QChar c : file) {
        FUZZ_CHECK(c != QLatin1Char(':') && c != QLatin1Char('\\') && c != QChar(0));
        FUZZ_CHECK(c.category() != QChar::Other_Control);
    }
    for (const QString &segment : file.split(QLatin1Char('/')))
        FUZZ_CHECK(segment != QLatin1String(".") && segment != QLatin1String(".."));
    // One file, one name: what it accepts is already clean.
    FUZZ_CHECK(QDir::cleanPath(file) == file);
    return 0;
}
