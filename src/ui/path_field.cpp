#include "ui/path_field.h"

#include <QStyle>
#include <QStyleOptionFrame>

#include "ui/page_support.h"

PathField::PathField(QWidget* parent) : QLineEdit(parent) {
    // Only typing changes the path; what showPath() puts in the field does not.
    connect(this, &QLineEdit::textEdited, this, [this](const QString& text) {
        m_path = text;
        setToolTip(m_path);
    });
}

void PathField::setPath(const QString& path) {
    m_path = path;
    setToolTip(path);
    showPath();
}

void PathField::showPath() {
    if (hasFocus()) {
        setText(m_path);
        return;
    }
    QStyleOptionFrame panel;
    initStyleOption(&panel);
    const QRect contents = style()->subElementRect(QStyle::SE_LineEditContents, &panel, this);
    // QLineEdit keeps two pixels clear on either side of its text.
    const int room = contents.marginsRemoved(textMargins()).width() - 4;
    setText(page::elidePath(fontMetrics(), m_path, room));
    setCursorPosition(0);
}

void PathField::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    showPath();
}

void PathField::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    showPath();
}

void PathField::resizeEvent(QResizeEvent* event) {
    QLineEdit::resizeEvent(event);
    showPath();
}
