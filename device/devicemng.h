// The device page: searches the line for devices, assigns unused identifiers of the
// chosen customer to the checked ones (Match) and writes them into the devices (Burn).
#pragma once

#include "platform/netsdk/z7netsdk.h"

#include <QString>
#include <QStringList>
#include <QWidget>

namespace Ui { class DeviceMng; }

class QTableWidgetItem;

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

    void setupTable();
    void endSearch();
    void addDevice(const Device &device);
    void setCell(int row, int column, const QString &text);
    QString cellText(int row, int column) const;
    int listedRows() const;
    bool isChecked(int row) const;
    bool isReady(int row) const;
    void clearAssignment(int row);
    void markBurnt(int row, const QStringList &texts);
    static QString logType();
    void logSkipped(const QString &deviceSerial, const QString &uuid, const QString &reason);

    int searchTimerId = 0;
    int searchCountdown;
    Ui::DeviceMng *ui;
    QString typeFilter;
    int burnCustomerId;
    int tickMs = 1000;
};
