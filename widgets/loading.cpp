#include "widgets/loading.h"
#include "ui_loading.h"

#include <QIcon>
#include <QLayout>
#include <QMovie>

Loading::Loading(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::Loading)
{
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral("./Resources/App.ico")));
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint);
    // Hidden while empty, so the animation and text stay centred as laid out.
    ui->lblProgress->hide();
    // A missing or unreadable file just leaves the image empty.
    movie = new QMovie(QStringLiteral("./Resources/loading.gif"), QByteArray(), this);
    ui->label_2->setMovie(movie);
    movie->start();
}

Loading::~Loading()
{
    delete ui;
}

void Loading::start()
{
    setProgress(QString());
    movie->start();
    setWindowModality(Qt::ApplicationModal);
    show();
}

void Loading::stop()
{
    movie->stop();
    close();
}

void Loading::setProgress(const QString &text)
{
    ui->lblProgress->setText(text);
    ui->lblProgress->setVisible(!text.isEmpty());
    if (isVisible()) {
        // The caller usually blocks the event loop; lay out and paint right now.
        layout()->activate();
        repaint();
    }
}
