#pragma once

#include <QWidget>

namespace Ui { class Log; }

class Log : public QWidget
{
    Q_OBJECT
public:
    explicit Log(QWidget *parent = nullptr);
    ~Log() override;

    void refreshPaging();

private:
    Ui::Log *ui;
};
