// The manifest as the loader reads it: the body parsed, split into the two
// sections, every download address rewritten. Besides crashes, checks that
// each section keeps its elements in order and whole.
#include "fuzzcheck.h"
#include "loader/manifest.h"

#include <QJsonObject>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), int(size));
    const QJsonArray array = manifestArray(body);
    const ManifestSections sections = splitManifest(array);

    int server = 0;
    int ragemp = 0;
    for (const QJsonValue &element : array) {
        const QJsonObject object = element.toObject();
        const QString file = object.value(QLatin1String("file")).toString();
        const FileEntry *entry = nullptr;
        if (file.startsWith(QLatin1String("SERVER_FILES"))) {
            FUZZ_CHECK(server < sections.serverFiles.size());
            entry = &sections.serverFiles.at(server++);
        } else if (file.startsWith(QLatin1String("RAGEMP_FILES"))) {
            FUZZ_CHECK(ragemp < sections.ragempFiles.size());
            entry = &sections.ragempFiles.at(ragemp++);
        } else {
            continue;
        }
        FUZZ_CHECK(entry->file == file.mid(13));
        FUZZ_CHECK(entry->hash == object.value(QLatin1String("hash")).toString());
        // Only a leading "https" loses its "s"; the rest of the address stays.
        const QString url = object.value(QLatin1String("url")).toString();
        const bool tls = url.startsWith(QLatin1String("https"));
        FUZZ_CHECK(entry->url.size() == url.size() - (tls ? 1 : 0));
        FUZZ_CHECK(entry->url.endsWith(url.mid(tls ? 5 : 0)));
        FUZZ_CHECK(!tls || entry->url.startsWith(QLatin1String("http")));
    }
    FUZZ_CHECK(sections.serverFiles.size() == server);
    FUZZ_CHECK(sections.ragempFiles.size() == ragemp);
    return 0;
}
