#include "labels/labelrender.h"

#include "labels/qrcode.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <cmath>

namespace labels {

namespace {

constexpr int kPdfDpi = 600;
const QString kEllipsis = QStringLiteral("...");

QFont labelFont(double pointSize)
{
    // Customer names may be Chinese: the font the station installs has those glyphs.
    QFont f(QStringLiteral("WenQuanYi Micro Hei"));
    f.setPointSizeF(pointSize);
    return f;
}

// ZPL's field-hex escape: the bytes that could end the field or start a command (^ ~), the
// escape character itself and control bytes are written as _XX.
QByteArray zplField(const QString &text)
{
    QByteArray out;
    for (const char c : text.toUtf8()) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '^' || b == '~' || b == '_' || b < 0x20 || b == 0x7F)
            out += '_' + QByteArray::number(b, 16).rightJustified(2, '0').toUpper();
        else
            out += c;
    }
    return out;
}

int dots(double mm)
{
    return static_cast<int>(std::lround(mm * LabelRender::kZplDotsPerMm));
}

// Font 0's width, estimated per character from its height: narrow for ASCII, square for
// the rest (CJK). Generous, so a printed line stays inside its item.
double zplWidth(const QString &text, int heightDots)
{
    double w = 0;
    for (const QChar c : text) {
        if (c.isLowSurrogate())
            continue;
        w += c.unicode() < 0x80 ? 0.55 * heightDots : 1.0 * heightDots;
    }
    return w;
}

// An item is one line: a value's line breaks and tabs become spaces.
QString lineOf(const LabelItem &item, const LabelValues &values)
{
    QString s = LabelTemplate::fill(item.text, values);
    for (QChar &c : s)
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    return s;
}

// The QR's modules per dot-row of its item, or 0 with `error` when the symbol would be too
// fine to scan there.
int moduleDots(const LabelItem &item, const QrCode &qr, QString *error)
{
    const int modules = qr.size() + 2 * LabelRender::kQuietModules;
    const int perModule = qMin(dots(item.width) / modules, 10);
    if (perModule < LabelRender::kMinModuleDots)
        *error = LabelRender::tr("Label template, line %1: the QR of this identifier needs %2 modules, too many for "
                                 "a side of %3 mm.")
                     .arg(item.line)
                     .arg(modules)
                     .arg(item.width);
    return perModule < LabelRender::kMinModuleDots ? 0 : perModule;
}

} // namespace

QString LabelRender::cut(const QString &text, const std::function<bool(const QString &)> &fits)
{
    if (fits(text))
        return text;
    // Cut only where a character (grapheme) ends, never inside a surrogate pair or before a
    // combining mark.
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.toEnd();
    while (finder.toPreviousBoundary() > 0) {
        const QString candidate = text.left(finder.position()) + kEllipsis;
        if (fits(candidate))
            return candidate;
    }
    return fits(kEllipsis) ? kEllipsis : QString();
}

bool LabelRender::prepareQr(const LabelTemplate &t, const LabelValues &values, QrCode *qr, QString *error)
{
    const bool needsQr = std::any_of(t.items.cbegin(), t.items.cend(),
                                     [](const LabelItem &i) { return i.kind == LabelItem::Qr; });
    if (needsQr && !QrCode::encode(values.uuid.toUtf8(), qr, error))
        return false;
    for (const LabelItem &item : t.items)
        if (item.kind == LabelItem::Qr && !moduleDots(item, *qr, error))
            return false;
    return true;
}

void LabelRender::paint(const LabelTemplate &t, const LabelValues &values, const QrCode &qr, QPainter *p)
{
    QPaintDevice *device = p->device();
    const double px = device->logicalDpiX() / 25.4;
    for (const LabelItem &item : t.items) {
        if (item.kind == LabelItem::Qr) {
            const double module = item.width * px / (qr.size() + 2 * kQuietModules);
            const QPointF origin(item.x * px + kQuietModules * module, item.y * px + kQuietModules * module);
            p->fillRect(QRectF(item.x * px, item.y * px, item.width * px, item.width * px), Qt::white);
            for (int y = 0; y < qr.size(); ++y)
                for (int x = 0; x < qr.size(); ++x)
                    if (qr.dark(x, y))
                        p->fillRect(QRectF(origin.x() + x * module, origin.y() + y * module, module, module),
                                    Qt::black);
            continue;
        }
        const QFont font = labelFont(item.pointSize);
        p->setFont(font);
        p->setPen(Qt::black);
        const QFontMetricsF metrics(font, device);
        const double room = item.width * px;
        const QString line = cut(lineOf(item, values),
                                 [&](const QString &s) { return metrics.horizontalAdvance(s) <= room; });
        p->drawText(QRectF(item.x * px, item.y * px, room, item.height() * px), Qt::AlignLeft | Qt::AlignTop, line);
    }
}

bool LabelRender::toPdf(const LabelTemplate &t, const LabelValues &values, const QString &path, QString *error)
{
    // Refused before the file is opened: no half-drawn label is left behind. The page is
    // written under a temporary name and renamed when whole.
    QrCode qr;
    if (!prepareQr(t, values, &qr, error))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = tr("The label could not be written to %1: %2").arg(path, file.errorString());
        return false;
    }
    {
        QPdfWriter pdf(&file);
        pdf.setResolution(kPdfDpi);
        pdf.setPageSize(QPageSize(QSizeF(t.width, t.height), QPageSize::Millimeter, QString(), QPageSize::ExactMatch));
        pdf.setPageMargins(QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter);
        pdf.setCreator(QStringLiteral("Tarnwell"));
        QPainter p(&pdf);
        paint(t, values, qr, &p);
    }
    if (file.error() != QFileDevice::NoError || !file.commit()) {
        *error = tr("The label could not be written to %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool LabelRender::toZpl(const LabelTemplate &t, const LabelValues &values, QByteArray *zpl, QString *error)
{
    QByteArray out = "^XA\n^CI28\n";
    out += "^PW" + QByteArray::number(dots(t.width)) + "\n^LL" + QByteArray::number(dots(t.height)) + "\n";
    for (const LabelItem &item : t.items) {
        if (item.kind == LabelItem::Qr) {
            QrCode qr;
            if (!QrCode::encode(values.uuid.toUtf8(), &qr, error))
                return false;
            // The printer's own module size (up to 10 dots) that keeps symbol and quiet
            // zone inside the item.
            const int mag = moduleDots(item, qr, error);
            if (!mag)
                return false;
            out += "^FO" + QByteArray::number(dots(item.x) + kQuietModules * mag) + ','
                + QByteArray::number(dots(item.y) + kQuietModules * mag) + "^BQN,2," + QByteArray::number(mag)
                + "^FH_^FDMA," + zplField(values.uuid) + "^FS\n";
            continue;
        }
        const int h = qMax(1, dots(item.pointSize * 25.4 / 72.0));
        const double room = dots(item.width);
        const QString line = cut(lineOf(item, values), [&](const QString &s) { return zplWidth(s, h) <= room; });
        out += "^FO" + QByteArray::number(dots(item.x)) + ',' + QByteArray::number(dots(item.y)) + "^A0N,"
            + QByteArray::number(h) + ',' + QByteArray::number(h) + "^FH_^FD" + zplField(line) + "^FS\n";
    }
    out += "^XZ\n";
    *zpl = out;
    return true;
}

} // namespace labels
