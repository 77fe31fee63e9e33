#include "serial/serial.h"
#include "ui_serial.h"

#include "formats/exportformat.h"
#include "jobs/roleactions.h"
#include "serial/batchesdlg.h"
#include "serial/historydlg.h"
#include "serial/reprintlabeldlg.h"
#include "store/datastore.h"
#include "store/fixedfield.h"
#include "widgets/displaytext.h"
#include "widgets/loading.h"
#include "widgets/messagebox.h"

#include <QHeaderView>
#include <QTableWidgetItem>

#include <algorithm>

namespace {

// After a read of the pool: true, with a box that says why, when it could not be read, so
// an empty or short page is never shown as the pool's content.
bool poolUnreadable()
{
    if (!lastStoreCallFailed())
        return false;
    MessageBox::critical(nullptr, Serial::tr("Error"),
                         Serial::tr("The serial numbers could not be read from the pool:\n\n%1").arg(storeError()));
    return true;
}

} // namespace

namespace {

// Each row of the table is 25 px high; the rest of the group box (filter row, header,
// paging row, margins) takes 150 px of its height and 180 px of its width.
const int kRowHeight = 25;
const int kGroupBoxChromeHeight = 150;
const int kGroupBoxChromeWidth = 180;

enum Column {
    ColNo,
    ColUuid,
    ColCustomer,
    ColUsed,
    ColType,
    ColDeviceSn,
    ColIp,
    ColLabel
};

QTableWidgetItem *textItem(const QString &text)
{
    return new QTableWidgetItem(text);
}

} // namespace

Serial::Serial(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::Serial)
{
    ui->setupUi(this);
    ui->tableWidget->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    ui->tableWidget->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    // Rows as tall as the 25 px step the page size is counted in, so a page fills the table.
    ui->tableWidget->verticalHeader()->setDefaultSectionSize(25);
    // A UUID a little wider than its column shows both ends rather than wrapping
    // into a row too short for its second line.
    ui->tableWidget->setWordWrap(false);
    ui->tableWidget->setTextElideMode(Qt::ElideMiddle);
    // Identifiers claimed for a device whose write has not been confirmed yet, replaced
    // ones, and pending ones freed again. Each entry's index less one is its stored usage.
    ui->cbxUse->addItems({tr("Pending"), tr("Void"), tr("Released")});
    pager = new Pager(ui->btnSerialFirst, ui->btnSerialPrev, ui->cbxPage, ui->btnSerialNext, ui->btnSerialLast);

    connect(ui->chkAll, &QCheckBox::stateChanged, this, &Serial::onCheckBoxSelAll);
    connect(ui->cbxPage, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &Serial::onPageChange);
    connect(ui->tableWidget, &QTableWidget::itemSelectionChanged, this, &Serial::updateReprint);

    loading = new Loading(this);
    applyRole();
}

void Serial::applyRole()
{
    const bool mayDelete = signedInMay(Role::Supervisor);
    ui->btnDelete->setVisible(mayDelete);
    ui->chkAll->setVisible(mayDelete); // the check marks serve Delete only
    ui->btnReprintLabel->setVisible(mayDelete);
    ui->groupBox_2->setVisible(signedInMay(Role::Administrator));
}

Serial::~Serial()
{
    delete pager;
    delete ui;
}

void Serial::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);

    // A very narrow page gives no room for the shared columns rather than negative widths.
    const int w = std::max(0, ui->groupBox->width() - kGroupBoxChromeWidth);
    const int h = ui->groupBox->height() - kGroupBoxChromeHeight;
    QTableWidget *table = ui->tableWidget;
    table->setColumnWidth(ColNo, 60);
    table->setColumnWidth(ColUsed, 100);
    table->setColumnWidth(ColUuid, w * 22 / 100);
    table->setColumnWidth(ColCustomer, w * 12 / 100);
    table->setColumnWidth(ColType, w * 14 / 100);
    table->setColumnWidth(ColDeviceSn, table->columnWidth(ColUuid));
    table->setColumnWidth(ColIp, table->columnWidth(ColCustomer));
    table->setColumnWidth(ColLabel, w * 18 / 100);

    // A group box too low for one row still shows one; the page count divides by this.
    pager->setPageSize(h / kRowHeight);
    table->setRowCount(pager->pageSize());

    refreshPaging();
}

void Serial::refreshPaging()
{
    // Not laid out yet: there is no page size to divide by, and the first resize recounts.
    if (!pager->hasPageSize())
        return;
    const int total = countSerials(filter);
    if (poolUnreadable())
        return;
    pager->recount(total);
    const QList<SerialRow> rows = seekSerialPage(0, pager->pageSize(), filter, pager->totalCount());
    if (poolUnreadable())
        return;
    showRows(rows);
    showPageLabel();
}

void Serial::loadPage()
{
    // The page at its place in the pool as it is now (the count is a sum over a few rows),
    // skipped to from the nearer end.
    const int total = countSerials(filter);
    if (poolUnreadable())
        return;
    const QList<SerialRow> rows = seekSerialPage(pager->pageIndex(), pager->pageSize(), filter, total);
    if (poolUnreadable())
        return;
    showRows(rows);
}

void Serial::showRows(const QList<SerialRow> &rows)
{
    QTableWidget *table = ui->tableWidget;
    table->clearContents();
    pageRecords = rows;

    const Qt::CheckState checked = ui->chkAll->checkState();
    // The export's words for each usage (an unknown one shows as its number).
    QStringList usage;
    for (int isUse = 0; isUse < exportformat::kStates; ++isUse)
        usage << exportformat::stateText(isUse);
    // The labels of the whole page in one read, by identifier: a page of a pool of millions
    // costs no more than one of an empty pool.
    QStringList serials;
    for (const SerialRow &r : qAsConst(pageRecords))
        serials << r.serialNumber;
    QHash<QString, LabelStatus> labels;
    if (!labelStatuses(serials, &labels))
        poolUnreadable(); // the rows stand; their labels are said to be unknown
    for (int row = 0; row < pageRecords.size() && row < table->rowCount(); ++row) {
        const SerialRow &r = pageRecords.at(row);
        QTableWidgetItem *number = textItem(QStringLiteral("%1").arg(row + 1));
        number->setTextAlignment(Qt::AlignRight | Qt::AlignHCenter);
        number->setCheckState(checked);
        table->setItem(row, ColNo, number);
        table->setItem(row, ColUuid, textItem(displayText(r.serialNumber)));
        table->setItem(row, ColCustomer, textItem(r.customerName));
        table->setItem(row, ColUsed,
                       textItem(r.isUse >= 0 && r.isUse < usage.size() ? usage.at(r.isUse) : QString::number(r.isUse)));
        table->setItem(row, ColType, textItem(displayText(r.deviceType)));
        table->setItem(row, ColDeviceSn, textItem(displayText(r.deviceSerialNum)));
        table->setItem(row, ColIp, textItem(displayText(r.deviceIp)));
        const auto label = labels.constFind(r.serialNumber);
        if (label != labels.constEnd()) {
            const LabelStatus &l = label.value();
            QTableWidgetItem *item = textItem(exportformat::labelText(int(l.state), l.copy, l.error));
            if (l.state == LabelState::Printed)
                item->setToolTip(tr("Printed on %1 at %2").arg(l.printer, l.printedDate));
            else if (l.state == LabelState::Failed)
                item->setToolTip(tr("Failed on %1; due since %2")
                                     .arg(l.printer.isEmpty() ? tr("no printer") : l.printer, l.dueDate));
            table->setItem(row, ColLabel, item);
        }
    }
    updateReprint();
}

void Serial::updateReprint()
{
    const int row = ui->tableWidget->currentRow();
    const bool selected = !ui->tableWidget->selectedItems().isEmpty();
    ui->btnReprintLabel->setEnabled(selected && row >= 0 && row < pageRecords.size()
                                    && pageRecords.at(row).isUse == SerialUsed);
}

void Serial::on_btnReprintLabel_clicked()
{
    const int row = ui->tableWidget->currentRow();
    if (row < 0 || row >= pageRecords.size() || pageRecords.at(row).isUse != SerialUsed) {
        MessageBox::warning(nullptr, tr("Warning"), tr("Please select a used serial number!"), QMessageBox::Ok);
        return;
    }
    const SerialRow r = pageRecords.at(row);
    const QTableWidgetItem *state = ui->tableWidget->item(row, ColLabel);
    ReprintLabelDlg dialog(r.serialNumber, r.deviceSerialNum, state ? state->text() : QString(), this);
    if (dialog.exec() == QDialog::Accepted)
        loadPage();
}

void Serial::showPageLabel()
{
    // "serial number" in the singular is the program's own wording, kept.
    ui->label_5->setText(tr("A total of %1 serial number, %2 pages, the current %3 page")
                             .arg(QString::number(pager->totalCount()), QString::number(pager->pageCount()),
                                  QString::number(pager->currentPage())));
}

void Serial::switchPage(int page)
{
    // A step to a neighbouring page walks from the rows shown by their key; a pool of
    // millions would otherwise skip millions of rows to reach a late page. Any other move
    // (the selector, the last page) skips from the nearer end.
    const int from = pager->currentPage();
    QList<SerialRow> rows;
    if (page == from + 1 && !pageRecords.isEmpty())
        rows = serialRowsBelow(pageRecords.last().snid, pager->pageSize(), filter);
    else if (page == from - 1 && page >= 1 && !pageRecords.isEmpty())
        rows = serialRowsAbove(pageRecords.first().snid, pager->pageSize(), filter);
    else
        rows = seekSerialPage(page - 1, pager->pageSize(), filter, pager->totalCount());
    if (poolUnreadable())
        return;
    pager->moveTo(page);
    showRows(rows);
    showPageLabel();
}

void Serial::on_btnSearch_clicked()
{
    filter = SerialFilter();
    // The displayed type is matched as a part of the stored one. The usage entries follow
    // the stored values: "Not used" 0, "Has been used" 1, "Pending" 2, "Void" 3, "Released" 4.
    if (ui->cbxType->currentIndex() >= 1)
        filter.deviceType = ui->cbxType->currentText();
    if (ui->cbxUse->currentIndex() >= 1)
        filter.isUse = ui->cbxUse->currentIndex() - 1;
    // Customer ids follow the seed order: UMEYE is 1, Brisvan 2.
    if (ui->cbxCustomer->currentIndex() >= 1)
        filter.customerId = ui->cbxCustomer->currentIndex();

    refreshPaging();
}

void Serial::on_btnSerialFirst_clicked()
{
    switchPage(1);
}

void Serial::on_btnSerialPrev_clicked()
{
    switchPage(pager->currentPage() - 1);
}

void Serial::on_btnSerialNext_clicked()
{
    switchPage(pager->currentPage() + 1);
}

void Serial::on_btnSerialLast_clicked()
{
    switchPage(pager->pageCount());
}

void Serial::onCheckBoxSelAll(int state)
{
    QTableWidget *table = ui->tableWidget;
    for (int row = 0; row < table->rowCount(); ++row) {
        QTableWidgetItem *item = table->item(row, ColNo);
        if (!item)
            break;
        item->setCheckState(Qt::CheckState(state));
    }
}

void Serial::on_btnBatches_clicked()
{
    auto *dialog = new BatchesDlg(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
}

void Serial::on_btnHistory_clicked()
{
    const int row = ui->tableWidget->currentRow();
    if (row < 0 || row >= pageRecords.size() || !ui->tableWidget->item(row, ColNo)) {
        MessageBox::warning(nullptr, tr("Warning"), tr("Please select serial number!"), QMessageBox::Ok);
        return;
    }
    // Not modal to the program: the operator may keep it open beside the pages.
    auto *dialog = new HistoryDlg(pageRecords.at(row).serialNumber, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
}

void Serial::on_btnDelete_clicked()
{
    QTableWidget *table = ui->tableWidget;
    bool anyChecked = false;
    for (int row = 0; row < table->rowCount() && !anyChecked; ++row) {
        const QTableWidgetItem *item = table->item(row, ColNo);
        if (!item)
            break;
        anyChecked = item->checkState() == Qt::Checked;
    }
    if (!anyChecked) {
        MessageBox::warning(nullptr, tr("Warning"), tr("Please select serial number!"), QMessageBox::Ok);
        return;
    }
    // "Whether to delete!" is the program's own wording, kept.
    if (MessageBox::question(nullptr, tr("question"), tr("Whether to delete!"), QMessageBox::Yes | QMessageBox::Cancel,
                             QMessageBox::Yes)
        != QMessageBox::Yes)
        return;
    // "can not be restored, \n may cause" (blank after the line break included) is the program's own wording, kept.
    if (MessageBox::question(nullptr, tr("question"),
                             tr("After deleting the data can not be restored, \n may cause serious consequences, "
                                "whether or not to delete the serial number"),
                             QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Yes)
        != QMessageBox::Yes)
        return;
    // A used identifier is in a device: deleting it cannot take it back from there. Whoever
    // deletes is told what it means and asked again.
    int used = 0;
    for (int row = 0; row < table->rowCount() && row < pageRecords.size(); ++row) {
        const QTableWidgetItem *item = table->item(row, ColNo);
        if (!item)
            break;
        if (item->checkState() == Qt::Checked && pageRecords.at(row).isUse == SerialUsed)
            ++used;
    }
    if (used > 0
        && MessageBox::question(nullptr, tr("question"),
                                tr("%1 of the checked serial numbers have been burnt into devices. The devices keep "
                                   "them; the pool keeps them on record as retired and never issues them again, and "
                                   "they no longer count among the used ones. Delete them?")
                                    .arg(used),
                                QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel)
            != QMessageBox::Yes)
        return;

    // The table is left alone during the pass so the row indices stay valid; each
    // deletion is logged before it happens. Deleting retires: the value leaves the pool
    // and this page, and stays on record so no import stores it again.
    for (int row = 0; row < table->rowCount(); ++row) {
        const QTableWidgetItem *item = table->item(row, ColNo);
        if (!item)
            break;
        if (item->checkState() != Qt::Checked)
            continue;
        // The row's whole value, not the cell's text (which may show it escaped).
        if (row >= pageRecords.size())
            break;
        const QString serialNumber = pageRecords.at(row).serialNumber;
        // "serail" is the program's own spelling of its log texts, kept.
        const jobs::Gated done = jobs::deleteSerialLogged(serialNumber,
                                                          makeLogRecord(tr("Delete serail number"),
                                                                        tr("Delete serail number ") + serialNumber));
        if (done == jobs::Gated::Refused) {
            MessageBox::warning(nullptr, tr("Warning"),
                                tr("Only a supervisor or an administrator may delete serial numbers."),
                                QMessageBox::Ok);
            break;
        }
        if (done == jobs::Gated::LogFailed) {
            MessageBox::critical(nullptr, tr("Error"),
                                 tr("The operation log could not be written, so %1 and the serial numbers after it "
                                    "were not deleted.")
                                         .arg(displayText(serialNumber))
                                     + QStringLiteral("\n\n") + storeError());
            break;
        }
        if (done == jobs::Gated::StoreFailed) {
            MessageBox::critical(nullptr, tr("Error"),
                                 tr("%1 could not be deleted; the serial numbers after it were not deleted either.")
                                         .arg(displayText(serialNumber))
                                     + QStringLiteral("\n\n") + storeError());
            break;
        }
    }

    ui->chkAll->setChecked(false);
    refreshPaging();
}

void Serial::onSerial()
{
    loadPage();
}

void Serial::onPageChange(int index)
{
    // -1 means the selector is empty: there is no page to show.
    if (index < 0)
        return;
    switchPage(index + 1);
}
