// Writing one CSV field (RFC 4180) so that a spreadsheet program neither splits it nor
// runs it. The one writer of the export and of the merge's conflict report.
//
// A field a spreadsheet would take as a formula (it starts with '=', '+', '-', '@', a tab
// or a CR: identifiers come from customers' files, device types and serials from the
// network) is written with a leading apostrophe; so is a field that starts with an
// apostrophe itself, so that a reader of our own files removes exactly one apostrophe
// whenever a field starts with one. A field holding a comma, a quote, a CR or an LF is
// quoted, its quotes doubled. Plain C++: works on any byte buffer with append(ptr, n).
#pragma once

#include <cstddef>

namespace csvfield {

inline bool needsGuard(const char *data, std::size_t size)
{
    if (size == 0)
        return false;
    switch (data[0]) {
    case '=':
    case '+':
    case '-':
    case '@':
    case '\t':
    case '\r':
    case '\'':
        return true;
    default:
        return false;
    }
}

inline bool needsQuotes(const char *data, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i)
        if (data[i] == ',' || data[i] == '"' || data[i] == '\r' || data[i] == '\n')
            return true;
    return false;
}

// Appends the field's text (UTF-8 bytes) to `out`, guarded and quoted as needed.
template <typename Buffer>
void append(Buffer &out, const char *data, std::size_t size)
{
    using Size = decltype(out.size());
    const bool quoted = needsQuotes(data, size);
    if (quoted)
        out.append("\"", Size(1));
    if (needsGuard(data, size))
        out.append("'", Size(1));
    if (!quoted) {
        out.append(data, Size(size));
        return;
    }
    std::size_t from = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] != '"')
            continue;
        out.append(data + from, Size(i + 1 - from));
        out.append("\"", Size(1));
        from = i + 1;
    }
    out.append(data + from, Size(size - from));
    out.append("\"", Size(1));
}

} // namespace csvfield
