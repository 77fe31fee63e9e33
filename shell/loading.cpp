#include "loading.h"
#include "ui_loading.h"

Loading::Loading(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::Loading)
{
    ui->setupUi(this);
}

Loading::~Loading()
{
    delete ui;
}

void Loading::start() { setWindowModality(Qt::ApplicationModal); show(); }
void Loading::stop() { close(); }
