#pragma once

#include "store/datastore.h"
#include "widgets/pager.h"

#include <QList>
#include <QString>
#include <QWidget>

namespace Ui {
class Serial;
}
class Loading;
namespace jobs {
struct ImportResult;
}

// The serial-number pool page: filter, page through, check and delete serial numbers,
// and the import group. The page has no data until its first resize.
class Serial : public QWidget
{
    Q_OBJECT
public:
    explicit Serial(QWidget *parent = nullptr);
    ~Serial() override;

    // Recounts with the current filter and shows page 1.
    void refreshPaging();
    // Reloads the current page without recounting.
    void loadPage();
    // Offers Delete and the label reprint to a supervisor or administrator and the import
    // to an administrator only, as the signed-in person's role says now.
    void applyRole();

private slots:
    void on_btnSearch_clicked();
    void on_btnSerialFirst_clicked();
    void on_btnSerialPrev_clicked();
    void on_btnSerialNext_clicked();
    void on_btnSerialLast_clicked();
    void on_btnChoose_clicked();
    void on_btnImport_clicked();
    void onCheckBoxSelAll(int state);
    void on_btnDelete_clicked();
    // Opens the history of the selected row's identifier.
    void on_btnHistory_clicked();
    void on_btnBatches_clicked();
    // Asks another copy of the selected used row's label, with a reason.
    void on_btnReprintLabel_clicked();
public slots:
    void onSerial();
private slots:
    void onPageChange(int index);
    void onImportUuid();
    // Writes every row of the current filter to a file chosen in a save dialog.
    void on_btnExport_clicked();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void exportTo(const QString &path, bool xlsx);
    // The box that ends an import that read the file, and the table refreshed.
    void showResult(const jobs::ImportResult &run);
    void switchPage(int page);
    void showRows(const QList<SerialRow> &rows);
    void showPageLabel();
    // The reprint is offered for a selected used row only.
    void updateReprint();

    Ui::Serial *ui;
    SerialFilter filter;
    // Page size, count and the page shown; no page size until the first resize.
    Pager *pager;
    // The rows shown, with whole values: Delete acts on exactly these.
    QList<SerialRow> pageRecords;
    // Shown by the import while it runs.
    Loading *loading;
};
