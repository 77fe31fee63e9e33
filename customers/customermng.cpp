#include "customermng.h"
#include "ui_customermng.h"

CustomerMng::CustomerMng(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::CustomerMng)
{
    ui->setupUi(this);
}

CustomerMng::~CustomerMng()
{
    delete ui;
}

