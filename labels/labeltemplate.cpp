#include "labels/labeltemplate.h"

#include <QFile>
#include <QRegularExpression>

#include <cmath>

namespace labels {

namespace {

// Points to millimetres; a text line takes its size and a fifth for the line gap.
constexpr double kMmPerPoint = 25.4 / 72.0;
constexpr double kLineFactor = 1.2;
// Rounding in a hand-written size must not push an item off the label.
constexpr double kSlackMm = 0.001;

const char *const kPlaceholders[] = {"uuid", "serial", "type", "customer", "date", "station"};

QString valueOf(const QString &name, const LabelValues &v)
{
    if (name == QLatin1String("uuid"))
        return v.uuid;
    if (name == QLatin1String("serial"))
        return v.serial;
    if (name == QLatin1String("type"))
        return v.type;
    if (name == QLatin1String("customer"))
        return v.customer;
    if (name == QLatin1String("date"))
        return v.date;
    return v.station;
}

bool knownPlaceholder(const QString &name)
{
    for (const char *p : kPlaceholders)
        if (name == QLatin1String(p))
            return true;
    return false;
}

} // namespace

double LabelItem::height() const
{
    return kind == Qr ? width : pointSize * kMmPerPoint * kLineFactor;
}

QString LabelTemplate::fill(const QString &text, const LabelValues &values)
{
    QString out;
    int i = 0;
    while (i < text.size()) {
        const int open = text.indexOf(QLatin1Char('{'), i);
        const int close = open < 0 ? -1 : text.indexOf(QLatin1Char('}'), open);
        if (close < 0) {
            out += text.midRef(i);
            break;
        }
        out += text.midRef(i, open - i);
        out += valueOf(text.mid(open + 1, close - open - 1), values);
        i = close + 1;
    }
    return out;
}

bool LabelTemplate::parse(const QString &text, LabelTemplate *out, QString *error)
{
    LabelTemplate t;
    const QStringList lines = text.split(QLatin1Char('\n'));
    static const QRegularExpression space(QStringLiteral("\\s+"));
    static const QRegularExpression textLine(
        QStringLiteral("^text\\s+(\\S+)\\s+(\\S+)\\s+(\\S+)\\s+(\\S+)\\s+(\\S.*)$"));
    for (int n = 0; n < lines.size(); ++n) {
        const int lineNo = n + 1;
        const QString line = lines.at(n).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const auto fail = [&](const QString &why) {
            *error = tr("Label template, line %1: %2").arg(lineNo).arg(why);
            return false;
        };
        QStringList numbers = line.split(space, Qt::SkipEmptyParts);
        const QString keyword = numbers.takeFirst();
        QString itemText;
        if (keyword == QLatin1String("text")) {
            const QRegularExpressionMatch m = textLine.match(line);
            if (!m.hasMatch())
                return fail(tr("a text item needs x, y, width (mm), size (pt) and its text."));
            numbers = QStringList{m.captured(1), m.captured(2), m.captured(3), m.captured(4)};
            itemText = m.captured(5);
        } else if (keyword == QLatin1String("size") || keyword == QLatin1String("qr")) {
            const int wanted = keyword == QLatin1String("size") ? 2 : 3;
            if (numbers.size() != wanted)
                return fail(keyword == QLatin1String("size") ? tr("size needs the width and the height in mm.")
                                                             : tr("a QR item needs x, y and its side in mm."));
        } else {
            return fail(tr("unknown item \"%1\" (size, qr or text).").arg(keyword));
        }
        QList<double> v;
        for (const QString &s : qAsConst(numbers)) {
            bool ok = false;
            const double d = s.toDouble(&ok);
            if (!ok || !std::isfinite(d) || d < 0 || d > 1000)
                return fail(tr("\"%1\" is not a size in mm or pt.").arg(s));
            v << d;
        }
        if (keyword == QLatin1String("size")) {
            if (v[0] <= 0 || v[1] <= 0)
                return fail(tr("the label needs a width and a height above 0."));
            t.width = v[0];
            t.height = v[1];
            continue;
        }
        LabelItem item;
        item.line = lineNo;
        item.x = v[0];
        item.y = v[1];
        item.width = v[2];
        if (item.width <= 0)
            return fail(tr("the item needs a width above 0."));
        if (keyword == QLatin1String("qr")) {
            item.kind = LabelItem::Qr;
        } else {
            item.pointSize = v[3];
            if (item.pointSize < 1)
                return fail(tr("the text needs a size of at least 1 pt."));
            static const QRegularExpression placeholder(QStringLiteral("\\{([^{}]*)\\}"));
            auto it = placeholder.globalMatch(itemText);
            while (it.hasNext()) {
                const QString name = it.next().captured(1);
                if (!knownPlaceholder(name))
                    return fail(tr("unknown placeholder {%1}.").arg(name));
            }
            // A lone brace would be printed as it is or eat a value: refuse it.
            if (QString(itemText).remove(placeholder).contains(QRegularExpression(QStringLiteral("[{}]"))))
                return fail(tr("a brace without its placeholder."));
            item.text = itemText;
        }
        t.items << item;
    }
    for (const LabelItem &item : qAsConst(t.items)) {
        if (item.x + item.width > t.width + kSlackMm || item.y + item.height() > t.height + kSlackMm) {
            *error = tr("Label template, line %1: the item lies outside the %2 × %3 mm label.")
                         .arg(item.line)
                         .arg(t.width)
                         .arg(t.height);
            return false;
        }
    }
    *out = t;
    return true;
}

bool LabelTemplate::load(const QString &path, LabelTemplate *out, QString *error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = tr("The label template %1 could not be read: %2").arg(path, f.errorString());
        return false;
    }
    return parse(QString::fromUtf8(f.readAll()), out, error);
}

} // namespace labels
