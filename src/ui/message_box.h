#pragma once
// A message box with a title line, an optional icon, a wrapped text, OK and Cancel, the
// shorthand showMessage that asks one question with a warning icon, and the question whether
// to cancel a running job.

#include <QDialog>
#include <QPoint>
#include <QString>
#include <functional>

class QFrame;
class QLabel;
class QMouseEvent;
class QPixmap;
class QPushButton;

class UI_MyMessageBox : public QDialog {
    Q_OBJECT
public:
    explicit UI_MyMessageBox(QWidget* parent = nullptr);

    // Moves the box and fixes its size; call setContent afterwards to place the children.
    void placeAt(int x, int y, int width, int height);
    // Sets the texts and which buttons show, and places the children for the current size. A
    // single button is centred.
    void setContent(const QString& title, const QString& text, bool showOk, bool showCancel);
    // Paints pixmap as the icon's background, clipped to 30 x 30.
    void setIconPixmap(const QPixmap& pixmap);
    // Captions that say what each button does.
    void setButtonTexts(const QString& ok, const QString& cancel);
    // Enter, Space and Escape all answer Cancel: for a question whose OK loses something.
    void preferCancel();

    QLabel* titleLabel;
    QLabel* iconLabel;
    QLabel* textLabel;
    QPushButton* okButton;
    QPushButton* cancelButton;
    QFrame* outline;
    // True: the text sits to the right of the icon.
    bool iconMode = false;
    // 1 after OK; 0 after Cancel or any other way out.
    int result = 0;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private slots:
    void okButton_slots();
    void cancelButton_slots();

private:
    bool m_dragging = false;
    QPoint m_pressPos;
};

// Shows a box with a warning icon, centred across parent and below its middle, and waits for
// it. 1 when the user pressed OK, otherwise 0. Without a parent the box is centred on the
// primary screen. The box is 240 x 140, or as much larger as its text needs.
int showMessage(QWidget* parent, const QString& title, const QString& text, bool showOk,
                bool showCancel);

// A yes-or-no question about a job before it starts: replacing what stands where it writes,
// leaving out what a set cannot hold. True for yes. The program asks with a message box whose
// Cancel is the default and Escape's answer; a test installs an asker of its own.
using QuestionAsker = std::function<bool(QWidget* parent, const QString& question)>;
QuestionAsker setQuestionAsker(QuestionAsker asker);
// Asks question with OK and Cancel, centred across parent.
bool askQuestion(QWidget* parent, const QString& question);

// Whether to cancel the running job: true to cancel. The program asks with a message box; a
// test installs an asker of its own.
using CancelAsker = std::function<bool(QWidget* parent)>;

// Installs asker for every later question and returns the one it replaces. An empty asker
// brings the message box back.
CancelAsker setCancelAsker(CancelAsker asker);

// Asks "Cancel the running job?" with "Stop the job" and "Keep running", centred across
// parent; Enter and Escape keep it running.
bool askCancelJob(QWidget* parent);
