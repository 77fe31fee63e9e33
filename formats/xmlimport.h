// XML files of serial numbers: a screen that refuses hostile or broken files before
// anything is stored, and a streaming walk that takes the values out. Neither builds a
// tree, so a file costs its own bytes and little more.
#pragma once

#include "formats/workbook.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace xmlimport {

// What one file may hold. The file is held in memory once, so its size is bounded; the
// other limits refuse files no list of serial numbers looks like.
constexpr qint64 kMaxFileBytes = qint64(256) << 20;
constexpr int kMaxDepth = 256;
constexpr int kMaxTextChars = 1 << 20;
constexpr qint64 kMaxNodes = 8000000;

enum class Refusal {
    None,         // may be read
    Malformed,    // not well-formed XML (errorLine and errorColumn say where)
    TooLarge,     // over kMaxFileBytes
    DocumentType, // declares entities, which a parser would expand
    TooDeep,      // elements nested deeper than kMaxDepth
    TextTooLong,  // a text, comment or attribute over kMaxTextChars
    TooManyNodes, // over kMaxNodes elements, texts and comments
    NotUtf8,      // read as UTF-8 (declared so or undeclared) but its bytes are not
    CannotOpen,   // the file cannot be read
};

// Reads the whole file once. Where it is not well-formed, the parser's line and column.
Refusal screen(const QByteArray &contents, qint64 *errorLine = nullptr, qint64 *errorColumn = nullptr);

// Hands every value of a screened file to `sink`, in document order: the text of each
// child element of each child element of the document element (all text inside it).
// Any other node inside a record (its own text, a comment, a processing instruction)
// gives one empty value; whitespace-only text is no node (CDATA is kept). Stops when
// the sink returns false; returns whether every value was handed over.
bool forEachValue(const QByteArray &contents, const std::function<bool(const QString &)> &sink);

// An XML file behind the readers' one interface: one sheet of values, no header row and
// no used range known before reading. open() reads and screens the whole file.
class XmlReader : public WorkbookReader
{
public:
    bool open(const QString &path) override;
    int sheetCount() const override { return opened ? 1 : 0; }
    bool usedRange(int sheet, UsedRange *range) override;
    bool readValues(int sheet, ValueSink &sink) override;

    // Why open() refused the file; where, for a malformed one.
    Refusal refusal() const { return why; }
    qint64 errorLine() const { return line; }
    qint64 errorColumn() const { return column; }

private:
    QByteArray contents;
    bool opened = false;
    Refusal why = Refusal::None;
    qint64 line = 0;
    qint64 column = 0;
};

} // namespace xmlimport
