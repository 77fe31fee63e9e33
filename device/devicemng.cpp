#include "devicemng.h"
#include "ui_devicemng.h"

DeviceMng::DeviceMng(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::DeviceMng)
{
    ui->setupUi(this);
}

DeviceMng::~DeviceMng()
{
    delete ui;
}

