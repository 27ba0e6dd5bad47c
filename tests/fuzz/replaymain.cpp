// Stands in for libFuzzer's main where the fuzzer is not available (gcc):
// feeds every file of the given folders (or the given files) to the target
// once, so the kept corpus runs as a regression test in every build.
#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cstddef>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool replay(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        return false;
    }
    const QByteArray input = file.readAll();
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.constData()),
                           std::size_t(input.size()));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        if (QFileInfo(argument).isDir()) {
            QDirIterator it(argument, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                if (!replay(it.next()))
                    return 1;
                ++count;
            }
        } else {
            if (!replay(argument))
                return 1;
            ++count;
        }
    }
    std::printf("replayed %d inputs\n", count);
    // An empty corpus would make the test pass without testing anything.
    return count > 0 ? 0 : 1;
}
