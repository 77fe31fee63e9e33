#pragma once

#include <QWidget>

namespace Ui { class DeviceMng; }

class DeviceMng : public QWidget
{
    Q_OBJECT
public:
    explicit DeviceMng(QWidget *parent = nullptr);
    ~DeviceMng() override;

signals:
    void sendOnSerial();

private:
    Ui::DeviceMng *ui;
};
