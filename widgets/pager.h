// Paging shared by the Serial and Log pages: rows per page, page count, the page shown,
// the page selector's entries and which of First / Prev / Next / Last are enabled.
// The pages keep their own slots, texts and loading; this keeps the arithmetic and the
// controls in step.
#pragma once

class QComboBox;
class QPushButton;

class Pager
{
public:
    Pager(QPushButton *first, QPushButton *prev, QComboBox *selector, QPushButton *next, QPushButton *last);

    // Rows per page; never below 1 once set (a table too short for one row still pages).
    void setPageSize(int rows);
    int pageSize() const { return size; }
    // True once a page size is known: before the first layout there is nothing to divide by.
    bool hasPageSize() const { return size > 0; }

    // A recount: the page count follows `total` (at least 1), the selector holds "1" ..
    // the page count, and the first page becomes current. The selector reports nothing.
    void recount(int total);

    // Makes `page` (counted from 1) current and updates the controls; the selector is
    // moved without reporting the change.
    void moveTo(int page);

    int totalCount() const { return total; }
    int pageCount() const { return count; }
    int currentPage() const { return current; }
    // Zero-based index of the page shown, for the store's paged queries.
    int pageIndex() const { return current - 1; }

private:
    void updateControls();

    QPushButton *first;
    QPushButton *prev;
    QComboBox *selector;
    QPushButton *next;
    QPushButton *last;
    int size = 0;
    int total = 0;
    int count = 1;
    int current = 1;
};
