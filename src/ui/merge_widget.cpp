#include "ui/merge_widget.h"

UI_MergeWidget::UI_MergeWidget(QWidget* parent) : QWidget(parent) {}

void UI_MergeWidget::layoutPage(int x, int y, int width, int height) {
    setGeometry(x, y, width, height);
}
