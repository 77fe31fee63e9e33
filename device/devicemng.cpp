#include "device/devicemng.h"
#include "ui_devicemng.h"

#include "device/reworkdlg.h"
#include "device/workorderdlg.h"
#include "jobs/devicecalls.h"
#include "store/datastore.h"
#include "store/fixedfield.h"
#include "widgets/displaytext.h"
#include "widgets/loading.h"
#include "widgets/messagebox.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QMutex>
#include <QMutexLocker>
#include <QResizeEvent>
#include <QSet>
#include <QSignalBlocker>
#include <QThreadPool>
#include <QTimerEvent>
#include <QtConcurrent>

#include <algorithm>

#include <memory>

// Result of the last start call. Written on a pool thread while the UI thread waits
// for it, read on the UI thread afterwards.
int discoveryStarted = 0;

namespace {

enum Column {
    ColNo,
    ColType,
    ColSerial,
    ColIp,
    ColUser,
    ColPassword,
    ColUuid,
    ColState,
    ColSortKey,
    ColOnDevice, // what the device reports holding, read back after discovery or a write
    ColumnCount
};

const int kSearchSeconds = 15;
const int kUmeyeCustomerId = 1;

// Pages that may still take discovery reports. A report arrives on the SDK's thread
// and may race with a page being destroyed (when the SDK was not released first), so
// a report is posted only while holding the lock, and the destructor takes its page
// out under the same lock. Never destroyed: an SDK thread may outlive static teardown.
struct LivePages {
    QMutex mutex;
    QSet<const void *> pages;
};

LivePages &livePages()
{
    static LivePages *live = new LivePages;
    return *live;
}

// Rows must not move while a pass writes several cells of one row or walks the rows
// by index; the operator's sort is applied again once the pass is over.
class SortingPause
{
public:
    explicit SortingPause(QTableWidget *paused)
        : table(paused)
        , wasOn(paused->isSortingEnabled())
    {
        if (wasOn)
            table->setSortingEnabled(false);
    }
    ~SortingPause()
    {
        if (wasOn)
            table->setSortingEnabled(true);
    }
    SortingPause(const SortingPause &) = delete;
    SortingPause &operator=(const SortingPause &) = delete;

private:
    QTableWidget *table;
    bool wasOn;
};

const int kNumberAlignment = Qt::AlignRight | Qt::AlignHCenter;

// Data kept with a row's cells besides what they show.
// On a device cell: the text as the device reported it, when the cell shows it escaped.
const int kRawRole = Qt::UserRole;
// On the UUID cell: the customer whose pool the identifier comes from and whose form
// writes it, and whether it is already claimed (pending) for this row's device.
const int kCustomerRole = Qt::UserRole + 1;
const int kPendingRole = Qt::UserRole + 2;
// On the On-device cell: what the pool recorded for the device when it was listed (its
// identifier, used or pending), which the device's own answer is compared with.
const int kPoolUuidRole = Qt::UserRole + 3;
const int kPoolUseRole = Qt::UserRole + 4;

QString hasBeenBurning()
{
    // "Has been burning" is the program's own wording, kept.
    return QCoreApplication::translate("QObject", "Has been burning");
}

} // namespace

void Z7_NETSDK_CALL onDeviceDiscovered(const DiscoveryRecord *record, void *user)
{
    if (!record || !user)
        return;
    // Copies first: the record belongs to the SDK and is gone when this returns.
    const DeviceMng::Device device{fixedfield::get(record->deviceIp), fixedfield::get(record->serialNumber),
                                   fixedfield::get(record->userName), fixedfield::get(record->password),
                                   fixedfield::get(record->deviceType)};
    LivePages &live = livePages();
    QMutexLocker lock(&live.mutex);
    if (!live.pages.contains(user))
        return;
    auto *page = static_cast<DeviceMng *>(user);
    // Queued: the table and the store belong to the UI thread. A call still queued when
    // the page dies is dropped with the page's posted events.
    QMetaObject::invokeMethod(
        page, [page, device] { page->addDevice(device); }, Qt::QueuedConnection);
}

void startDiscovery()
{
    discoveryStarted = Z7_NET_DVR_StartDiscoveryIPC();
}

DeviceMng::DeviceMng(QWidget *parent)
    : QWidget(parent)
    , searchCountdown(kSearchSeconds)
    , ui(new Ui::DeviceMng)
    , typeFilter()
    , burnCustomerId(kUmeyeCustomerId)
{
    ui->setupUi(this);

    {
        LivePages &live = livePages();
        QMutexLocker lock(&live.mutex);
        live.pages.insert(this);
    }
    Z7_NET_DVR_SetDiscoveryCallBack(onDeviceDiscovered, this);

    ui->btnStop->setEnabled(false);
    ui->cbxType->addItems({tr("All"), tr("DVR"), tr("NVR"), tr("IPC")});
    ui->cbxCustomer->addItems({tr("UMEYE"), tr("Brisvan")});
    setupTable();
    ui->btnBurn->setEnabled(false);
    applyRole();

    connect(ui->cbxAll, &QCheckBox::stateChanged, this, &DeviceMng::onCheckBoxSelAll);
    connect(ui->tableWidget, &QTableWidget::itemClicked, this, &DeviceMng::itemClicked);

    // Shown during a Burn pass, which may wait seconds on each unplugged device.
    loading = new Loading(this);

    burnJob = std::make_unique<jobs::BurnJob>();

    // Each read may wait its whole timeout on a device that does not answer; a few at once
    // keep a long line from queueing behind one.
    readers = std::make_unique<QThreadPool>();
    readers->setMaxThreadCount(4);
    ui->lblNotVerified->setVisible(!jobs::devicecalls::readBackSupported());
    ui->lblLabelsWaiting->setVisible(false);
    ui->lblLowPool->setVisible(false);
    connect(ui->cbxCustomer, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &DeviceMng::fillOrders);
    connect(ui->cbxOrder, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this] {
        burnJob->setWorkOrder(ui->cbxOrder->currentData().toLongLong());
        refreshStock();
    });
    fillOrders();
}

void DeviceMng::fillOrders()
{
    const qint64 chosen = ui->cbxOrder->currentData().toLongLong();
    const int customerId = ui->cbxCustomer->currentIndex() + 1;
    QList<WorkOrder> orders;
    workOrders(&orders); // none listed when the store cannot answer: burning without an order still works
    const QSignalBlocker quiet(ui->cbxOrder);
    ui->cbxOrder->clear();
    ui->cbxOrder->addItem(tr("No work order"), qint64(0));
    for (const WorkOrder &o : qAsConst(orders))
        if (o.customerId == customerId && (!o.complete() || o.orderId == chosen))
            ui->cbxOrder->addItem(tr("#%1 %2 x %3")
                                      .arg(o.orderId)
                                      .arg(o.quantity)
                                      .arg(o.deviceType.isEmpty() ? tr("any") : displayText(o.deviceType)),
                                  o.orderId);
    ui->cbxOrder->setCurrentIndex(qMax(0, ui->cbxOrder->findData(chosen)));
    burnJob->setWorkOrder(ui->cbxOrder->currentData().toLongLong());
    refreshStock();
}

void DeviceMng::on_btnOrders_clicked()
{
    WorkOrderDlg dialog(this);
    dialog.exec();
    fillOrders();
}

void DeviceMng::setStockInterval(int ms)
{
    stockMs = qMax(1, ms);
    if (stockTimerId) {
        killTimer(stockTimerId);
        stockTimerId = startTimer(stockMs, Qt::CoarseTimer);
    }
}

void DeviceMng::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refreshStock();
    if (!stockTimerId)
        stockTimerId = startTimer(stockMs, Qt::CoarseTimer);
}

void DeviceMng::hideEvent(QHideEvent *event)
{
    if (stockTimerId)
        killTimer(stockTimerId);
    stockTimerId = 0;
    QWidget::hideEvent(event);
}

void DeviceMng::refreshStock()
{
    const int customerId = ui->cbxCustomer->currentIndex() + 1;
    PoolStock stock;
    if (!poolStock(customerId, &stock)) {
        ui->lblStock->setText(tr("Stock unknown: %1").arg(storeError()));
        ui->lblLowPool->setVisible(false);
        return;
    }
    ui->lblStock->setText(tr("%1: %2 unused, %3 pending, %4 used")
                              .arg(ui->cbxCustomer->currentText())
                              .arg(stock.unused)
                              .arg(stock.pending)
                              .arg(stock.used));
    ui->lblLowPool->setVisible(stock.low());
    ui->lblLowPool->setText(tr("Low pool: %1 unused left, warning below %2").arg(stock.unused).arg(stock.warnBelow));

    const qint64 order = ui->cbxOrder->currentData().toLongLong();
    QList<WorkOrder> orders;
    if (order > 0)
        workOrders(&orders);
    const auto it = std::find_if(orders.cbegin(), orders.cend(),
                                 [order](const WorkOrder &o) { return o.orderId == order; });
    ui->lblOrder->setVisible(it != orders.cend());
    if (it != orders.cend())
        ui->lblOrder->setText(it->complete() ? tr("Order %1 complete: %2 used").arg(order).arg(it->used)
                                             : tr("Order %1: %2 used, %3 pending of %4")
                                                   .arg(order)
                                                   .arg(it->used)
                                                   .arg(it->pending)
                                                   .arg(it->quantity));
}

void DeviceMng::setLabelQueue(jobs::LabelQueue *queue)
{
    connect(queue, &jobs::LabelQueue::waitingChanged, this, &DeviceMng::showLabelsWaiting);
    showLabelsWaiting(queue->waiting(), queue->lastError());
}

void DeviceMng::showLabelsWaiting(int count, const QString &why)
{
    ui->lblLabelsWaiting->setVisible(count != 0);
    ui->lblLabelsWaiting->setText(count < 0 ? tr("Labels waiting: unknown")
                                            : tr("%n label(s) waiting", nullptr, count));
    // Why they wait, where the operator can read it in full.
    ui->lblLabelsWaiting->setToolTip(why);
}

DeviceMng::~DeviceMng()
{
    // Only the page's own fields: the SDK and the store may already be released.
    {
        LivePages &live = livePages();
        QMutexLocker lock(&live.mutex);
        live.pages.remove(this);
    }
    // The job closes its store thread's connection, without an event loop: events still
    // queued for the page must not reach it half destroyed.
    burnJob.reset();
    // Reads still running post to this page: they finish first (an SDK already released
    // answers them at once), and what they posted dies with the page.
    readers->clear();
    readers->waitForDone();
    readers.reset();
    delete ui;
}

void DeviceMng::setTickInterval(int ms)
{
    tickMs = qMax(1, ms);
}

void DeviceMng::setupTable()
{
    QTableWidget *t = ui->tableWidget;
    t->setColumnCount(ColumnCount);
    t->setHorizontalHeaderLabels({tr("No."), tr("Type"), tr("SN."), tr("IP"), tr("User Name"), tr("Password"),
                                  tr("UUID"), tr("State"), tr(" "), tr("On device")});
    t->setSelectionBehavior(QAbstractItemView::SelectRows);
    t->setSelectionMode(QAbstractItemView::SingleSelection);
    t->setEditTriggers(QAbstractItemView::NoEditTriggers);
    t->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    t->horizontalHeader()->setMinimumSectionSize(1); // the sort-key column is 1 px wide
    t->horizontalHeader()->setSortIndicatorShown(false);
    t->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    t->verticalHeader()->hide();
    t->setSortingEnabled(false);
}

void DeviceMng::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    QTableWidget *t = ui->tableWidget;
    const int r = qMax(0, t->width() - 500);
    t->setColumnWidth(ColNo, 50);
    t->setColumnWidth(ColType, 150);
    t->setColumnWidth(ColSerial, r * 30 / 100);
    t->setColumnWidth(ColIp, r * 16 / 100);
    t->setColumnWidth(ColUser, r * 12 / 100);
    t->setColumnWidth(ColPassword, r * 12 / 100);
    t->setColumnWidth(ColUuid, r * 30 / 100);
    t->setColumnWidth(ColState, 150);
    t->setColumnWidth(ColSortKey, 1);
    t->setColumnWidth(ColOnDevice, 150);
}

void DeviceMng::on_btnSearch_clicked()
{
    typeFilter = ui->cbxType->currentIndex() > 0 ? ui->cbxType->currentText() : QString();

    QTableWidget *t = ui->tableWidget;
    t->sortByColumn(ColSortKey, Qt::AscendingOrder);
    t->setSortingEnabled(false);
    t->clearContents();
    t->setRowCount(0);

    ui->btnSearch->setText(QString::number(searchCountdown) + tr("s"));
    ui->btnSearch->setEnabled(false);
    ui->btnBurn->setEnabled(false);
    ++readGeneration; // answers to reads of the last search's rows are dropped

    QtConcurrent::run(startDiscovery).waitForFinished();
    searchTimerId = startTimer(tickMs, Qt::CoarseTimer);
}

void DeviceMng::on_btnStop_clicked()
{
    endSearch();
}

void DeviceMng::timerEvent(QTimerEvent *event)
{
    if (stockTimerId != 0 && event->timerId() == stockTimerId) {
        if (!passRunning)
            refreshStock();
        return;
    }
    if (event->timerId() != searchTimerId || searchTimerId == 0) {
        QWidget::timerEvent(event);
        return;
    }
    // The search would end (and sort the table again) under a running pass; it waits.
    if (passRunning)
        return;
    if (discoveryStarted)
        ui->btnStop->setEnabled(true);
    if (searchCountdown) {
        --searchCountdown;
        ui->btnSearch->setText(QString::number(searchCountdown) + tr("s"));
    } else {
        endSearch();
    }
}

void DeviceMng::endSearch()
{
    searchCountdown = kSearchSeconds;
    ui->btnSearch->setText(tr("Search"));
    ui->btnSearch->setEnabled(true);
    ui->btnStop->setEnabled(false);
    if (searchTimerId) {
        killTimer(searchTimerId);
        searchTimerId = 0;
    }
    discoveryStarted = 0;
    Z7_NET_DVR_StopDiscoveryIPC();
    // Column 8 is still the sort key and equal in every row, so the rows keep their order.
    ui->tableWidget->setSortingEnabled(true);
}

void DeviceMng::addDevice(const Device &device)
{
    if (passRunning) {
        waitingReports.append(device);
        return;
    }
    if (!typeFilter.isEmpty() && !device.type.contains(typeFilter, Qt::CaseSensitive))
        return;

    QTableWidget *t = ui->tableWidget;
    // A report after the search ended must fill one row, not chase it through a re-sort.
    SortingPause pause(t);
    const int row = t->rowCount();
    t->insertRow(row);
    fillRow(row, row + 1, device);
}

// A device's row as the pool records the device, and a read of what the device holds.
void DeviceMng::fillRow(int row, int number, const Device &device)
{
    QTableWidget *t = ui->tableWidget;
    const DeviceHolding held = holdingOfDevice(device.serial);
    const bool unreadable = lastStoreCallFailed();
    const bool burnt = held.isUse == SerialUsed;

    auto *numberItem = new QTableWidgetItem(QString::number(number));
    numberItem->setTextAlignment(kNumberAlignment);
    if (burnt)
        numberItem->setFlags(numberItem->flags() & ~Qt::ItemIsUserCheckable);
    else
        numberItem->setCheckState(held.isUse == SerialPending ? Qt::Checked : ui->cbxAll->checkState());
    t->setItem(row, ColNo, numberItem);
    setDeviceCell(row, ColType, device.type);
    setDeviceCell(row, ColSerial, device.serial);
    setDeviceCell(row, ColIp, device.ip);
    setDeviceCell(row, ColUser, device.user);
    setDeviceCell(row, ColPassword, device.password);
    setCell(row, ColUuid, QString());
    setCell(row, ColState, QString());
    if (burnt) {
        setDeviceCell(row, ColUuid, held.serialNumber);
        setCell(row, ColState, hasBeenBurning());
    } else if (held.isUse == SerialPending) {
        // Claimed for this device by a pass that did not finish: one more Burn writes the
        // same identifier (which the device takes as the same write) and records it.
        assign(row, held.serialNumber, held.customerId, true);
    }
    setCell(row, ColSortKey, QString());
    setCell(row, ColOnDevice, QString());
    // Not knowing whether the device holds an identifier is not "it holds none".
    if (unreadable) {
        showUnreadable(row);
        return;
    }
    QTableWidgetItem *onDevice = t->item(row, ColOnDevice);
    onDevice->setData(kPoolUuidRole, held.serialNumber);
    onDevice->setData(kPoolUseRole, held.isUse);
    readDevice(row, device);
}

// Asks the device which identifier it holds, off this thread (and never inside the SDK's
// callback); the answer comes back queued to this thread.
void DeviceMng::readDevice(int row, const Device &device)
{
    if (!jobs::devicecalls::readBackSupported())
        return;
    const int generation = readGeneration;
    QtConcurrent::run(readers.get(), [this, row, device, generation] {
        const jobs::devicecalls::ReadBack back = jobs::devicecalls::readBack(device.serial, device.user,
                                                                             device.password);
        QMetaObject::invokeMethod(
            this, [this, row, device, generation, back] { showOnDevice(row, device.serial, generation, back); },
            Qt::QueuedConnection);
    });
}

// What a device reported holding, in its rows of the current search; a device that holds
// something other than what the pool records for it is flagged in its row.
void DeviceMng::showOnDevice(int listedAt, const QString &serial, int generation,
                             const jobs::devicecalls::ReadBack &back)
{
    // Answers from before a new search or a Burn pass say nothing about the rows now.
    if (generation != readGeneration || back.result != jobs::devicecalls::ReadBack::Reported)
        return;
    QTableWidget *t = ui->tableWidget;
    SortingPause pause(t);
    // The row it was listed on, unless the operator sorted the table since.
    QList<int> rows;
    if (deviceText(listedAt, ColSerial) == serial) {
        rows << listedAt;
    } else {
        const int listed = listedRows();
        for (int row = 0; row < listed; ++row)
            if (deviceText(row, ColSerial) == serial)
                rows << row;
    }
    for (const int row : qAsConst(rows)) {
        QTableWidgetItem *onDevice = t->item(row, ColOnDevice);
        if (!onDevice || !onDevice->data(kPoolUseRole).isValid())
            continue;
        setDeviceCell(row, ColOnDevice, back.uuid);
        const QString pool = onDevice->data(kPoolUuidRole).toString();
        const int use = onDevice->data(kPoolUseRole).toInt();
        // Pending: a device reporting nothing was not written yet (or lost the write), which
        // the next Burn mends; anything else it reports is not what the pool holds for it.
        const bool agrees = back.uuid == pool || (use == SerialPending && back.uuid.isEmpty());
        if (agrees)
            continue;
        QString why;
        if (pool.isEmpty())
            why = tr("The device reports uuid [%1]; the pool records none for it").arg(displayText(back.uuid));
        else if (back.uuid.isEmpty())
            why = tr("The device reports no uuid; the pool records [%1] for it").arg(displayText(pool));
        else
            why = tr("The device reports uuid [%1]; the pool records [%2] for it")
                      .arg(displayText(back.uuid), displayText(pool));
        setCell(row, ColState, tr("Device disagrees"));
        t->item(row, ColState)->setToolTip(why);
        t->item(row, ColOnDevice)->setToolTip(why);
    }
}

// A row whose device the pool could not be looked up for: nothing to tick, nothing to burn,
// until a search finds the pool answering again.
void DeviceMng::showUnreadable(int row)
{
    QTableWidgetItem *number = ui->tableWidget->item(row, ColNo);
    number->setData(Qt::CheckStateRole, QVariant());
    number->setFlags(number->flags() & ~Qt::ItemIsUserCheckable);
    clearAssignment(row);
    setCell(row, ColState, tr("The pool could not be read"));
}

void DeviceMng::setCell(int row, int column, const QString &text)
{
    if (QTableWidgetItem *item = ui->tableWidget->item(row, column))
        item->setText(text);
    else
        ui->tableWidget->setItem(row, column, new QTableWidgetItem(text));
}

QString DeviceMng::cellText(int row, int column) const
{
    const QTableWidgetItem *item = ui->tableWidget->item(row, column);
    return item ? item->text() : QString();
}

void DeviceMng::setDeviceCell(int row, int column, const QString &text)
{
    const QString shown = displayText(text);
    setCell(row, column, shown);
    ui->tableWidget->item(row, column)->setData(kRawRole, shown == text ? QVariant() : QVariant(text));
}

QString DeviceMng::deviceText(int row, int column) const
{
    const QTableWidgetItem *item = ui->tableWidget->item(row, column);
    if (!item)
        return QString();
    const QVariant raw = item->data(kRawRole);
    return raw.isValid() ? raw.toString() : item->text();
}

int DeviceMng::listedRows() const
{
    const QTableWidget *t = ui->tableWidget;
    int rows = 0;
    while (rows < t->rowCount() && t->item(rows, ColNo))
        ++rows;
    return rows;
}

// A cell without a check box counts as unchecked.
bool DeviceMng::isChecked(int row) const
{
    const QTableWidgetItem *item = ui->tableWidget->item(row, ColNo);
    return item && item->data(Qt::CheckStateRole).isValid() && item->checkState() == Qt::Checked;
}

static bool hasCheckBox(const QTableWidget *table, int row)
{
    const QTableWidgetItem *item = table->item(row, ColNo);
    return item && item->data(Qt::CheckStateRole).isValid();
}

// Assigned by Match (or pending from an earlier pass) and not yet burnt.
bool DeviceMng::isReady(int row) const
{
    const QTableWidgetItem *item = ui->tableWidget->item(row, ColUuid);
    return item && item->data(kCustomerRole).isValid();
}

bool DeviceMng::isPending(int row) const
{
    const QTableWidgetItem *item = ui->tableWidget->item(row, ColUuid);
    return item && item->data(kPendingRole).toBool();
}

void DeviceMng::assign(int row, const QString &uuid, int customerId, bool pending)
{
    setDeviceCell(row, ColUuid, uuid);
    QTableWidgetItem *cell = ui->tableWidget->item(row, ColUuid);
    cell->setData(kCustomerRole, customerId);
    cell->setData(kPendingRole, pending);
    setCell(row, ColState, tr("Ready to burn"));
    ui->btnBurn->setEnabled(true);
}

void DeviceMng::clearAssignment(int row)
{
    // Only the row forgets: an identifier already claimed for the device stays pending for
    // it in the pool, and the next search lists the device with it again.
    setCell(row, ColUuid, QString());
    if (QTableWidgetItem *cell = ui->tableWidget->item(row, ColUuid)) {
        cell->setData(kRawRole, QVariant());
        cell->setData(kCustomerRole, QVariant());
        cell->setData(kPendingRole, QVariant());
    }
    setCell(row, ColState, QString());
}

void DeviceMng::onCheckBoxSelAll(int state)
{
    SortingPause pause(ui->tableWidget);
    const int rows = listedRows();
    bool unreadable = false;
    for (int row = 0; row < rows; ++row) {
        // Burnt rows and rows the pool could not be read for have no box to tick.
        if (!hasCheckBox(ui->tableWidget, row))
            continue;
        // Once the pool failed to answer, the other rows are not asked again (each question
        // to a hung server costs the store's whole wait).
        const DeviceHolding held = unreadable ? DeviceHolding() : holdingOfDevice(deviceText(row, ColSerial));
        unreadable = unreadable || lastStoreCallFailed();
        if (unreadable) {
            showUnreadable(row);
            continue;
        }
        if (held.isUse == SerialUsed)
            continue;
        ui->tableWidget->item(row, ColNo)->setCheckState(Qt::CheckState(state));
        if (state == Qt::Unchecked)
            clearAssignment(row);
    }
}

void DeviceMng::itemClicked(QTableWidgetItem *item)
{
    if (!item)
        return;
    SortingPause pause(ui->tableWidget);
    const int row = item->row();
    if (!isChecked(row))
        clearAssignment(row);
}

void DeviceMng::on_btnMatch_clicked()
{
    SortingPause pause(ui->tableWidget);
    const int rows = listedRows();
    refreshStock();

    // Burn writes every ready row with the customer of the last Match, so identifiers of
    // another customer must not stay ready once the customer changes.
    // Identifiers already claimed for their device keep their own customer and stay.
    const int customerId = ui->cbxCustomer->currentIndex() + 1;
    if (customerId != burnCustomerId)
        for (int row = 0; row < rows; ++row)
            if (isReady(row) && !isPending(row))
                clearAssignment(row);
    burnCustomerId = customerId;

    int checked = 0;
    QSet<QString> shown;
    // A device listed on two rows must not get two identifiers: devices already burnt
    // or already holding an assignment are taken.
    QSet<QString> taken;
    for (int row = 0; row < rows; ++row) {
        if (isChecked(row))
            ++checked;
        // A device that holds a pending identifier (its row was unticked since the search,
        // which forgets the assignment) gets that one back: it must not be offered another.
        if (isChecked(row) && cellText(row, ColUuid).isEmpty()) {
            const DeviceHolding held = holdingOfDevice(deviceText(row, ColSerial));
            if (lastStoreCallFailed()) {
                matchFailed();
                return;
            }
            if (held.isUse == SerialPending)
                assign(row, held.serialNumber, held.customerId, true);
        }
        const QString uuid = deviceText(row, ColUuid);
        if (!uuid.isEmpty())
            shown.insert(uuid);
        if (!uuid.isEmpty() || !hasCheckBox(ui->tableWidget, row))
            taken.insert(deviceText(row, ColSerial));
    }
    if (checked == 0)
        return;

    // Whole values, not records: a record's field could cut a long value into another one.
    const QStringList fetched = unusedSerialNumbers(checked, burnCustomerId);
    if (lastStoreCallFailed()) {
        matchFailed();
        return;
    }
    int next = 0; // rows above it are all assigned or not eligible
    for (const QString &serial : fetched) {
        if (serial.isEmpty() || shown.contains(serial))
            continue;
        for (; next < rows; ++next) {
            if (!isChecked(next) || !cellText(next, ColUuid).isEmpty())
                continue;
            const QString device = deviceText(next, ColSerial);
            if (taken.contains(device))
                continue;
            assign(next, serial, burnCustomerId, false);
            shown.insert(serial);
            taken.insert(device);
            ++next;
            break;
        }
    }

    // A line must not run dry unseen: say how many checked devices got nothing, and what
    // the pool has left once the rows' identifiers are burnt.
    QSet<QString> without;
    int offered = 0;
    for (int row = 0; row < rows; ++row) {
        if (isReady(row) && !isPending(row))
            ++offered;
        const QString device = deviceText(row, ColSerial);
        if (isChecked(row) && cellText(row, ColUuid).isEmpty() && !taken.contains(device))
            without.insert(device);
    }
    if (without.isEmpty())
        return;
    const int unused = countSerials({burnCustomerId, SerialUnused, QString()})
        + countSerials({burnCustomerId, SerialReleased, QString()});
    if (lastStoreCallFailed()) {
        matchFailed();
        return;
    }
    MessageBox::warning(nullptr, tr("Warning"),
                        tr("%1 checked device(s) got no uuid: %2 has %3 unused uuid(s) left.")
                            .arg(without.size())
                            .arg(ui->cbxCustomer->currentText())
                            .arg(qMax(0, unused - offered)));
}

void DeviceMng::markBurnt(const jobs::BurnRow &r)
{
    QTableWidget *t = ui->tableWidget;
    const int row = r.key;
    t->removeRow(row);
    t->insertRow(row);
    auto *number = new QTableWidgetItem(QString::number(row + 1));
    number->setTextAlignment(kNumberAlignment);
    number->setFlags(number->flags() & ~Qt::ItemIsUserCheckable);
    t->setItem(row, ColNo, number);
    const QStringList texts{r.type, r.serial, r.ip, r.user, r.password, r.uuid};
    for (int column = ColType; column <= ColUuid; ++column)
        setDeviceCell(row, column, texts.at(column - ColType));
    t->setItem(row, ColState, new QTableWidgetItem(hasBeenBurning()));
    // A sort-key cell like every other row's: the table puts rows without one last
    // when it sorts again, which would move the burnt device away from its place.
    t->setItem(row, ColSortKey, new QTableWidgetItem(QString()));
    // Recorded used only once the device reported it back (where the SDK can read).
    setDeviceCell(row, ColOnDevice, jobs::devicecalls::readBackSupported() ? r.uuid : QString());
}

jobs::BurnRow DeviceMng::readRow(int row) const
{
    jobs::BurnRow r;
    r.key = row;
    r.type = deviceText(row, ColType);
    r.serial = deviceText(row, ColSerial);
    r.ip = deviceText(row, ColIp);
    r.user = deviceText(row, ColUser);
    r.password = deviceText(row, ColPassword);
    r.uuid = deviceText(row, ColUuid);
    const QTableWidgetItem *uuidCell = ui->tableWidget->item(row, ColUuid);
    const QVariant customer = uuidCell ? uuidCell->data(kCustomerRole) : QVariant();
    r.customerId = customer.isValid() ? customer.toInt() : burnCustomerId;
    r.pending = isPending(row);
    return r;
}

QString DeviceMng::stopText(const jobs::BurnStop &stop) const
{
    const jobs::BurnRow &r = stop.row;
    switch (stop.cause) {
    case jobs::BurnStop::ClaimFailed:
        return tr("Burning stopped: the pool could not record that uuid [%2] goes to device [%1], so it was not "
                  "written. Nothing more is written in this pass.")
            .arg(r.serial, r.uuid);
    case jobs::BurnStop::RecordFailed:
        return tr("Burning stopped: device [%1] holds uuid [%2], but the pool could not record it as used. "
                  "It stays pending for this device; the next Burn finishes it. Nothing more is written in this "
                  "pass.")
            .arg(r.serial, r.uuid);
    case jobs::BurnStop::NotPending:
        return tr("Burning stopped: device [%1] holds uuid [%2], but the pool no longer holds it pending for this "
                  "device (deleted or taken meanwhile), so it could not be recorded as used. Look it up on the "
                  "Serial page. Nothing more is written in this pass.")
            .arg(r.serial, r.uuid);
    case jobs::BurnStop::LogFailed:
        return tr("Burning stopped: the operation log could not be written. Nothing more is written in this pass.");
    case jobs::BurnStop::ReadFailed:
        return tr("Burning stopped: the pool could not be read. Nothing more is written in this pass.");
    case jobs::BurnStop::None:
        break;
    }
    return QString();
}

QString DeviceMng::summary(const jobs::BurnSummary &done)
{
    QStringList lines;
    lines << tr("%n device(s) burnt", nullptr, done.burnt);
    // Said only when some write failed: "0 write(s) failed" read like a warning.
    if (done.failed > 0)
        lines << tr("%n write(s) failed: each uuid stays pending for its device, the next Burn tries it again", nullptr,
                    done.failed);
    if (done.notConfirmed > 0)
        lines << tr("%n written but not confirmed: the device did not report its uuid back, which stays pending "
                    "for it; the next Burn writes and reads it again",
                    nullptr, done.notConfirmed);
    if (!done.verified)
        lines << tr("Writes are not verified: this SDK cannot read identifiers back");
    for (const auto &skipped : done.skipped)
        lines << tr("%n skipped: %1", nullptr, skipped.second).arg(jobs::BurnJob::skipText(skipped.first));
    return lines.join(QLatin1Char('\n'));
}

void DeviceMng::matchFailed()
{
    const QString why = storeError();
    const QString text = tr("Nothing was assigned: the pool could not be read.");
    MessageBox::critical(nullptr, tr("Error"), why.isEmpty() ? text : text + QStringLiteral("\n\n") + why);
}

// The table's side of a pass: each event of the job becomes the state of its row.
class DeviceMng::PassView : public jobs::BurnListener
{
public:
    explicit PassView(DeviceMng *shown)
        : page(shown)
    {
    }
    void progress(qint64 done, qint64 total) override
    {
        if (done == 0)
            page->loading->start();
        page->loading->setProgress(DeviceMng::tr("%1 of %2 devices").arg(done + 1).arg(total));
    }
    void claimed(const jobs::BurnRow &r) override
    {
        // Claimed: from here on the row stands for a pending identifier of this device
        // (another one than shown when a station sharing the server took that first).
        if (page->deviceText(r.key, ColUuid) != r.uuid)
            page->assign(r.key, r.uuid, r.customerId, false);
        if (QTableWidgetItem *cell = page->ui->tableWidget->item(r.key, ColUuid)) {
            cell->setData(kPendingRole, true);
            cell->setData(kCustomerRole, r.customerId);
        }
    }
    void writeFailed(const jobs::BurnRow &r, int) override
    {
        page->setCell(r.key, ColState, DeviceMng::tr("Write failed"));
    }
    void notConfirmed(const jobs::BurnRow &r, const QString &reported) override
    {
        // Still checked and pending: the next Burn writes and reads it again.
        page->setCell(r.key, ColState, DeviceMng::tr("Written, not confirmed"));
        page->setDeviceCell(r.key, ColOnDevice, reported);
    }
    void recorded(const jobs::BurnRow &r) override { page->markBurnt(r); }
    void skipped(const jobs::BurnRow &r, const jobs::BurnSkip &why) override
    {
        // Another program got there first: the device is left for the next Match.
        if (why.reason == jobs::BurnSkip::Taken || why.reason == jobs::BurnSkip::DeviceHolds)
            page->clearAssignment(r.key);
    }

private:
    DeviceMng *page;
};

void DeviceMng::on_btnBurn_clicked()
{
    QTableWidget *t = ui->tableWidget;
    SortingPause pause(t);

    // Devices that must not get an identifier in this pass: those already burnt (or whose
    // holding the pool could not tell). A failed write may still have reached the device, so
    // the job does not try a second row of a device it wrote or tried either.
    QSet<QString> excluded;
    QList<jobs::BurnRow> ready;
    for (int row = 0; row < t->rowCount(); ++row) {
        if (t->item(row, ColNo) && !hasCheckBox(t, row))
            excluded.insert(deviceText(row, ColSerial));
        if (isChecked(row) && !cellText(row, ColUuid).isEmpty())
            ready.append(readRow(row));
    }

    passRunning = true;
    ++readGeneration; // what devices reported before the pass is no longer news
    PassView view(this);
    const jobs::BurnSummary done = burnJob->run(ready, excluded, &view);
    loading->stop();

    // Every pass that had something to do says what it did; a stopped one says why first.
    if (done.refused) {
        MessageBox::critical(nullptr, tr("Error"),
                             tr("Burning refused: the pool cannot promise that what it records survives a "
                                "crash, so nothing is written.\n\n%1")
                                 .arg(done.refusal));
    } else if (done.stop.cause != jobs::BurnStop::None) {
        QString text = stopText(done.stop);
        if (!done.stop.why.isEmpty())
            text += QStringLiteral("\n\n") + done.stop.why;
        MessageBox::critical(nullptr, tr("Error"), text + QStringLiteral("\n\n") + summary(done));
    } else if (!ready.isEmpty()) {
        MessageBox::information(nullptr, tr("Information"), summary(done));
    }
    passRunning = false;
    refreshStock();

    const QList<Device> reports = waitingReports;
    waitingReports.clear();
    for (const Device &device : reports)
        addDevice(device);

    emit sendOnSerial();
}

void DeviceMng::applyRole()
{
    ui->btnRework->setVisible(signedInMay(Role::Supervisor));
}

void DeviceMng::on_btnRework_clicked()
{
    const int row = ui->tableWidget->currentRow();
    if (row < 0 || row >= listedRows() || passRunning) {
        MessageBox::warning(nullptr, tr("Warning"), tr("Please select a device!"));
        return;
    }
    const jobs::BurnRow r = readRow(row);
    ReworkDlg dialog({r.type, r.serial, r.ip, r.user, r.password}, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    // The row shows what the pool now records for the device and what the device holds.
    if (row < listedRows() && deviceText(row, ColSerial) == r.serial) {
        SortingPause pause(ui->tableWidget);
        fillRow(row, cellText(row, ColNo).toInt(), {r.ip, r.serial, r.user, r.password, r.type});
    }
    emit sendOnSerial();
}
