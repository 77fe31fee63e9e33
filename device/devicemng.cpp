#include "device/devicemng.h"
#include "ui_devicemng.h"

#include "store/datastore.h"
#include "store/fixedfield.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QMutex>
#include <QMutexLocker>
#include <QResizeEvent>
#include <QSet>
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

QString hasBeenBurning()
{
    return QCoreApplication::translate("QObject", "Has been burning");
}

// A value quoted in a log text, kept within maxBytes of UTF-8; a longer one is shortened
// on a character boundary and visibly marked, so the entry still fits its record.
QString quoted(const QString &value, int maxBytes)
{
    const QByteArray utf8 = value.toUtf8();
    if (utf8.size() <= maxBytes)
        return value;
    return QString::fromUtf8(utf8.left(fixedfield::cutLength(utf8, std::size_t(maxBytes))))
        + QStringLiteral("...");
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
    QMetaObject::invokeMethod(page, [page, device] { page->addDevice(device); }, Qt::QueuedConnection);
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
}

DeviceMng::~DeviceMng()
{
    // Only the page's own fields: the SDK and the store may already be released.
    {
        LivePages &live = livePages();
        QMutexLocker lock(&live.mutex);
        live.pages.remove(this);
    }
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
    if (!typeFilter.isEmpty() && !device.type.contains(typeFilter, Qt::CaseSensitive))
        return;

    QTableWidget *t = ui->tableWidget;
    // A report after the search ended must fill one row, not chase it through a re-sort.
    SortingPause pause(t);
    const int row = t->rowCount();
    t->insertRow(row);
    const QString burnt = serialOfDevice(device.serial);

    auto *number = new QTableWidgetItem(QString::number(row + 1));
    number->setTextAlignment(kNumberAlignment);
    if (burnt.isEmpty())
        number->setCheckState(ui->cbxAll->checkState());
    else
        number->setFlags(number->flags() & ~Qt::ItemIsUserCheckable);
    t->setItem(row, ColNo, number);
    setCell(row, ColType, device.type);
    setCell(row, ColSerial, device.serial);
    setCell(row, ColIp, device.ip);
    setCell(row, ColUser, device.user);
    setCell(row, ColPassword, device.password);
    setCell(row, ColUuid, burnt);
    setCell(row, ColState, burnt.isEmpty() ? QString() : hasBeenBurning());
    setCell(row, ColSortKey, QString());
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

void DeviceMng::clearAssignment(int row)
{
    setCell(row, ColUuid, QString());
    setCell(row, ColState, QString());
}

void DeviceMng::onCheckBoxSelAll(int state)
{
    SortingPause pause(ui->tableWidget);
    const int rows = listedRows();
    for (int row = 0; row < rows; ++row) {
        if (!serialOfDevice(cellText(row, ColSerial)).isEmpty())
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
    const int customerId = ui->cbxCustomer->currentIndex() + 1;
    if (customerId != burnCustomerId)
        for (int row = 0; row < rows; ++row)
            if (isReady(row))
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
        const QString uuid = cellText(row, ColUuid);
        if (!uuid.isEmpty())
            shown.insert(uuid);
        if (!uuid.isEmpty() || !hasCheckBox(ui->tableWidget, row))
            taken.insert(cellText(row, ColSerial));
    }
    if (checked == 0)
        return;

    const QList<SerialRecord> fetched = unusedSerials(checked, burnCustomerId);
    int next = 0; // rows above it are all assigned or not eligible
    for (const SerialRecord &record : fetched) {
        const QString serial = fixedfield::get(record.serialNumber);
        if (serial.isEmpty() || shown.contains(serial))
            continue;
        for (; next < rows; ++next) {
            if (!isChecked(next) || !cellText(next, ColUuid).isEmpty())
                continue;
            const QString device = cellText(next, ColSerial);
            if (taken.contains(device))
                continue;
            setCell(next, ColUuid, serial);
            setCell(next, ColState, tr("Ready to burn"));
            shown.insert(serial);
            taken.insert(device);
            ui->btnBurn->setEnabled(true);
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
    return fixedfield::fitsWithNul(type.toUtf8(), sizeof(LogRecord::logType)) ? type
                                                                              : QStringLiteral("User operation");
}

void DeviceMng::logSkipped(const QString &deviceSerial, const QString &uuid, const QString &reason)
{
    // The values are what made the row unwritable, so they may be long: each is quoted
    // within 48 bytes (marked when shortened), which keeps the entry inside its record.
    const QString serialText = quoted(deviceSerial, 48);
    const QString uuidText = quoted(uuid, 48);
    QString describe = tr("Burning uuid [%1] [%2] skipped: %3").arg(serialText, uuidText, reason);
    if (!fixedfield::fitsWithNul(describe.toUtf8(), sizeof(LogRecord::logDescribe)))
        describe = QStringLiteral("Burning uuid [%1] [%2] skipped: %3").arg(serialText, uuidText, quoted(reason, 100));
    addLog(makeLogRecord(logType(), describe));
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
        t->setItem(row, column, new QTableWidgetItem(texts.at(column - ColType)));
    t->setItem(row, ColState, new QTableWidgetItem(hasBeenBurning()));
    // A sort-key cell like every other row's: the table puts rows without one last
    // when it sorts again, which would move the burnt device away from its place.
    t->setItem(row, ColSortKey, new QTableWidgetItem(QString()));
}

void DeviceMng::on_btnBurn_clicked()
{
    QTableWidget *t = ui->tableWidget;
    SortingPause pause(t);
    const std::unique_ptr<CustomerRecord> customer = customerById(burnCustomerId);
    const bool umeye = burnCustomerId == kUmeyeCustomerId;

    // Devices that must not get an identifier in this pass: those already burnt, and
    // those written (or tried) earlier in it. A failed write may still have reached the
    // device, so a second row of the same device is not tried either.
    QSet<QString> written;
    for (int row = 0; row < t->rowCount(); ++row)
        if (t->item(row, ColNo) && !hasCheckBox(t, row))
            written.insert(cellText(row, ColSerial));

    bool batchOpen = false; // a markSerialUsed waiting for the next commit
    for (int i = 0; i < t->rowCount(); ++i) {
        if (!isChecked(i))
            continue;
        const QString type = cellText(i, ColType);
        const QString serial = cellText(i, ColSerial);
        const QString ip = cellText(i, ColIp);
        const QString user = cellText(i, ColUser);
        const QString password = cellText(i, ColPassword);
        const QString uuid = cellText(i, ColUuid);
        if (uuid.isEmpty())
            continue;

        const QString describe = tr("Burning uuid [%1] [%2]").arg(serial, uuid);
        const QString kind = customer ? fixedfield::get(customer->customerValue) : QString();
        const QString host = customer ? fixedfield::get(customer->hostAddr) : QString();

        // Every text must fit its request field with its NUL; nothing is ever cut.
        UmeyeUuidRequest umeyeRequest{};
        LenovoUuidRequest lenovoRequest{};
        QString reason;
        if (!customer)
            reason = tr("no customer %1").arg(burnCustomerId);
        else if (!fixedfield::fits(umeyeRequest.uuid, uuid))
            reason = tr("uuid too long");
        else if (!fixedfield::fits(umeyeRequest.serialNumber, serial))
            reason = tr("device serial number too long");
        else if (!fixedfield::fits(umeyeRequest.userName, user))
            reason = tr("user name too long");
        else if (!fixedfield::fits(umeyeRequest.password, password))
            reason = tr("password too long");
        else if (umeye && !fixedfield::fits(umeyeRequest.hostAddr, host))
            reason = tr("host address too long");
        else if (!fixedfield::fits(umeyeRequest.uuidKind, kind))
            reason = tr("uuid kind too long");
        else if (!fixedfield::fitsWithNul(describe.toUtf8(), sizeof(LogRecord::logDescribe)))
            reason = tr("log text too long");
        else if (written.contains(serial))
            reason = tr("device already burnt or tried in this pass");
        else if (!serialExists(uuid)) // deleted since Match, or longer than the record carried it
            reason = tr("uuid not found in the pool");
        if (!reason.isEmpty()) {
            logSkipped(serial, uuid, reason);
            continue;
        }

        // Logged and committed before the write: if the program dies between the device
        // taking the identifier and the pool marking it used, the log says where it went.
        // The previous device's markSerialUsed shares this commit, one per device.
        if (!batchOpen)
            beginBatch();
        addLog(makeLogRecord(logType(), describe));
        commitBatch();
        batchOpen = false;
        written.insert(serial);

        int ok;
        if (umeye) {
            fixedfield::put(umeyeRequest.serialNumber, serial);
            fixedfield::put(umeyeRequest.userName, user);
            fixedfield::put(umeyeRequest.password, password);
            fixedfield::put(umeyeRequest.hostAddr, host);
            fixedfield::put(umeyeRequest.uuidKind, kind);
            fixedfield::put(umeyeRequest.uuid, uuid);
            const quint32 port = quint32(customer->port);
            umeyeRequest.port[0] = static_cast<unsigned char>(port & 0xFFu);
            umeyeRequest.port[1] = static_cast<unsigned char>((port >> 8) & 0xFFu);
            ok = Z7_NET_DVR_SetUMEyeUuid(&umeyeRequest);
        } else {
            fixedfield::put(lenovoRequest.serialNumber, serial);
            fixedfield::put(lenovoRequest.userName, user);
            fixedfield::put(lenovoRequest.password, password);
            fixedfield::put(lenovoRequest.uuidKind, kind);
            fixedfield::put(lenovoRequest.uuid, uuid);
            ok = Z7_NET_DVR_SetLenovoUuid(&lenovoRequest);
        }
        if (!ok)
            continue;

        batchOpen = beginBatch();
        markSerialUsed(uuid, serial, type, ip);
        markBurnt(i, {type, serial, ip, user, password, uuid});
    }
    if (batchOpen)
        commitBatch();

    emit sendOnSerial();
}
