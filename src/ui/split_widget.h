#pragma once
// The "Split File" page. For now an empty page that the main window can place.

#include <QWidget>

class UI_SplitWidget : public QWidget {
    Q_OBJECT
public:
    explicit UI_SplitWidget(QWidget* parent = nullptr);

    void layoutPage(int x, int y, int width, int height);

    // The main window, not owned; set by it right after construction. Only its pos() is read,
    // to place the page's pop-ups over the window.
    QWidget* m_mainWindow = nullptr;
};
