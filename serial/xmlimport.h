// XML files of serial numbers: a screen that refuses hostile files before they reach
// the DOM parser, and the walk that takes the values out of the parsed document.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class QDomDocument;

namespace xmlimport {

// What a DOM parse of the whole file may be given. The file is held in memory twice
// over (bytes and tree), so its size and node count are bounded.
constexpr qint64 kMaxFileBytes = qint64(256) << 20;
constexpr int kMaxDepth = 256;
constexpr int kMaxTextChars = 1 << 20;
constexpr qint64 kMaxNodes = 8000000;

enum class Refusal {
    None,           // may be parsed (a file that is not well-formed is left to the parser)
    TooLarge,       // over kMaxFileBytes
    DocumentType,   // declares entities, which a parser would expand
    TooDeep,        // elements nested deeper than kMaxDepth
    TextTooLong,    // a text, comment or attribute over kMaxTextChars
    TooManyNodes,   // over kMaxNodes elements, texts and comments
    NotUtf8,        // read as UTF-8 (declared so or undeclared) but its bytes are not
};

Refusal screen(const QByteArray &contents);

// Hands every value of the document to `sink`, in document order: the text of each
// child of each child of the document element. A child of a record that is not an
// element gives one empty value. Stops when the sink returns false; returns whether
// every value was handed over.
bool forEachValue(const QDomDocument &document, const std::function<bool(const QString &)> &sink);

} // namespace xmlimport
