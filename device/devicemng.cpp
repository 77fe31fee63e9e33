#include "device/devicemng.h"
#include "ui_devicemng.h"

#include "store/datastore.h"
#include "store/fixedfield.h"
#include "widgets/displaytext.h"
#include "widgets/loading.h"
#include "widgets/messagebox.h"

#include <arpa/inet.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QHeaderView>
#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QResizeEvent>
#include <QSet>
#include <QThreadPool>
#include <QTimerEvent>
#include <QtConcurrent>

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

// A device's address as it reports it must be an IPv4 or IPv6 address before it is stored
// as the address of the device that holds an identifier.
bool isAddress(const QString &ip)
{
    const QByteArray bytes = ip.toLatin1();
    if (ip.isEmpty() || ip.size() != bytes.size())
        return false;
    unsigned char buffer[16];
    return inet_pton(AF_INET, bytes.constData(), buffer) == 1 || inet_pton(AF_INET6, bytes.constData(), buffer) == 1;
}

QString hasBeenBurning()
{
    // "Has been burning" is the program's own wording, kept.
    return QCoreApplication::translate("QObject", "Has been burning");
}

// A value quoted in a log text, kept within maxBytes of UTF-8; a longer one is shortened
// on a character boundary and visibly marked, so the entry still fits its record.
QString quoted(const QString &value, int maxBytes)
{
    const QByteArray utf8 = value.toUtf8();
    if (utf8.size() <= maxBytes)
        return value;
    return QString::fromUtf8(utf8.left(fixedfield::cutLength(utf8, std::size_t(maxBytes)))) + QStringLiteral("...");
}

// Runs `call` on `pool` (the global pool when null) and waits for its answer while the
// window keeps painting; no operator input is taken meanwhile.
template <typename F>
auto waitOffThread(QThreadPool *pool, F call) -> decltype(call())
{
    using T = decltype(call());
    QFutureWatcher<T> watcher;
    QEventLoop loop;
    QObject::connect(&watcher, &QFutureWatcher<T>::finished, &loop, &QEventLoop::quit);
    watcher.setFuture(pool ? QtConcurrent::run(pool, call) : QtConcurrent::run(call));
    if (!watcher.isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    return watcher.result();
}

// Both request forms share the widths of the fields they have in common.
static_assert(sizeof(UmeyeUuidRequest::serialNumber) == sizeof(LenovoUuidRequest::serialNumber), "widths");
static_assert(sizeof(UmeyeUuidRequest::userName) == sizeof(LenovoUuidRequest::userName), "widths");
static_assert(sizeof(UmeyeUuidRequest::password) == sizeof(LenovoUuidRequest::password), "widths");
static_assert(sizeof(UmeyeUuidRequest::uuidKind) == sizeof(LenovoUuidRequest::uuidKind), "widths");
static_assert(sizeof(UmeyeUuidRequest::uuid) == sizeof(LenovoUuidRequest::uuid), "widths");

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

    connect(ui->cbxAll, &QCheckBox::stateChanged, this, &DeviceMng::onCheckBoxSelAll);
    connect(ui->tableWidget, &QTableWidget::itemClicked, this, &DeviceMng::itemClicked);

    // Shown during a Burn pass, which may wait seconds on each unplugged device.
    loading = new Loading(this);

    storeThread = new QThreadPool(this);
    storeThread->setMaxThreadCount(1);
    storeThread->setExpiryTimeout(-1);
}

DeviceMng::~DeviceMng()
{
    // Only the page's own fields: the SDK and the store may already be released.
    {
        LivePages &live = livePages();
        QMutexLocker lock(&live.mutex);
        live.pages.remove(this);
    }
    // The store thread's connection is the page's own. No event loop here: events still
    // queued for the page must not reach it half destroyed.
    if (storeOpened)
        QtConcurrent::run(storeThread, [] { closeStoreForThisThread(); }).waitForFinished();
    storeThread->waitForDone();
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
                                  tr("UUID"), tr("State"), tr(" ")});
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
    const int r = qMax(0, t->width() - 350);
    t->setColumnWidth(ColNo, 50);
    t->setColumnWidth(ColType, 150);
    t->setColumnWidth(ColSerial, r * 30 / 100);
    t->setColumnWidth(ColIp, r * 16 / 100);
    t->setColumnWidth(ColUser, r * 12 / 100);
    t->setColumnWidth(ColPassword, r * 12 / 100);
    t->setColumnWidth(ColUuid, r * 30 / 100);
    t->setColumnWidth(ColState, 150);
    t->setColumnWidth(ColSortKey, 1);
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

    QtConcurrent::run(startDiscovery).waitForFinished();
    searchTimerId = startTimer(tickMs, Qt::CoarseTimer);
}

void DeviceMng::on_btnStop_clicked()
{
    endSearch();
}

void DeviceMng::timerEvent(QTimerEvent *event)
{
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
    const DeviceHolding held = holdingOfDevice(device.serial);
    const bool unreadable = lastStoreCallFailed();
    const bool burnt = held.isUse == SerialUsed;

    auto *number = new QTableWidgetItem(QString::number(row + 1));
    number->setTextAlignment(kNumberAlignment);
    if (burnt)
        number->setFlags(number->flags() & ~Qt::ItemIsUserCheckable);
    else
        number->setCheckState(held.isUse == SerialPending ? Qt::Checked : ui->cbxAll->checkState());
    t->setItem(row, ColNo, number);
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
    // Not knowing whether the device holds an identifier is not "it holds none".
    if (unreadable)
        showUnreadable(row);
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

bool DeviceMng::isReady(int row) const
{
    return cellText(row, ColState) == tr("Ready to burn");
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
}

QString DeviceMng::logType()
{
    // The record's type field is 32 bytes; a translation that does not fit falls back to
    // the source text rather than being cut.
    const QString type = tr("User operation");
    return fixedfield::fitsWithNul(type.toUtf8(), sizeof(LogRecord::logType)) ? type : QStringLiteral("User operation");
}

namespace {

// A log text about one device and identifier: `translated` (%1 and %2 for them, %3 for
// `detail`), or its `source` when the translation does not fit. The values may be what made
// the row unwritable, so they may be long: each is quoted within 48 bytes (marked when
// shortened), which keeps the entry inside its record.
QString outcomeText(const QString &translated, const char *source, const QString &deviceSerial, const QString &uuid,
                    const QString &detail)
{
    const QString serialText = quoted(deviceSerial, 48);
    const QString uuidText = quoted(uuid, 48);
    const QString describe = translated.arg(serialText, uuidText, detail);
    if (fixedfield::fitsWithNul(describe.toUtf8(), sizeof(LogRecord::logDescribe)))
        return describe;
    return QString::fromLatin1(source).arg(serialText, uuidText, quoted(detail, 100));
}

} // namespace

bool DeviceMng::logSkipped(const QString &deviceSerial, const QString &uuid, const QString &reason)
{
    const char *source = QT_TR_NOOP("Burning uuid [%1] [%2] skipped: %3");
    return addLog(makeLogRecord(logType(), outcomeText(tr(source), source, deviceSerial, uuid, reason)));
}

// The SDK's answer is all it says about a write that did not take: not written, or no answer.
bool DeviceMng::logWriteFailed(const QString &deviceSerial, const QString &uuid, int answer)
{
    const char *source = QT_TR_NOOP("Burning uuid [%1] [%2] write failed: the SDK answered %3");
    return addLog(
        makeLogRecord(logType(), outcomeText(tr(source), source, deviceSerial, uuid, QString::number(answer))));
}

void DeviceMng::markBurnt(int row, const QStringList &texts)
{
    QTableWidget *t = ui->tableWidget;
    t->removeRow(row);
    t->insertRow(row);
    auto *number = new QTableWidgetItem(QString::number(row + 1));
    number->setTextAlignment(kNumberAlignment);
    number->setFlags(number->flags() & ~Qt::ItemIsUserCheckable);
    t->setItem(row, ColNo, number);
    for (int column = ColType; column <= ColUuid; ++column)
        setDeviceCell(row, column, texts.at(column - ColType));
    t->setItem(row, ColState, new QTableWidgetItem(hasBeenBurning()));
    // A sort-key cell like every other row's: the table puts rows without one last
    // when it sorts again, which would move the burnt device away from its place.
    t->setItem(row, ColSortKey, new QTableWidgetItem(QString()));
}

DeviceMng::BurnRow DeviceMng::readRow(int row) const
{
    BurnRow r;
    r.row = row;
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

// Why a ready row must not be written in this pass; empty when it may be.
QString DeviceMng::skipReason(const BurnRow &r, const CustomerRecord *customer, const QSet<QString> &written) const
{
    // Every text must fit its request field with its NUL; nothing is ever cut.
    const UmeyeUuidRequest umeye{};
    const bool umeyeForm = r.customerId == kUmeyeCustomerId;
    const QString kind = customer ? fixedfield::get(customer->customerValue) : QString();
    const QString host = customer ? fixedfield::get(customer->hostAddr) : QString();
    const QString describe = tr("Burning uuid [%1] [%2]").arg(r.serial, r.uuid);
    if (!customer)
        return tr("no customer %1").arg(r.customerId);
    if (!fixedfield::fits(umeye.uuid, r.uuid))
        return tr("uuid too long");
    if (!fixedfield::fits(umeye.serialNumber, r.serial))
        return tr("device serial number too long");
    if (!fixedfield::fits(umeye.userName, r.user))
        return tr("user name too long");
    if (!fixedfield::fits(umeye.password, r.password))
        return tr("password too long");
    if (umeyeForm && !fixedfield::fits(umeye.hostAddr, host))
        return tr("host address too long");
    if (!fixedfield::fits(umeye.uuidKind, kind))
        return tr("uuid kind too long");
    if (umeyeForm && (customer->port < 0 || customer->port > 0xFFFF))
        return tr("port %1 out of range").arg(customer->port);
    if (!fixedfield::fitsWithNul(describe.toUtf8(), sizeof(LogRecord::logDescribe)))
        return tr("log text too long");
    if (!isAddress(r.ip))
        return tr("device IP is not an address");
    if (written.contains(r.serial))
        return tr("device already burnt or tried in this pass");
    return QString();
}

// On the store thread: its own connection, opened on first use. A failed open is tried again
// at the next step.
bool DeviceMng::openStore()
{
    if (!storeOpened)
        storeOpened = openStoreForThisThread();
    return storeOpened;
}

// Pending -> used for a device that took its identifier, inside the open batch. When nothing
// changed, the pool is asked what it holds for the device: another station finishing the same
// pending device may have recorded it first, and then it is burnt, not "still pending".
DeviceMng::Mark DeviceMng::markInStore(const BurnRow &r, QString *stop, QString *why)
{
    if (markSerialUsed(r.uuid, r.serial, r.type, r.ip))
        return Mark::Recorded;
    *why = storeError();
    const DeviceHolding held = holdingOfDevice(r.serial);
    if (lastStoreCallFailed()) {
        *stop = recordFailure(r);
        return Mark::Failed;
    }
    if (held.serialNumber == r.uuid && held.isUse == SerialUsed)
        return Mark::AlreadyUsed;
    *stop = held.serialNumber == r.uuid && held.isUse == SerialPending ? recordFailure(r) : notPendingFailure(r);
    return Mark::Failed;
}

// Records, in one commit, that the row's identifier goes to the row's device (unused ->
// pending) together with the "Burning uuid" log row; the previous success's "used" mark
// shares the commit. Nothing is written to a device unless this committed.
DeviceMng::ClaimAnswer DeviceMng::claimInStore(const BurnRow &r, const BurnRow &previous)
{
    ClaimAnswer a;
    // When the batch fails, the previous device's mark fails with it: that device holds
    // its identifier, pending, which is the more important thing to say.
    const auto fail = [&](const QString &text) {
        if (a.why.isEmpty())
            a.why = storeError();
        rollbackBatch(); // also ends a batch whose connection was lost
        if (a.stop.isEmpty())
            a.stop = previous.row >= 0 && !a.previousBurnt ? recordFailure(previous) : text;
        return a;
    };
    if (!openStore() || !beginBatch())
        return fail(claimFailure(r));
    if (previous.row >= 0) {
        const Mark mark = markInStore(previous, &a.stop, &a.why);
        if (mark == Mark::Failed)
            return fail(a.stop);
        // Another station's commit made it used; it stays so whatever becomes of this batch.
        a.previousBurnt = mark == Mark::AlreadyUsed;
    }
    a.claimed = ClaimResult::Claimed;
    if (r.pending) {
        // Claimed by an earlier pass: it must still be pending for this very device (the
        // operator may have deleted it from the pool since).
        const DeviceHolding held = holdingOfDevice(r.serial);
        if (lastStoreCallFailed())
            a.claimed = ClaimResult::Failed;
        else if (held.isUse != SerialPending || held.serialNumber != r.uuid)
            a.claimed = ClaimResult::Taken;
    } else {
        a.claimed = claimSerial(r.uuid, r.customerId, r.serial, r.type, r.ip);
        // Stations sharing a pool on a server take the customer's next free identifier when
        // another station took the one shown; the row then shows what goes into the device.
        if (a.claimed == ClaimResult::Taken && storeIsServer())
            a.claimed = claimNextSerial(r.customerId, r.serial, r.type, r.ip, &a.instead);
    }
    if (a.claimed == ClaimResult::Failed)
        return fail(claimFailure(r));
    if (a.claimed != ClaimResult::Claimed) {
        // Another program got there first: the previous mark still goes in, and the device is
        // left for the next Match.
        if (!commitBatch())
            return fail(claimFailure(r));
        a.committed = true;
        a.previousBurnt = previous.row >= 0;
        a.skipped = a.claimed == ClaimResult::Taken ? tr("uuid taken by another program")
                                                    : tr("device already holds a uuid");
        if (!logSkipped(r.serial, r.uuid, a.skipped)) {
            a.stop = logFailure();
            a.why = storeError();
        }
        return a;
    }
    const QString uuid = a.instead.isEmpty() ? r.uuid : a.instead;
    if (!addLog(makeLogRecord(logType(), tr("Burning uuid [%1] [%2]").arg(r.serial, uuid))) || !commitBatch())
        return fail(claimFailure(r));
    a.committed = true;
    a.previousBurnt = previous.row >= 0;
    return a;
}

// The last success's mark, in a batch of its own.
DeviceMng::RecordAnswer DeviceMng::recordInStore(const BurnRow &r)
{
    RecordAnswer a;
    if (!openStore() || !beginBatch()) {
        a.stop = recordFailure(r);
        a.why = storeError();
        return a;
    }
    const Mark mark = markInStore(r, &a.stop, &a.why);
    if (mark != Mark::Failed && commitBatch()) {
        a.burnt = true;
        return a;
    }
    if (a.why.isEmpty())
        a.why = storeError();
    rollbackBatch();
    a.burnt = mark == Mark::AlreadyUsed;
    if (!a.burnt && a.stop.isEmpty())
        a.stop = recordFailure(r);
    return a;
}

// The SDK's answer: non-zero when the identifier was written. The call is made off the UI
// thread so the window keeps painting while an unplugged device costs its whole timeout.
int DeviceMng::write(const BurnRow &r, const CustomerRecord &customer)
{
    const QString kind = fixedfield::get(customer.customerValue);
    if (r.customerId == kUmeyeCustomerId) {
        UmeyeUuidRequest request{};
        fixedfield::put(request.serialNumber, r.serial);
        fixedfield::put(request.userName, r.user);
        fixedfield::put(request.password, r.password);
        fixedfield::put(request.hostAddr, fixedfield::get(customer.hostAddr));
        fixedfield::put(request.uuidKind, kind);
        fixedfield::put(request.uuid, r.uuid);
        const quint32 port = quint32(customer.port);
        request.port[0] = static_cast<unsigned char>(port & 0xFFu);
        request.port[1] = static_cast<unsigned char>((port >> 8) & 0xFFu);
        return waitOffThread(nullptr, [&request] { return Z7_NET_DVR_SetUMEyeUuid(&request); });
    }
    LenovoUuidRequest request{};
    fixedfield::put(request.serialNumber, r.serial);
    fixedfield::put(request.userName, r.user);
    fixedfield::put(request.password, r.password);
    fixedfield::put(request.uuidKind, kind);
    fixedfield::put(request.uuid, r.uuid);
    return waitOffThread(nullptr, [&request] { return Z7_NET_DVR_SetLenovoUuid(&request); });
}

// The row of a recorded success, once its mark is committed.
void DeviceMng::showBurnt(const BurnRow &r)
{
    markBurnt(r.row, {r.type, r.serial, r.ip, r.user, r.password, r.uuid});
    ++tally.burnt;
}

void DeviceMng::skip(const QString &reason)
{
    if (!tally.skipped.contains(reason))
        tally.reasons.append(reason);
    ++tally.skipped[reason];
}

QString DeviceMng::claimFailure(const BurnRow &r)
{
    return tr("Burning stopped: the pool could not record that uuid [%2] goes to device [%1], so it was not "
              "written. Nothing more is written in this pass.")
        .arg(r.serial, r.uuid);
}

QString DeviceMng::recordFailure(const BurnRow &r)
{
    return tr("Burning stopped: device [%1] holds uuid [%2], but the pool could not record it as used. "
              "It stays pending for this device; the next Burn finishes it. Nothing more is written in this pass.")
        .arg(r.serial, r.uuid);
}

QString DeviceMng::notPendingFailure(const BurnRow &r)
{
    return tr("Burning stopped: device [%1] holds uuid [%2], but the pool no longer holds it pending for this "
              "device (deleted or taken meanwhile), so it could not be recorded as used. Look it up on the Serial "
              "page. Nothing more is written in this pass.")
        .arg(r.serial, r.uuid);
}

QString DeviceMng::logFailure()
{
    return tr("Burning stopped: the operation log could not be written. Nothing more is written in this pass.");
}

QString DeviceMng::readFailure()
{
    return tr("Burning stopped: the pool could not be read. Nothing more is written in this pass.");
}

// Keeps the first failure of the pass; its box comes when the pass ends.
void DeviceMng::stopPass(const StoreAnswer &answer)
{
    if (answer.stop.isEmpty() || !stopped.stop.isEmpty())
        return;
    stopped = answer;
    // A device took its identifier and the pass stops before its mark: that it stays
    // pending is the more important thing to say.
    if (unrecorded.row >= 0)
        stopped.stop = recordFailure(unrecorded);
}

QString DeviceMng::summary() const
{
    QStringList lines;
    lines << tr("%n device(s) burnt", nullptr, tally.burnt);
    lines << tr("%n write(s) failed: each uuid stays pending for its device, the next Burn tries it again", nullptr,
                tally.failed);
    for (const QString &reason : tally.reasons)
        lines << tr("%n skipped: %1", nullptr, tally.skipped.value(reason)).arg(reason);
    return lines.join(QLatin1Char('\n'));
}

void DeviceMng::matchFailed()
{
    const QString why = storeError();
    const QString text = tr("Nothing was assigned: the pool could not be read.");
    MessageBox::critical(nullptr, tr("Error"), why.isEmpty() ? text : text + QStringLiteral("\n\n") + why);
}

void DeviceMng::on_btnBurn_clicked()
{
    QTableWidget *t = ui->tableWidget;
    SortingPause pause(t);

    // Devices that must not get an identifier in this pass: those already burnt (or whose
    // holding the pool could not tell), and those written (or tried) earlier in it. A failed
    // write may still have reached the device, so a second row of the same device is not
    // tried either.
    QSet<QString> written;
    QList<int> ready;
    for (int row = 0; row < t->rowCount(); ++row) {
        if (t->item(row, ColNo) && !hasCheckBox(t, row))
            written.insert(deviceText(row, ColSerial));
        if (isChecked(row) && !cellText(row, ColUuid).isEmpty())
            ready.append(row);
    }

    passRunning = true;
    tally = Tally();
    stopped = StoreAnswer();
    unrecorded = BurnRow();
    if (!ready.isEmpty()) {
        // A server that may lose a commit in a crash could forget a claim whose identifier a
        // device already holds, and offer it again: nothing is burnt on it.
        const StoreAnswer durable = waitOffThread(storeThread, [this] {
            StoreAnswer a;
            if (!openStore())
                a.stop = storeError();
            else if (!storeIsDurable(&a.stop) && a.stop.isEmpty())
                a.stop = storeError();
            return a;
        });
        if (!durable.stop.isEmpty()) {
            MessageBox::critical(nullptr, tr("Error"),
                                 tr("Burning refused: the pool cannot promise that what it records survives a "
                                    "crash, so nothing is written.\n\n%1")
                                     .arg(durable.stop));
            ready.clear();
        }
    }
    if (!ready.isEmpty())
        loading->start();

    QMap<int, std::shared_ptr<CustomerRecord>> customers;
    for (int k = 0; k < ready.size() && stopped.stop.isEmpty(); ++k) {
        loading->setProgress(tr("%1 of %2 devices").arg(k + 1).arg(ready.size()));
        BurnRow r = readRow(ready.at(k));
        if (!customers.contains(r.customerId)) {
            const CustomerAnswer fetched = waitOffThread(storeThread, [this, id = r.customerId] {
                CustomerAnswer a;
                if (openStore())
                    a.customer = std::shared_ptr<CustomerRecord>(customerById(id));
                if (!storeOpened || lastStoreCallFailed()) {
                    a.customer.reset();
                    a.stop = readFailure();
                    a.why = storeError();
                }
                return a;
            });
            if (!fetched.stop.isEmpty()) {
                stopPass(fetched);
                break;
            }
            customers.insert(r.customerId, fetched.customer);
        }
        const CustomerRecord *customer = customers.value(r.customerId).get();

        QString reason = skipReason(r, customer, written);
        // Deleted since Match, or longer than a record could carry it. (A pending one is
        // checked against its device when it is claimed again.)
        if (reason.isEmpty() && !r.pending) {
            const ExistsAnswer found = waitOffThread(storeThread, [this, uuid = r.uuid] {
                ExistsAnswer a;
                a.exists = openStore() && serialExists(uuid);
                if (!storeOpened || lastStoreCallFailed()) {
                    a.stop = readFailure();
                    a.why = storeError();
                }
                return a;
            });
            if (!found.stop.isEmpty()) {
                stopPass(found);
                break;
            }
            if (!found.exists)
                reason = tr("uuid not found in the pool");
        }
        if (!reason.isEmpty()) {
            skip(reason);
            stopPass(waitOffThread(storeThread, [this, r, reason] {
                StoreAnswer a;
                if (!openStore() || !logSkipped(r.serial, r.uuid, reason)) {
                    a.stop = logFailure();
                    a.why = storeError();
                }
                return a;
            }));
            continue;
        }

        const BurnRow previous = unrecorded;
        unrecorded = BurnRow();
        const ClaimAnswer claimed = waitOffThread(storeThread,
                                                  [this, r, previous] { return claimInStore(r, previous); });
        if (claimed.previousBurnt)
            showBurnt(previous);
        stopPass(claimed);
        if (!claimed.committed)
            break;
        if (claimed.claimed != ClaimResult::Claimed) {
            clearAssignment(r.row);
            skip(claimed.skipped);
            continue;
        }
        if (!claimed.instead.isEmpty()) {
            r.uuid = claimed.instead;
            assign(r.row, r.uuid, r.customerId, false);
        }
        // Claimed: from here on the row stands for a pending identifier of this device.
        if (QTableWidgetItem *cell = t->item(r.row, ColUuid)) {
            cell->setData(kPendingRole, true);
            cell->setData(kCustomerRole, r.customerId);
        }

        written.insert(r.serial);
        const int answer = write(r, *customer);
        if (answer != 0) {
            unrecorded = r; // marked used with the next claim, or below
            continue;
        }
        // Pending for this device still: the next Burn sends the same identifier again.
        ++tally.failed;
        setCell(r.row, ColState, tr("Write failed"));
        stopPass(waitOffThread(storeThread, [this, r, answer] {
            StoreAnswer a;
            if (!openStore() || !logWriteFailed(r.serial, r.uuid, answer)) {
                a.stop = logFailure();
                a.why = storeError();
            }
            return a;
        }));
    }
    if (stopped.stop.isEmpty() && unrecorded.row >= 0) {
        const BurnRow last = unrecorded;
        unrecorded = BurnRow();
        const RecordAnswer recorded = waitOffThread(storeThread, [this, last] { return recordInStore(last); });
        if (recorded.burnt)
            showBurnt(last);
        stopPass(recorded);
    }
    unrecorded = BurnRow();
    loading->stop();

    // Every pass that had something to do says what it did; a stopped one says why first.
    if (!stopped.stop.isEmpty()) {
        QString text = stopped.stop;
        if (!stopped.why.isEmpty())
            text += QStringLiteral("\n\n") + stopped.why;
        MessageBox::critical(nullptr, tr("Error"), text + QStringLiteral("\n\n") + summary());
    } else if (!ready.isEmpty()) {
        MessageBox::information(nullptr, tr("Information"), summary());
    }
    passRunning = false;

    const QList<Device> reports = waitingReports;
    waitingReports.clear();
    for (const Device &device : reports)
        addDevice(device);

    emit sendOnSerial();
}
