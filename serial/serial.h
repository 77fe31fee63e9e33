#pragma once

#include <QWidget>

namespace Ui { class Serial; }

class Serial : public QWidget
{
    Q_OBJECT
public:
    explicit Serial(QWidget *parent = nullptr);
    ~Serial() override;

public slots:
    void onSerial();

private:
    Ui::Serial *ui;
};
