// The customer editor, driven by double-clicks and the Update button.
#include "tests/support/testsupport.h"

#include "customers/customermng.h"
#include "store/datastore.h"
#include "widgets/messagebox.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>

#include <memory>

namespace {

struct Customer {
    QString value;
    QString host;
    int port;
    int svrChecked;
    bool operator==(const Customer &o) const
    {
        return value == o.value && host == o.host && port == o.port && svrChecked == o.svrChecked;
    }
};

Customer stored(const QString &name)
{
    const QList<QVariantList> r = testsupport::rows(
        QStringLiteral("SELECT CustomerValue, CustomerHostAddr, CustomerPort, CustomerSvrChecked "
                       "FROM Customers WHERE CustomerName='%1'")
            .arg(name));
    if (r.size() != 1)
        return {QStringLiteral("<missing>"), {}, -999, -999};
    return {r[0][0].toString(), r[0][1].toString(), r[0][2].toInt(), r[0][3].toInt()};
}

QString allCustomerRows()
{
    QStringList out;
    for (const QVariantList &row : testsupport::rows(QStringLiteral("SELECT * FROM Customers ORDER BY CustomerID")))
        for (const QVariant &v : row)
            out << v.toString();
    return out.join(QLatin1Char('|'));
}

class Editor
{
public:
    Editor()
        : dialog(new CustomerMng)
    {
        dialog->show();
        if (!QTest::qWaitForWindowExposed(dialog.get()))
            qWarning("customer dialog not exposed");
    }

    QTableWidget *table() const { return dialog->findChild<QTableWidget *>(QStringLiteral("tableWidget")); }
    QLineEdit *edit(const char *name) const { return dialog->findChild<QLineEdit *>(QLatin1String(name)); }
    QLineEdit *name() const { return edit("lineEditName"); }
    QLineEdit *describe() const { return edit("lineEditDescribe"); }
    QLineEdit *address() const { return edit("lineEditAddress"); }
    QLineEdit *port() const { return edit("lineEditPort"); }

    QString cell(int row, int column) const { return testsupport::cellText(table(), row, column); }
    void doubleClick(int row, int column) { testsupport::doubleClickCell(table(), row, column); }

    void retype(QLineEdit *field, const QString &text)
    {
        QVERIFY(field->isEnabled());
        field->clear();
        testsupport::type(field, text);
    }

    // Presses Update; returns whether the dialog closed accepted.
    bool update()
    {
        testsupport::click(dialog->findChild<QPushButton *>(QStringLiteral("btnUpdate")));
        return dialog->result() == QDialog::Accepted;
    }

    std::unique_ptr<CustomerMng> dialog;
};

QString bytesOf(const char *ascii, int repeat)
{
    return QString::fromLatin1(ascii).repeated(repeat);
}

} // namespace

class TestCustomerMng : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        testsupport::freshDatabase();
        MessageBox::clear();
    }

    void listChooseAndUpdateUnchosen()
    {
        testsupport::exec(QStringLiteral("UPDATE Customers SET CustomerPort=-5 WHERE CustomerID=2"));
        const QString before = allCustomerRows();
        Editor e;
        QCOMPARE(e.table()->rowCount(), 2);
        QCOMPARE((QStringList{e.cell(0, 0), e.cell(0, 1), e.cell(0, 2), e.cell(0, 3)}),
                 (QStringList{"UMEYE", "DeviceID", stored("UMEYE").host, "5800"}));
        QCOMPARE((QStringList{e.cell(1, 0), e.cell(1, 1), e.cell(1, 3)}),
                 (QStringList{"Brisvan", "GoolinkGID", ""})); // a port below 1 is no port

        // Nothing is editable until a row is chosen, and Update then changes nothing.
        for (QLineEdit *f : {e.name(), e.describe(), e.address(), e.port()})
            QVERIFY(!f->isEnabled() && f->text().isEmpty());
        QVERIFY(!e.update());
        QCOMPARE(MessageBox::shown().size(), 1);
        QCOMPARE(MessageBox::last().text, QStringLiteral("describe is empty!"));
        QCOMPARE(allCustomerRows(), before);

        // Only UMEYE's server can be edited; the name never.
        e.doubleClick(0, 3);
        QCOMPARE((QStringList{e.name()->text(), e.describe()->text(), e.address()->text(), e.port()->text()}),
                 (QStringList{"UMEYE", "DeviceID", e.cell(0, 2), "5800"}));
        QVERIFY(!e.name()->isEnabled() && e.describe()->isEnabled() && e.address()->isEnabled()
                && e.port()->isEnabled());
        e.doubleClick(1, 0);
        QCOMPARE((QStringList{e.name()->text(), e.describe()->text(), e.address()->text(), e.port()->text()}),
                 (QStringList{"Brisvan", "GoolinkGID", "", ""}));
        QVERIFY(!e.name()->isEnabled() && e.describe()->isEnabled() && !e.address()->isEnabled()
                && !e.port()->isEnabled());
    }

    void umeyeEdits_data()
    {
        QTest::addColumn<QString>("describe");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("message");
        const QString host100 = QString::fromUtf8("é").repeated(30) + bytesOf("h", 40); // 60 + 40 bytes
        const QString ok = QStringLiteral("Update success!"),
                      badPort = QStringLiteral("Port must be a number from 0 to 65535!");
        const auto row = [](const char *name, const QString &describe, const QString &host, const char *port,
                            const QString &message) { QTest::newRow(name) << describe << host << port << message; };
        row("empty describe first", "", "", "", "describe is empty!");
        row("empty host", "DeviceID", "", "", "address is empty!");
        row("101-byte host", "DeviceID", host100 + "h", "", "Host address can not be higher than 100 characters");
        row("empty port", "DeviceID", host100, "", "Port is empty!");
        row("100-byte host", "DeviceID", host100, "7000", ok);
        row("host kept verbatim", "DeviceID", " h ", "7000", ok);
        // Quotes and statement text are stored as typed, never run.
        row("quotes stored literally", "a'b\"c;--", "h'); DROP TABLE Customers;--", "8'0", ok);
        row("letters as port are no port", "DeviceID", "h", "abc", ok);
        row("port 65535", "DeviceID", "h", "65535", ok);
        row("port 65536", "DeviceID", "h", "65536", badPort);
        row("port 70000, once burned as 4464", "DeviceID", "h", "70000", badPort);
        row("negative port", "DeviceID", "h", "-1", badPort);
        // The device request carries the kind in 16 bytes with its NUL: 15 bytes at most.
        const QString label = QStringLiteral("Label length should not be higher than 12 characters");
        row("describe a single blank", " ", "h", "7000", ok);
        row("describe 15 ASCII bytes", bytesOf("a", 15), "h", "7000", ok);
        row("describe 16 ASCII bytes", bytesOf("a", 16), "h", "7000", label);
        row("describe 15 bytes, 5 CJK", QString::fromUtf8("中文中文中"), "h", "7000", ok);
        row("describe 16 bytes, 5 CJK + 1", QString::fromUtf8("中文中文中a"), "h", "7000", label);
        row("describe 16 bytes, 8 two-byte", QString::fromUtf8("éééééééé"), "h", "7000", label);
    }

    void umeyeEdits()
    {
        QFETCH(QString, describe);
        QFETCH(QString, host);
        QFETCH(QString, port);
        QFETCH(QString, message);
        const Customer before = stored("UMEYE");
        Editor e;
        e.doubleClick(0, 0);
        e.describe()->clear();
        testsupport::type(e.describe(), describe);
        e.retype(e.address(), host);
        e.retype(e.port(), port);
        const bool accepted = e.update();
        QCOMPARE(MessageBox::shown().size(), 1);
        QCOMPARE(MessageBox::last().text, message);
        QCOMPARE(accepted, message == QLatin1String("Update success!"));
        const Customer after = stored("UMEYE");
        if (accepted) {
            QCOMPARE((QStringList{after.value, after.host}), (QStringList{describe, host}));
            QCOMPARE(after.port, port.toInt());
            QCOMPARE(stored("Brisvan").value, QStringLiteral("GoolinkGID"));
            Editor reopened;
            QCOMPARE((QStringList{reopened.cell(0, 1), reopened.cell(0, 2), reopened.cell(0, 3)}),
                     (QStringList{describe, host, after.port > 0 ? port : QString()}));
        } else {
            QVERIFY(after == before);
        }
    }

    void otherCustomerKeepsItsServer_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("portAfter");
        QTest::newRow("seeded: empty host, no port") << "" << 0 << 0;
        QTest::newRow("host and port") << "other.example" << 9000 << 9000;
        QTest::newRow("negative port shown empty, written as 0") << "other.example" << -3 << 0;
    }

    void otherCustomerKeepsItsServer()
    {
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(int, portAfter);
        testsupport::exec(QStringLiteral("UPDATE Customers SET CustomerHostAddr='%1', CustomerPort=%2, "
                                         "CustomerSvrChecked=1 WHERE CustomerID=2")
                              .arg(host)
                              .arg(port));
        const Customer umeye = stored("UMEYE");
        {
            Editor e;
            e.doubleClick(1, 2);
            e.retype(e.describe(), QStringLiteral("GID2"));
            QVERIFY(e.update());
        }
        const Customer after = stored("Brisvan");
        QCOMPARE(after.value, QStringLiteral("GID2"));
        QCOMPARE(after.host, host);
        QCOMPARE(after.port, portAfter);
        QCOMPARE(after.svrChecked, 1);
        QVERIFY(stored("UMEYE") == umeye);
    }

    // The low-pool warning and the identifier pattern are edited with the customer: a
    // warning that is no count or a pattern that is no regular expression is refused with
    // nothing written; saved ones come back in the next dialog.
    void rulesEditedWithTheCustomer()
    {
        const QString before = allCustomerRows();
        {
            Editor e;
            e.doubleClick(1, 0);
            QLineEdit *warn = e.edit("lineEditWarnBelow");
            QLineEdit *pattern = e.edit("lineEditPattern");
            for (const auto &bad : {QPair<QString, QString>{"abc", ""}, {"-1", ""}, {"50", "GEN-(["}}) {
                e.retype(warn, bad.first);
                e.retype(pattern, bad.second);
                QVERIFY(!e.update());
                QCOMPARE(MessageBox::last().kind, MessageBox::Warning);
                QCOMPARE(allCustomerRows(), before);
            }
            QVERIFY2(MessageBox::last().text.startsWith(QLatin1String("The UUID pattern is not a valid regular")),
                     qPrintable(MessageBox::last().text));
            e.retype(pattern, QStringLiteral("GEN-[0-9]{4}"));
            QVERIFY(e.update());
        }
        CustomerRules rules;
        QVERIFY(customerRules(2, &rules));
        QCOMPARE(rules.warnBelow, qint64(50));
        QCOMPARE(rules.serialPattern, QStringLiteral("GEN-[0-9]{4}"));
        Editor again;
        again.doubleClick(1, 1);
        QCOMPARE(again.edit("lineEditWarnBelow")->text(), QStringLiteral("50"));
        QCOMPARE(again.edit("lineEditPattern")->text(), QStringLiteral("GEN-[0-9]{4}"));
    }
};

TARNWELL_TEST_MAIN(TestCustomerMng)
#include "tst_customermng.moc"
