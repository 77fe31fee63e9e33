// libFuzzer targets for the import's file readers, one per format, chosen at build time
// (FUZZ_XLSX, FUZZ_XLS, FUZZ_XML, FUZZ_CSV). Each input is handed over as a file, the
// way the import gets it, and read to its end; the fuzzer watches for crashes, leaks,
// undefined behaviour, timeouts and memory past its limit.
#include "formats/csvimport.h"
#include "formats/workbook.h"
#include "formats/xmlimport.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <sys/mman.h>
#include <unistd.h>

namespace {

class Count : public ValueSink
{
public:
    bool value(const QString &text) override
    {
        chars += text.size();
        ++values;
        return true;
    }
    bool emptyValues(qint64 count) override
    {
        values += count;
        return true;
    }
    // A sheet headed "ROWS" is read row by row, as the pool's own export is.
    int wholeRows(const QStringList &header) override { return header.value(0) == QLatin1String("ROWS") ? 6 : 0; }
    bool row(const QStringList &cells) override
    {
        for (const QString &cell : cells)
            chars += cell.size();
        ++values;
        return true;
    }
    qint64 values = 0;
    qint64 chars = 0;
};

// The input as a file that lives in memory: /proc/self/fd/N of a memfd.
[[maybe_unused]] QString asFile(const uint8_t *data, size_t size)
{
    static int fd = -1;
    if (fd < 0)
        fd = memfd_create("tarnwell-fuzz-input", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size))
        std::abort();
    return QStringLiteral("/proc/self/fd/%1").arg(fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
#if defined(FUZZ_XML)
    const QByteArray contents(reinterpret_cast<const char *>(data), int(size));
    if (xmlimport::screen(contents) == xmlimport::Refusal::None) {
        qint64 n = 0;
        xmlimport::forEachValue(contents, [&n](const QString &v) {
            n += v.size();
            return true;
        });
    }
#elif defined(FUZZ_CSV)
    const QString path = asFile(data, size);
    if (csvimport::screen(path).refusal == csvimport::Refusal::None) {
        qint64 n = 0;
        csvimport::forEachValue(
            path, [](const QStringList &header) { return header.value(0) == QLatin1String("ROWS") ? 6 : 0; },
            [&n](const QStringList &cells) {
            for (const QString &cell : cells)
                n += cell.size();
            return true;
            },
            [](const QStringList &header) { return header.value(0) == QLatin1String("UUID"); },
            [&n](const QString &v) {
            n += v.size();
            return true;
        });
    }
#else
    const QString path = asFile(data, size);
    std::unique_ptr<WorkbookReader> reader = WorkbookReader::forFile(path);
    if (reader && reader->open(path)) {
        Count sink;
        for (int s = 0; s < reader->sheetCount(); ++s) {
            UsedRange range;
            if (!reader->usedRange(s, &range) || !reader->readValues(s, sink))
                break;
        }
    }
#endif
    return 0;
}
