#include "ui/split_widget.h"

UI_SplitWidget::UI_SplitWidget(QWidget* parent) : QWidget(parent) {}

void UI_SplitWidget::layoutPage(int x, int y, int width, int height) {
    setGeometry(x, y, width, height);
}
