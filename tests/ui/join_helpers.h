#pragma once
// What the Join page tests share: the page reads sets off the window's thread, so a test waits
// for what it started, and reads the rows through the page's model.

#include "page_helpers.h"
#include "ui/chunk_list_model.h"
#include "ui/join_widget.h"

namespace test {

// The page reads a set off the window's thread: this waits until what a click started has
// settled (a listing shown, a job started, or a question answered).
inline bool settled(UI_JoinWidget* page) {
    return QTest::qWaitFor([&] { return !page->reading(); }, kJobTimeoutMs);
}

inline void clickAndSettle(UI_JoinWidget* page, QPushButton* button) {
    // A listing after a job may still be read: its buttons take no click meanwhile.
    QVERIFY(settled(page));
    button->click();
    QVERIFY(settled(page));
}

inline void listThroughPage(UI_JoinWidget* page, const QString& chunkFolder) {
    PathAnswers answers({chunkFolder});
    clickAndSettle(page, page->input_joinfolderButton);
}

inline int rowCount(UI_JoinWidget* page) {
    return page->m_rows->rowCount();
}

inline QString cell(UI_JoinWidget* page, int row, int column, int role = Qt::DisplayRole) {
    return page->m_rows->index(row, column).data(role).toString();
}

}  // namespace test
