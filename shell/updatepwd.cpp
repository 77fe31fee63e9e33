#include "updatepwd.h"
#include "ui_updatepwd.h"

UpdatePwd::UpdatePwd(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::UpdatePwd)
{
    ui->setupUi(this);
}

UpdatePwd::~UpdatePwd()
{
    delete ui;
}

