// The serial-number import: choosing a file and reading it into the pool.
#include "serial.h"
#include "ui_serial.h"

void Serial::on_btnChoose_clicked()
{
}

void Serial::on_btnImport_clicked()
{
}

void Serial::onImportUuid()
{
}
