#include "widgets/pager.h"

#include <QAbstractListModel>
#include <QComboBox>
#include <QListView>
#include <QPushButton>
#include <QSignalBlocker>

#include <algorithm>

namespace {

// The page selector's entries "1" .. count, made when they are shown. A factory pool
// has tens of thousands of pages; building that many items on every recount would
// cost more than the recount itself.
class PageNumbers : public QAbstractListModel
{
public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override { return parent.isValid() ? 0 : count; }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || index.row() >= count || (role != Qt::DisplayRole && role != Qt::EditRole))
            return QVariant();
        return QString::number(index.row() + 1);
    }

    void setCount(int pages)
    {
        beginResetModel();
        count = pages;
        endResetModel();
    }

private:
    int count = 0;
};

} // namespace

Pager::Pager(QPushButton *firstButton, QPushButton *prevButton, QComboBox *pageSelector, QPushButton *nextButton,
             QPushButton *lastButton)
    : first(firstButton)
    , prev(prevButton)
    , selector(pageSelector)
    , next(nextButton)
    , last(lastButton)
{
    selector->setModel(new PageNumbers(selector));
    // A drop-down list of a few entries rather than a popup as tall as the screen,
    // which would lay out every one of the pages first.
    selector->setStyleSheet(QStringLiteral("combobox-popup: 0;"));
    if (auto *list = qobject_cast<QListView *>(selector->view()))
        list->setUniformItemSizes(true);
    // Sized for a page number of seven digits, not by measuring every entry: the
    // default measures all of them on first show (seconds for a pool of millions).
    selector->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    selector->setMinimumContentsLength(7);
}

void Pager::setPageSize(int rows)
{
    size = std::max(1, rows);
}

void Pager::recount(int newTotal)
{
    total = std::max(0, newTotal);
    const int rows = std::max(1, size);
    count = total / rows + (total % rows ? 1 : 0);
    if (count == 0)
        count = 1;
    {
        // Refilled silently: emptying the selector would report index -1 and refilling
        // it index 0, each reloading the page; the caller loads page 1 once.
        const QSignalBlocker blocker(selector);
        static_cast<PageNumbers *>(selector->model())->setCount(count);
    }
    moveTo(1);
}

void Pager::moveTo(int page)
{
    current = page;
    updateControls();
}

void Pager::updateControls()
{
    {
        // Selecting the entry here must not load the page a second time.
        const QSignalBlocker blocker(selector);
        selector->setCurrentIndex(current - 1);
    }
    bool back = true;
    bool forward = true;
    if (current == count && count == 1) {
        back = forward = false;
    } else if (current == 1) {
        back = false;
    } else if (current == count) {
        forward = false;
    }
    first->setEnabled(back);
    prev->setEnabled(back);
    next->setEnabled(forward);
    last->setEnabled(forward);
}
