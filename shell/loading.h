#pragma once

#include <QDialog>

namespace Ui { class Loading; }

class Loading : public QDialog
{
    Q_OBJECT
public:
    explicit Loading(QWidget *parent = nullptr);
    ~Loading() override;

    void start();
    void stop();

private:
    Ui::Loading *ui;
};
