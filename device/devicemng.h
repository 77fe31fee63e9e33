// The device page: searches the line for devices, assigns unused identifiers of the
// chosen customer to the checked ones (Match) and writes them into the devices (Burn).
#pragma once

#include "platform/netsdk/z7netsdk.h"

#include <QSet>

#include <functional>

#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

namespace Ui {
class DeviceMng;
}

class Loading;
class QTableWidgetItem;
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

    // The outcome of one step of a pass.
    enum class Step {
        Done,
        Skipped,
        Stopped
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
    static QString logType();
    bool logSkipped(const QString &deviceSerial, const QString &uuid, const QString &reason);

    // The steps of a Burn pass, in the order each ready row goes through them.
    BurnRow readRow(int row) const;
    QString skipReason(const BurnRow &r, const CustomerRecord *customer, const QSet<QString> &written) const;
    Step claim(BurnRow &r);
    bool write(const BurnRow &r, const CustomerRecord &customer);
    bool record(const BurnRow &r);
    void showBurnt(const BurnRow &r);
    QString claimFailure(const BurnRow &r) const;
    QString recordFailure(const BurnRow &r) const;
    QString logFailure() const;
    void stopPass(const QString &text);
    int callOffThread(const std::function<int()> &call);

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
};
