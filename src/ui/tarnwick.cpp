#include "ui/tarnwick.h"

#include <QCloseEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QTabWidget>

#include "ui/images.h"
#include "ui/join_widget.h"
#include "ui/message_box.h"
#include "ui/split_widget.h"

namespace {

constexpr int kWidth = 780;
constexpr int kHeight = 480;

const char* const kTabStyle =
    "QTabWidget::tab-bar {alignment: center;height:50px;} \t\t\t\t\t\t\t   "
    "QTabWidget::pane{ border-top: 2px solid #C2C7CB;position: absolute;top: -0.1em;} "
    "\t\t\t\t\t\t\t   "
    "QTabBar::tab {background: qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1,stop: 0 #E1E1E1, "
    "stop: 0.4 #DDDDDD,stop: 0.5 #D8D8D8, stop: 1.0 #D3D3D3);border: 2px solid #C4C4C3;"
    "\tborder-bottom-color: #C2C7CB; border-top-left-radius: 4px;border-top-right-radius: 4px;"
    "\tmin-width: 8ex;padding: 10px;}\t\t\t\t\t\t\t   "
    "QTabBar::tab:selected, QTabBar::tab:hover {background: qlineargradient(x1: 0, y1: 0, x2: 0, "
    "y2: 1,stop: 0 #fafafa, stop: 0.4 #f4f4f4,stop: 0.5 #e7e7e7, stop: 1.0 #fafafa);}"
    "\t\t\t\t\t\t\t   "
    "QTabBar::tab:selected {border-color: #9B9B9B;\tborder-bottom-color: #C2C7CB; }";

const char* const kAboutTexts[3] = {
    "Veltrane Morvane is a smart utility which can help you:",
    "- split big files into small pieces so that they can be easily copied to disk or sent via "
    "email",
    "- rejoin or merge the splitted files as a complete one in original format without "
    "degrading any of the quality",
};

}  // namespace

UI_Tarnwick::UI_Tarnwick(QWidget* parent) : QWidget(parent) {
    QFont windowFont = font();
    windowFont.setFamily(QStringLiteral("arial"));
    windowFont.setPointSize(10);
    setFont(windowFont);

    resize(kWidth, kHeight);
    setMinimumSize(kWidth, kHeight);
    setWindowFlags(Qt::WindowMinMaxButtonsHint);
    setAutoFillBackground(true);

    m_splitTab = new QWidget;
    m_joinTab = new QWidget;
    m_aboutTab = new QWidget;
    m_splitWidget = new UI_SplitWidget(m_splitTab);
    m_joinWidget = new UI_JoinWidget(m_joinTab);
    m_splitWidget->m_mainWindow = this;
    m_joinWidget->m_mainWindow = this;

    m_tabWidget = new QTabWidget(this);
    m_tabWidget->addTab(m_splitTab, QStringLiteral("Split File"));
    m_tabWidget->addTab(m_joinTab, QStringLiteral("Join File "));
    m_tabWidget->addTab(m_aboutTab, QStringLiteral("  About   "));
    m_tabWidget->setStyleSheet(QString::fromLatin1(kTabStyle));
    setWindowTitle(QStringLiteral("Free Morvane"));

    for (std::size_t i = 0; i < m_aboutLabels.size(); ++i) {
        m_aboutLabels[i] = new QLabel(QString::fromLatin1(kAboutTexts[i]), m_aboutTab);
        m_aboutLabels[i]->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    }
    m_versionLabel = new QLabel(QStringLiteral("Version 1.1"), this);
    m_versionLabel->setStyleSheet(QStringLiteral("QLabel { color: #6c6c6c;font: 9pt;}"));

    layoutChildren();
    setWindowIcon(programIcon());
}

void UI_Tarnwick::layoutChildren() {
    const int W = width();
    const int H = height();
    m_tabWidget->setGeometry(50, 20, W - 100, H - 60);
    const int w = m_tabWidget->width();
    const int h = m_tabWidget->height();
    m_splitTab->setGeometry(0, 0, w, h);
    m_joinTab->setGeometry(0, 0, w, h);
    m_aboutTab->setGeometry(0, 0, w, h);
    // Reaches past the window's right edge on purpose; the window clips it.
    m_versionLabel->setGeometry(W - 80, H - 30, 100, 20);
    m_splitWidget->layoutPage(0, 30, w, h);
    m_joinWidget->layoutPage(0, 30, w, h);
    for (int i = 0; i < static_cast<int>(m_aboutLabels.size()); ++i)
        m_aboutLabels[static_cast<std::size_t>(i)]->setGeometry(
            QRect(QPoint(30, 80 + 40 * i), QPoint(w - 1, 119 + 40 * i)));
}

void UI_Tarnwick::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutChildren();
}

void UI_Tarnwick::mousePressEvent(QMouseEvent* event) {
    m_dragging = true;
    m_pressPos = event->position().toPoint();
}

void UI_Tarnwick::mouseMoveEvent(QMouseEvent* event) {
    if (!m_dragging) return;
    // The window moves under the pointer, so the grabbed point stays under it.
    setGeometry(geometry().translated(event->position().toPoint() - m_pressPos));
}

void UI_Tarnwick::mouseReleaseEvent(QMouseEvent*) {
    m_dragging = false;
}

void UI_Tarnwick::closeEvent(QCloseEvent* event) {
    if (!m_splitWidget->jobActive() && !m_joinWidget->jobActive()) {
        event->accept();
        return;
    }
    // A job that ends during the question reports after the answer, or not at all on a close.
    m_splitWidget->holdJobEnd();
    m_joinWidget->holdJobEnd();
    // Held meanwhile: a job that finished under the question could not be stopped any more.
    m_splitWidget->pauseJob();
    m_joinWidget->pauseJob();
    const bool cancel = askCancelJob(this);
    if (cancel) {
        m_splitWidget->cancelJobAndWait();
        m_joinWidget->cancelJobAndWait();
    }
    m_splitWidget->resumeJob();
    m_joinWidget->resumeJob();
    m_splitWidget->releaseJobEnd();
    m_joinWidget->releaseJobEnd();
    if (cancel)
        event->accept();
    else
        event->ignore();
}
