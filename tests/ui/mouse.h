#pragma once
// Mouse events delivered through QApplication, so that a press a child leaves alone travels
// up to the window, as a real one does.

#include <QApplication>
#include <QMouseEvent>

inline void sendMouse(QWidget* to, QEvent::Type type, QPoint pos, Qt::MouseButtons held) {
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, pos, to->mapToGlobal(pos), button, held, Qt::NoModifier);
    QApplication::sendEvent(to, &event);
}

// Press at from, move by delta, release.
inline void drag(QWidget* on, QPoint from, QPoint delta) {
    sendMouse(on, QEvent::MouseButtonPress, from, Qt::LeftButton);
    sendMouse(on, QEvent::MouseMove, from + delta, Qt::LeftButton);
    sendMouse(on, QEvent::MouseButtonRelease, from + delta, Qt::NoButton);
}
