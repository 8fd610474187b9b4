#pragma once
// The "Join File" page. For now an empty page that the main window can place.

#include <QWidget>

class UI_Tarnwick;

class UI_MergeWidget : public QWidget {
    Q_OBJECT
public:
    explicit UI_MergeWidget(QWidget* parent = nullptr);

    void layoutPage(int x, int y, int width, int height);

    // The main window, not owned; set by it right after construction. Its position and size
    // place the page's pop-ups over the window.
    UI_Tarnwick* m_mainWindow = nullptr;
};
