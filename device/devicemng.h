// The device page: searches the line for devices, assigns unused identifiers of the
// chosen customer to the checked ones (Match) and writes them into the devices (Burn).
#pragma once

#include "platform/netsdk/z7netsdk.h"
#include "store/datastore.h"

#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>

namespace Ui {
class DeviceMng;
}

class Loading;
class QTableWidgetItem;
class QThreadPool;
struct CustomerRecord;

// The SDK calls this once per device report, on a thread of its own; `user` is the page.
// It only copies the texts and queues them to the page's thread.
void Z7_NETSDK_CALL onDeviceDiscovered(const DiscoveryRecord *record, void *user);

// Run on the global thread pool: starts discovery and keeps the result for the page.
void startDiscovery();

class DeviceMng : public QWidget
{
    Q_OBJECT
public:
    explicit DeviceMng(QWidget *parent = nullptr);
    ~DeviceMng() override;

    // Pace of the search countdown; one tick per "second" shown on the Search button.
    void setTickInterval(int ms);
    int tickInterval() const { return tickMs; }

signals:
    void sendOnSerial();

private slots:
    void on_btnSearch_clicked();
    void on_btnStop_clicked();
    void on_btnMatch_clicked();
    void on_btnBurn_clicked();
    void onCheckBoxSelAll(int state);
    void itemClicked(QTableWidgetItem *item);

protected:
    void timerEvent(QTimerEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    friend void Z7_NETSDK_CALL onDeviceDiscovered(const DiscoveryRecord *record, void *user);

    struct Device {
        QString ip;
        QString serial;
        QString user;
        QString password;
        QString type;
    };

    // One ready row as a Burn pass sees it: the device's texts as reported and the
    // identifier assigned to it, with the customer whose form writes it.
    struct BurnRow {
        int row = -1;
        QString type;
        QString serial;
        QString ip;
        QString user;
        QString password;
        QString uuid;
        int customerId = 0;
        bool pending = false; // already claimed for this device by an earlier pass
    };

    // What the store thread answers for a step of a pass. A non-empty `stop` ends the pass
    // with that text; `why` is the store's own word for the failure.
    struct StoreAnswer {
        QString stop;
        QString why;
    };
    // A success's "used" mark: recorded now, already recorded by another station finishing
    // the same pending device, or not recorded (the pass stops and says what the pool holds).
    enum class Mark {
        Recorded,
        AlreadyUsed,
        Failed
    };
    struct ClaimAnswer : StoreAnswer {
        ClaimResult claimed = ClaimResult::Failed;
        bool committed = false;     // the claim's batch (and the previous device's mark) is in
        bool previousBurnt = false; // the previous success is recorded used
        QString instead;            // claimed in place of the identifier shown (server)
        QString skipped;            // why the row was not claimed, when it was not
    };
    struct CustomerAnswer : StoreAnswer {
        std::shared_ptr<CustomerRecord> customer;
    };
    struct ExistsAnswer : StoreAnswer {
        bool exists = false;
    };
    struct RecordAnswer : StoreAnswer {
        bool burnt = false;
    };
    // What one pass did, said in its closing box.
    struct Tally {
        int burnt = 0;
        int failed = 0;
        QStringList reasons; // skip reasons in the order first met
        QMap<QString, int> skipped;
    };

    void setupTable();
    void endSearch();
    void addDevice(const Device &device);
    void setCell(int row, int column, const QString &text);
    void setDeviceCell(int row, int column, const QString &text);
    QString cellText(int row, int column) const;
    QString deviceText(int row, int column) const;
    int listedRows() const;
    bool isChecked(int row) const;
    bool isReady(int row) const;
    bool isPending(int row) const;
    void assign(int row, const QString &uuid, int customerId, bool pending);
    void clearAssignment(int row);
    void markBurnt(int row, const QStringList &texts);
    void showUnreadable(int row);
    void skip(const QString &reason);
    static QString logType();
    static bool logSkipped(const QString &deviceSerial, const QString &uuid, const QString &reason);
    static bool logWriteFailed(const QString &deviceSerial, const QString &uuid, int answer);

    // The steps of a Burn pass, in the order each ready row goes through them.
    BurnRow readRow(int row) const;
    QString skipReason(const BurnRow &r, const CustomerRecord *customer, const QSet<QString> &written) const;
    int write(const BurnRow &r, const CustomerRecord &customer);
    void showBurnt(const BurnRow &r);
    void stopPass(const StoreAnswer &answer);
    QString summary() const;
    static QString claimFailure(const BurnRow &r);
    static QString recordFailure(const BurnRow &r);
    static QString notPendingFailure(const BurnRow &r);
    static QString logFailure();
    static QString readFailure();
    void matchFailed();

    // The store steps of a pass. They run on the page's store thread, on a connection of its
    // own, while the UI thread keeps painting; they touch no widget.
    bool openStore();
    ClaimAnswer claimInStore(const BurnRow &r, const BurnRow &previous);
    RecordAnswer recordInStore(const BurnRow &r);
    Mark markInStore(const BurnRow &r, QString *stop, QString *why);

    int searchTimerId = 0;
    int searchCountdown;
    Ui::DeviceMng *ui;
    QString typeFilter;
    int burnCustomerId;
    int tickMs = 1000;
    Loading *loading = nullptr;
    // While a Burn pass runs, the search countdown pauses and new reports wait, so the
    // rows the pass walks by index stay where they are.
    bool passRunning = false;
    QList<Device> waitingReports;
    // A success whose "used" mark is committed with the next device's claim (one commit
    // per device); written out at the latest when the pass ends.
    BurnRow unrecorded;
    Tally tally;
    StoreAnswer stopped; // the first failure of the running pass
    // One thread that never expires, so its store connection lives with the page.
    QThreadPool *storeThread = nullptr;
    bool storeOpened = false; // touched only on the store thread
};
