// Labels: the QR read back by a real decoder from the rendered PDF, the ZPL parsed back as a
// printer would, and the template's errors.
#include "labels/labelrender.h"
#include "labels/qrcode.h"
#include "tests/support/testsupport.h"

#include <QImage>
#include <QProcess>

using labels::LabelRender;
using labels::LabelTemplate;
using labels::LabelValues;
using labels::QrCode;

namespace {

QByteArray run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        qWarning().noquote() << program << "failed:" << p.readAllStandardError();
    return p.readAllStandardOutput();
}

LabelTemplate defaultTemplate()
{
    LabelTemplate t;
    QString error;
    if (!LabelTemplate::load(QStringLiteral("Resources/label-template.txt"), &t, &error))
        qWarning().noquote() << error;
    return t;
}

LabelValues values(const QString &uuid, const QString &customer)
{
    return {uuid,     QStringLiteral("SN20261208001"), QStringLiteral("IPC-Z7"),
            customer, QStringLiteral("2026-12-08"),    QStringLiteral("line-3")};
}

// The printer's view: commands start at ^ (a ~ would start one too), field data is
// unescaped from _XX after ^FH_.
QStringList zplCommands(const QByteArray &zpl)
{
    QStringList out;
    for (const QByteArray &c : zpl.split('^'))
        if (!c.trimmed().isEmpty())
            out << QString::fromUtf8(c.trimmed());
    return out;
}

QString unhex(const QString &field)
{
    QByteArray bytes = field.toUtf8(), out;
    for (int i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '_' && i + 2 < bytes.size()) {
            out += static_cast<char>(bytes.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else {
            out += bytes[i];
        }
    }
    return QString::fromUtf8(out);
}

} // namespace

class TestLabels : public QObject
{
    Q_OBJECT

private slots:
    void pdfQrReadsBackAsTheIdentifier_data();
    void pdfQrReadsBackAsTheIdentifier();
    void zplFieldsCannotInjectCommands();
    void templateErrorsNameTheirLine_data();
    void templateErrorsNameTheirLine();
    void valuesAreFilledOnceAndCutOnWholeCharacters();
    void qrTooLongIsRefused();
};

void TestLabels::pdfQrReadsBackAsTheIdentifier_data()
{
    QTest::addColumn<QString>("uuid");
    QTest::addColumn<QString>("customer");
    QTest::newRow("ascii") << QStringLiteral("d3b07384-d9a0-4c9b-8f1e-6a1b2c3d4e5f") << QStringLiteral("UMEYE");
    QTest::newRow("chinese customer") << QStringLiteral("UMEYE0123456789ABCDEF") << QStringLiteral("优美科技有限公司");
}

void TestLabels::pdfQrReadsBackAsTheIdentifier()
{
    QFETCH(QString, uuid);
    QFETCH(QString, customer);
    const LabelTemplate t = defaultTemplate();
    QString error;
    QVERIFY2(LabelRender::toPdf(t, values(uuid, customer), QStringLiteral("label.pdf"), &error), qPrintable(error));
    run(QStringLiteral("pdftoppm"),
        {QStringLiteral("-r"), QStringLiteral("300"), QStringLiteral("-png"), QStringLiteral("-singlefile"),
         QStringLiteral("label.pdf"), QStringLiteral("label")});
    QByteArray decoded = run(QStringLiteral("zbarimg"),
                             {QStringLiteral("--raw"), QStringLiteral("-q"), QStringLiteral("label.png")});
    QVERIFY(decoded.endsWith('\n'));
    decoded.chop(1);
    QCOMPARE(decoded, uuid.toUtf8());

    // The symbol sits inside its quiet zone and fills the item's side.
    const QImage image(QStringLiteral("label.png"));
    QVERIFY(qAbs(image.width() - t.width / 25.4 * 300) <= 2); // the page is whole points
    const auto qrItem = std::find_if(t.items.cbegin(), t.items.cend(),
                                     [](const labels::LabelItem &i) { return i.kind == labels::LabelItem::Qr; });
    QVERIFY(qrItem != t.items.cend());
    QrCode qr;
    QVERIFY(QrCode::encode(uuid.toUtf8(), &qr, &error));
    const double px = 300 / 25.4, module = qrItem->width * px / (qr.size() + 8);
    const int x0 = qRound(qrItem->x * px), y0 = qRound(qrItem->y * px), side = qRound(qrItem->width * px);
    int left = side, right = -1;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            if (qGray(image.pixel(x0 + x, y0 + y)) < 128) {
                left = qMin(left, x);
                right = qMax(right, x);
            }
    QVERIFY2(qAbs(left - 4 * module) < module / 2, qPrintable(QString::number(left)));
    QVERIFY2(qAbs(right + 1 - (qr.size() + 4) * module) < module / 2, qPrintable(QString::number(right)));

    // Every placeholder replaced, the Chinese name drawn as text in a font that has it.
    QVERIFY(run(QStringLiteral("pdffonts"), {QStringLiteral("label.pdf")}).contains("WenQuanYi"));
    const QString text = QString::fromUtf8(
        run(QStringLiteral("pdftotext"),
            {QStringLiteral("-enc"), QStringLiteral("UTF-8"), QStringLiteral("label.pdf"), QStringLiteral("-")}));
    QVERIFY2(text.contains(customer) && text.contains(QStringLiteral("SN: SN20261208001")) && text.contains(uuid)
                 && !text.contains(QLatin1Char('{')),
             qPrintable(text));
}

void TestLabels::zplFieldsCannotInjectCommands()
{
    const LabelTemplate t = defaultTemplate();
    LabelValues v = values(QStringLiteral("UMEYE_0001^XZ"), QStringLiteral("客户^XZ~JA^FS_41"));
    v.station = QStringLiteral("station-with-a-name\nfar-too-long-for-its-place-on-the-label");
    QByteArray zpl;
    QString error;
    QVERIFY2(LabelRender::toZpl(t, v, &zpl, &error), qPrintable(error));
    QVERIFY2(!zpl.contains('~'), zpl.constData());
    const QStringList cmds = zplCommands(zpl);
    QCOMPARE(cmds.mid(0, 4),
             (QStringList{QStringLiteral("XA"), QStringLiteral("CI28"), QStringLiteral("PW400"),
                          QStringLiteral("LL240")}));
    QCOMPARE(cmds.last(), QStringLiteral("XZ"));
    QCOMPARE(cmds.count(QStringLiteral("XZ")), 1);

    QStringList fields;
    for (int i = 0; i < cmds.size(); ++i) {
        if (!cmds[i].startsWith(QLatin1String("FD")))
            continue;
        QCOMPARE(cmds[i - 1], QStringLiteral("FH_"));
        QCOMPARE(cmds[i + 1], QStringLiteral("FS"));
        fields << unhex(cmds[i].mid(2));
    }
    QCOMPARE(fields.size(), 7);
    QCOMPARE(fields[0], QStringLiteral("MA,") + v.uuid);
    QVERIFY(cmds.contains(QStringLiteral("BQN,2,6")));
    QCOMPARE(fields[1], QStringLiteral("SN: SN20261208001"));
    QCOMPARE(fields[3], v.customer);
    QVERIFY2(fields[5].endsWith(QLatin1String("..."))
                 && v.station.replace(QLatin1Char('\n'), QLatin1Char(' ')).startsWith(fields[5].chopped(3)),
             qPrintable(fields[5]));
    QCOMPARE(fields[6], v.uuid);
}

void TestLabels::templateErrorsNameTheirLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("placeholder") << "size 50 30\ntext 1 1 10 7 {uuid} {colour}"
                                 << "line 2: unknown placeholder {colour}";
    QTest::newRow("number") << "\n# qr\nqr 1 x 10"
                            << "line 3: \"x\" is not";
    QTest::newRow("off the label") << "qr 1 1 20\nsize 20 10\n"
                                   << "line 1: the item lies outside the 20 × 10 mm";
    QTest::newRow("text off the label") << "text 40 1 11 7 {serial}"
                                        << "line 1: the item lies outside";
    QTest::newRow("no text") << "text 1 1 10 7"
                             << "line 1: a text item needs";
    QTest::newRow("unknown item") << "size 50 30\nbarcode 1 1 5"
                                  << "line 2: unknown item \"barcode\"";
    QTest::newRow("lone brace") << "text 1 1 10 7 {uuid"
                                << "line 1: a brace";
}

void TestLabels::templateErrorsNameTheirLine()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    LabelTemplate t;
    QString error;
    QVERIFY(!LabelTemplate::parse(text, &t, &error));
    QVERIFY2(error.contains(expected), qPrintable(error));
}

void TestLabels::valuesAreFilledOnceAndCutOnWholeCharacters()
{
    LabelValues v = values(QStringLiteral("{serial}"), QStringLiteral("{date}"));
    QCOMPARE(LabelTemplate::fill(QStringLiteral("{uuid}/{customer}/{station}"), v),
             QStringLiteral("{serial}/{date}/line-3"));
    const QString emoji = QStringLiteral("ab") + QString::fromUtf8("\xF0\x9F\x98\x80") + QStringLiteral("cdef");
    const auto upTo = [](int n) { return [n](const QString &s) { return s.size() <= n; }; };
    QCOMPARE(LabelRender::cut(emoji, upTo(6)), QStringLiteral("ab..."));
    QCOMPARE(LabelRender::cut(emoji, upTo(7)), emoji.left(4) + QStringLiteral("..."));
    QCOMPARE(LabelRender::cut(emoji, upTo(8)), emoji);
    QCOMPARE(LabelRender::cut(emoji, upTo(2)), QString());
}

void TestLabels::qrTooLongIsRefused()
{
    QrCode qr;
    QString error;
    QVERIFY2(QrCode::encode(QByteArray(2331, 'x'), &qr, &error), qPrintable(error)); // the largest symbol, level M
    QCOMPARE(qr.size(), 177);
    QVERIFY(!QrCode::encode(QByteArray(2332, 'x'), &qr, &error));
    QVERIFY2(error.contains(QLatin1String("too long")), qPrintable(error));
    error.clear();
    QByteArray zpl;
    QVERIFY(!LabelRender::toZpl(defaultTemplate(), values(QString(3000, QLatin1Char('u')), QString()), &zpl, &error));
    QVERIFY(!error.isEmpty() && zpl.isEmpty());
    // Fits a symbol, but not at a scannable module size on the label's QR item.
    const LabelValues dense = values(QString(700, QLatin1Char('u')), QString());
    QVERIFY(!LabelRender::toZpl(defaultTemplate(), dense, &zpl, &error));
    QVERIFY2(error.contains(QLatin1String("line 7: the QR")), qPrintable(error));
    QVERIFY(!LabelRender::toPdf(defaultTemplate(), dense, QStringLiteral("dense.pdf"), &error));
    QVERIFY(!QFile::exists(QStringLiteral("dense.pdf")));
}

TARNWELL_TEST_MAIN(TestLabels)
#include "tst_labels.moc"
