// Renders a label template with its values: a PDF page of the label's size, or ZPL for a
// label printer at 203 dpi.
#pragma once

#include "labels/labeltemplate.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <functional>

class QPainter;

namespace labels {

class QrCode;

class LabelRender
{
    Q_DECLARE_TR_FUNCTIONS(LabelRender)

public:
    // Quiet zone around the QR, in modules, inside the item's side.
    static constexpr int kQuietModules = 4;
    static constexpr int kZplDotsPerMm = 8;
    // The smallest module a scanner reads reliably: two printer dots.
    static constexpr int kMinModuleDots = 2;

    // Writes one page to `path`; false with `error` when the QR cannot be made or the
    // file cannot be written.
    static bool toPdf(const LabelTemplate &t, const LabelValues &values, const QString &path, QString *error);
    // The QR of `values` for every QR item of `t`; false with `error` when it cannot be made or
    // would be too fine to scan there. Checked before anything is opened or sent.
    static bool prepareQr(const LabelTemplate &t, const LabelValues &values, QrCode *qr, QString *error);
    // Draws the label on `painter`, begun on a page of the label's size without margins, at
    // its device's resolution: the one drawing of the PDF file and of a print queue.
    static void paint(const LabelTemplate &t, const LabelValues &values, const QrCode &qr, QPainter *painter);
    // The label as ZPL (UTF-8); false with `error` when the QR cannot be made.
    static bool toZpl(const LabelTemplate &t, const LabelValues &values, QByteArray *zpl, QString *error);

    // `text` itself when `fits` accepts it, else its longest start (whole characters) that
    // fits with "..." after it.
    static QString cut(const QString &text, const std::function<bool(const QString &)> &fits);
};

} // namespace labels
