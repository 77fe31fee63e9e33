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
    bool firstColumnOnly(const QStringList &header) override { return header.value(0) == QLatin1String("UUID"); }
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
QString asFile(const uint8_t *data, size_t size)
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
    // Every format through the readers' one interface, as the import reads it.
    const QString path = asFile(data, size);
#if defined(FUZZ_XML)
    std::unique_ptr<WorkbookReader> reader = std::make_unique<xmlimport::XmlReader>();
    const bool stream = true;
#elif defined(FUZZ_CSV)
    std::unique_ptr<WorkbookReader> reader = std::make_unique<csvimport::CsvReader>();
    const bool stream = true;
#else
    std::unique_ptr<WorkbookReader> reader = WorkbookReader::forFile(path);
    const bool stream = false; // a workbook has a used range to read first
#endif
    if (reader && reader->open(path)) {
        Count sink;
        for (int s = 0; s < reader->sheetCount(); ++s) {
            UsedRange range;
            if ((!stream && !reader->usedRange(s, &range)) || !reader->readValues(s, sink))
                break;
        }
    }
    return 0;
}
