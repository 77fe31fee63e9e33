#include "formats/workbook.h"
#include "formats/xlsreader.h"
#include "formats/xlsxreader.h"

#include <QFile>

#include <charconv>
#include <cmath>

bool ValueSink::emptyValues(qint64 count)
{
    for (qint64 i = 0; i < count; ++i)
        if (!value(QString()))
            return false;
    return true;
}

bool ValueSink::errorValue(const QString &)
{
    return value(QString());
}

bool ValueSink::firstColumnOnly(const QStringList &)
{
    return false;
}

int ValueSink::wholeRows(const QStringList &)
{
    return 0;
}

bool ValueSink::row(const QStringList &)
{
    return true;
}

std::unique_ptr<WorkbookReader> WorkbookReader::forFile(const QString &path, QString *errorText)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (errorText)
            *errorText = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return nullptr;
    }
    const QByteArray head = file.read(8);
    if (head.startsWith("PK\x03\x04"))
        return std::make_unique<XlsxReader>();
    // A compound document, or a bare BIFF5/8 stream (its BOF record first).
    if (head == QByteArray::fromHex("d0cf11e0a1b11ae1") || head.startsWith(QByteArray("\x09\x08", 2)))
        return std::make_unique<XlsReader>();
    if (errorText)
        *errorText = QStringLiteral("%1 is not a workbook").arg(path);
    return nullptr;
}

QString numberText(double value)
{
    if (std::isnan(value))
        return QStringLiteral("NaN");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("Infinity") : QStringLiteral("-Infinity");
    if (value == 0)
        return QStringLiteral("0"); // also for -0

    char buffer[64];
    std::to_chars_result r;
    // 2^53: up to there every whole number is exact, so its digits are its shortest form.
    if (std::trunc(value) == value && std::fabs(value) <= 9007199254740992.0)
        r = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    else
        r = std::to_chars(buffer, buffer + sizeof buffer, value);
    return QString::fromLatin1(buffer, int(r.ptr - buffer));
}

const char kStaleFormulaResult[] = "#STALE!";

namespace {

// A recursive reader of: expr := term ('&' term)*; term := "string" | CONCATENATE(expr, ...) | (expr).
struct FormulaText {
    const QString &f;
    int at = 0;
    bool text = false; // a string constant, & or CONCATENATE was seen

    void blanks()
    {
        while (at < f.size() && f.at(at).isSpace())
            ++at;
    }
    bool take(QChar c)
    {
        blanks();
        if (at < f.size() && f.at(at) == c) {
            ++at;
            return true;
        }
        return false;
    }
    bool expr(QString *out)
    {
        if (!term(out))
            return false;
        while (take(QLatin1Char('&'))) {
            text = true;
            QString more;
            if (!term(&more))
                return false;
            *out += more;
        }
        return true;
    }
    bool term(QString *out)
    {
        blanks();
        out->clear();
        if (take(QLatin1Char('"'))) {
            text = true;
            for (;;) {
                if (at >= f.size())
                    return false;
                const QChar c = f.at(at++);
                if (c != QLatin1Char('"')) {
                    out->append(c);
                } else if (at < f.size() && f.at(at) == QLatin1Char('"')) {
                    out->append(c);
                    ++at;
                } else {
                    return true;
                }
            }
        }
        if (take(QLatin1Char('(')))
            return expr(out) && take(QLatin1Char(')'));
        static const QString concatenate = QStringLiteral("CONCATENATE");
        if (f.midRef(at, concatenate.size()).compare(concatenate, Qt::CaseInsensitive) == 0) {
            at += concatenate.size();
            text = true;
            if (!take(QLatin1Char('(')))
                return false;
            do {
                QString part;
                if (!expr(&part))
                    return false;
                *out += part;
            } while (take(QLatin1Char(',')) || take(QLatin1Char(';')));
            return take(QLatin1Char(')'));
        }
        return false;
    }
};

} // namespace

TextFormula textFormula(const QString &formula, QString *text)
{
    FormulaText reader{formula};
    reader.take(QLatin1Char('=')); // the leading = some writers keep
    QString value;
    const bool whole = reader.expr(&value) && (reader.blanks(), reader.at == formula.size());
    if (whole) {
        *text = value;
        return TextFormula::Evaluated;
    }
    // Anything the reader did not take whole: text only when it holds a string constant,
    // a & or a CONCATENATE (a number's formula such as 1+2 keeps its cached number).
    const bool buildsText = reader.text || formula.contains(QLatin1Char('"')) || formula.contains(QLatin1Char('&'))
        || formula.contains(QLatin1String("CONCATENATE"), Qt::CaseInsensitive);
    return buildsText ? TextFormula::Unevaluated : TextFormula::NotText;
}
