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

    void describeLimitCountsBytes_data()
    {
        QTest::addColumn<QString>("describe");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("single blank") << " " << true;
        // The device request carries the kind in 16 bytes with its NUL: 15 bytes at most.
        QTest::newRow("15 ASCII bytes") << bytesOf("a", 15) << true;
        QTest::newRow("16 ASCII bytes") << bytesOf("a", 16) << false;
        QTest::newRow("15 bytes, 5 CJK") << QString::fromUtf8("中文中文中") << true;
        QTest::newRow("16 bytes, 5 CJK + 1") << QString::fromUtf8("中文中文中a") << false;
        QTest::newRow("16 bytes, 8 two-byte") << QString::fromUtf8("éééééééé") << false;
    }

    void describeLimitCountsBytes()
    {
        QFETCH(QString, describe);
        QFETCH(bool, accepted);
        const QString before = allCustomerRows();
        {
            Editor e;
            e.doubleClick(0, 1);
            e.retype(e.describe(), describe);
            QCOMPARE(e.update(), accepted);
        }
        if (!accepted) {
            QCOMPARE(MessageBox::last().text, QStringLiteral("Label length should not be higher than 12 characters"));
            QCOMPARE(allCustomerRows(), before);
            return;
        }
        QCOMPARE(MessageBox::last().text, QStringLiteral("Update success!"));
        QCOMPARE(stored("UMEYE").value, describe);
        // A value filling the whole record field comes back whole on the next opening.
        Editor reopened;
        QCOMPARE(reopened.cell(0, 1), describe);
    }

    void umeyeServerChecks_data()
    {
        QTest::addColumn<QString>("describe");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("message");
        const QString host100 = QString::fromUtf8("é").repeated(30) + bytesOf("h", 40); // 60 + 40 bytes
        QTest::newRow("empty describe first") << ""
                                              << ""
                                              << ""
                                              << "describe is empty!";
        QTest::newRow("empty host") << "DeviceID"
                                    << ""
                                    << ""
                                    << "address is empty!";
        QTest::newRow("101-byte host") << "DeviceID" << host100 + "h"
                                       << ""
                                       << "Host address can not be higher than 100 characters";
        QTest::newRow("empty port") << "DeviceID" << host100 << ""
                                    << "Port is empty!";
        QTest::newRow("100-byte host") << "DeviceID" << host100 << "7000"
                                       << "Update success!";
        QTest::newRow("host kept verbatim") << "DeviceID"
                                            << " h "
                                            << "7000"
                                            << "Update success!";
        QTest::newRow("letters as port are no port") << "DeviceID"
                                                     << "h"
                                                     << "abc"
                                                     << "Update success!";
        QTest::newRow("port 65535") << "DeviceID"
                                    << "h"
                                    << "65535"
                                    << "Update success!";
        QTest::newRow("port 65536") << "DeviceID"
                                    << "h"
                                    << "65536"
                                    << "Port must be a number from 0 to 65535!";
        QTest::newRow("port 70000, once burned as 4464") << "DeviceID"
                                                         << "h"
                                                         << "70000"
                                                         << "Port must be a number from 0 to 65535!";
        QTest::newRow("negative port") << "DeviceID"
                                       << "h"
                                       << "-1"
                                       << "Port must be a number from 0 to 65535!";
    }

    void umeyeServerChecks()
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
            QCOMPARE(after.host, host);
            QCOMPARE(after.port, port.toInt());
            Editor reopened;
            QCOMPARE(reopened.cell(0, 3), after.port > 0 ? port : QString());
        } else {
            QCOMPARE(after.host, before.host);
            QCOMPARE(after.port, before.port);
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
        const Customer umeyeAfter = stored("UMEYE");
        QCOMPARE(umeyeAfter.value, umeye.value);
        QCOMPARE(umeyeAfter.host, umeye.host);
        QCOMPARE(umeyeAfter.port, umeye.port);
    }

    void quotesAreStoredLiterally()
    {
        const QString describe = QStringLiteral("a'b\"c;--");
        const QString host = QStringLiteral("h'); DROP TABLE Customers;--");
        {
            Editor e;
            e.doubleClick(0, 0);
            e.retype(e.describe(), describe);
            e.retype(e.address(), host);
            e.retype(e.port(), QStringLiteral("8'0"));
            QVERIFY(e.update());
        }
        const Customer after = stored("UMEYE");
        QCOMPARE(after.value, describe);
        QCOMPARE(after.host, host);
        QCOMPARE(after.port, 0);
        QCOMPARE(stored("Brisvan").value, QStringLiteral("GoolinkGID"));
        Editor reopened;
        QCOMPARE(reopened.cell(0, 1), describe);
        QCOMPARE(reopened.cell(0, 2), host);
    }
};

TARNWELL_TEST_MAIN(TestCustomerMng)
#include "tst_customermng.moc"
