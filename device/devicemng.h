// The device page: searches the line for devices, assigns unused identifiers of the
// chosen customer to the checked ones (Match) and writes them into the devices (Burn).
#pragma once

#include "jobs/burnjob.h"
#include "jobs/devicecalls.h"
#include "jobs/labelqueue.h"
#include "platform/netsdk/z7netsdk.h"
#include "store/datastore.h"

#include <QList>
#include <QString>
#include <QWidget>

#include <memory>

namespace Ui {
class DeviceMng;
}

class Loading;
class QTableWidgetItem;
class QThreadPool;

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
    // Offers what the signed-in person's role allows (Rework: supervisors and up).
    void applyRole();
    // The station's label queue (none: labels are off): the page shows how many wait.
    void setLabelQueue(jobs::LabelQueue *queue);
    // How often the chosen customer's stock is read again while the page is shown (other
    // stations burn from the same pool); 5 s unless a test wants it sooner.
    void setStockInterval(int ms);
    // Reads the chosen customer's stock and its low-pool warning into the page, and the
    // progress of the chosen work order.
    void refreshStock();
    // Lists the chosen customer's work orders that are not complete (and the chosen one).
    void fillOrders();

signals:
    void sendOnSerial();

private slots:
    void on_btnSearch_clicked();
    void on_btnStop_clicked();
    void on_btnMatch_clicked();
    void on_btnBurn_clicked();
    void on_btnRework_clicked();
    void on_btnOrders_clicked();
    void onCheckBoxSelAll(int state);
    void itemClicked(QTableWidgetItem *item);

protected:
    void timerEvent(QTimerEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    friend void Z7_NETSDK_CALL onDeviceDiscovered(const DiscoveryRecord *record, void *user);

    struct Device {
        QString ip;
        QString serial;
        QString user;
        QString password;
        QString type;
    };

    void setupTable();
    void endSearch();
    void addDevice(const Device &device);
    void fillRow(int row, int number, const Device &device);
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
    void markBurnt(const jobs::BurnRow &r);
    void showUnreadable(int row);
    void readDevice(int row, const Device &device);
    void showOnDevice(int listedAt, const QString &serial, int generation, const jobs::devicecalls::ReadBack &back);

    // The Burn pass: the checked rows with an identifier go to the job, and what it reports
    // becomes the rows' states and the closing box.
    class PassView;
    jobs::BurnRow readRow(int row) const;
    QString stopText(const jobs::BurnStop &stop) const;
    static QString summary(const jobs::BurnSummary &done);
    void matchFailed();
    void showLabelsWaiting(int count, const QString &why);

    int searchTimerId = 0;
    int stockTimerId = 0;
    int stockMs = 5000;
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
    // Runs the passes; its store thread and connection live with the page.
    std::unique_ptr<jobs::BurnJob> burnJob;
    // Reads each listed device's identifier; answers of an older search or from before a
    // pass (an older generation) are dropped.
    std::unique_ptr<QThreadPool> readers;
    int readGeneration = 0;
};
