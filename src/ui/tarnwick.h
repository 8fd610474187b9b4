#pragma once
// The program's one top-level window: the "Split File", "Join File" and "About" tabs and the
// version label. It can be resized down to its first size, and is moved by dragging its
// background.

#include <QPoint>
#include <QWidget>
#include <array>

class QCloseEvent;
class QLabel;
class QMouseEvent;
class QResizeEvent;
class QTabWidget;
class UI_JoinWidget;
class UI_SplitWidget;

class UI_Tarnwick : public QWidget {
    Q_OBJECT
public:
    explicit UI_Tarnwick(QWidget* parent = nullptr);

    QTabWidget* m_tabWidget;
    // The tab pages; created without parent and owned by the tab widget once added.
    QWidget* m_splitTab;
    QWidget* m_joinTab;
    QWidget* m_aboutTab;
    UI_SplitWidget* m_splitWidget;
    UI_JoinWidget* m_joinWidget;
    std::array<QLabel*, 3> m_aboutLabels;
    QLabel* m_versionLabel;

protected:
    // Presses that no control takes reach these, so the background drags the window.
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    // While a job runs, closing asks whether to cancel it; the window closes only once the
    // cancelled job has ended and removed what it wrote.
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void layoutChildren();

    bool m_dragging = false;
    QPoint m_pressPos;
};
