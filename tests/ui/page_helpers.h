#pragma once
// What the page tests share: files in a temporary folder, answers for the file dialogs, and
// a responder that deals with the modal dialogs the pages open while a test waits.

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QStringList>
#include <QTimer>
#include <QtTest>
#include <cstdint>
#include <functional>
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include "ui/dialog_widget.h"
#include "ui/file_dialogs.h"
#include "ui/message_box.h"
#include "ui/password_dialog.h"
#include "ui/path_field.h"

namespace test {

constexpr std::int64_t kMiB = 1048576;
constexpr std::int64_t kGiB = 1073741824;
constexpr int kJobTimeoutMs = 30000;

// Whether engine text outside ASCII converts here: wine 8 lacks the GB18030 code page (54936),
// real Windows and Linux have it.
inline bool gb18030Here() {
#ifdef _WIN32
    return MultiByteToWideChar(54936, MB_ERR_INVALID_CHARS, "\x81\x30\x81\x30", 4, nullptr, 0) > 0;
#else
    return true;
#endif
}
constexpr const char* kWhyNoGb18030 =
    "this system lacks the GB18030 code page (54936), as wine 8 does";

// Bytes that differ from position to position and from seed to seed.
inline QByteArray patternBytes(qsizetype size, std::uint32_t seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    std::uint32_t x = seed * 2654435761u + 1;
    for (qsizetype i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

inline bool writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A file of the given size without its bytes on disk.
inline bool sparseFile(const QString& path, std::int64_t size) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(size);
}

// The names in a folder, sorted.
inline QStringList namesIn(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

// Points the program's settings at folder, so that no test reads or writes the user's.
// Call before the first page is made.
inline void keepSettingsIn(const QString& folder) {
    // In a file, not the registry, which all test programs running at once would share.
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
}

// Forgets every setting: each test starts as a first run.
inline void forgetSettings() {
    QSettings settings(QSettings::defaultFormat(), QSettings::UserScope, "Veltrane", "Morvane");
    settings.clear();
}

// Drags path (one or more) onto to and drops it there; whether to took the drag.
inline bool dropPaths(QWidget* to, const QStringList& paths) {
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& path : paths) urls.append(QUrl::fromLocalFile(path));
    mime.setUrls(urls);
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(to, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(to, &drop);
    return drop.isAccepted();
}

// Answers the questions asked before a job starts (replace? leave out?), and keeps each one.
class QuestionAnswers {
public:
    explicit QuestionAnswers(bool yes) : yes(yes) {
        previous_ = setQuestionAsker([this](QWidget*, const QString& question) {
            asked.append(question);
            return this->yes;
        });
    }
    ~QuestionAnswers() { setQuestionAsker(previous_); }
    QuestionAnswers(const QuestionAnswers&) = delete;
    QuestionAnswers& operator=(const QuestionAnswers&) = delete;

    bool yes;
    QStringList asked;

private:
    QuestionAsker previous_;
};

// Answers the pages' path questions in order; an empty answer is a cancel, and so is a
// question beyond the list.
class PathAnswers {
public:
    explicit PathAnswers(QStringList answers = {}) : answers(std::move(answers)) {
        previous_ = setPathAsker([this](const PathRequest& request) {
            asked.append(request);
            return this->answers.isEmpty() ? QString() : this->answers.takeFirst();
        });
    }
    ~PathAnswers() { setPathAsker(previous_); }
    PathAnswers(const PathAnswers&) = delete;
    PathAnswers& operator=(const PathAnswers&) = delete;

    QStringList answers;
    QList<PathRequest> asked;

private:
    PathAsker previous_;
};

// Answers the question whether to cancel the running job, and counts the questions. While a
// question is open, meanwhile runs first, as a user may act before answering.
class CancelAnswers {
public:
    explicit CancelAnswers(bool cancel) : cancel(cancel) {
        previous_ = setCancelAsker([this](QWidget*) {
            ++asked;
            if (meanwhile) meanwhile();
            return this->cancel;
        });
    }
    ~CancelAnswers() { setCancelAsker(previous_); }
    CancelAnswers(const CancelAnswers&) = delete;
    CancelAnswers& operator=(const CancelAnswers&) = delete;

    bool cancel;
    int asked = 0;
    std::function<void()> meanwhile;

private:
    CancelAsker previous_;
};

// Polls for the modal dialog in front and answers it, also inside the nested event loops
// that the pages' own dialogs run. Message boxes are read and confirmed (or cancelled, when
// they offer Cancel and cancelNotes is set), completion dialogs read and finished, and the
// password dialog handed to password, then closed if still open.
class ModalResponder : public QObject {
public:
    ModalResponder() {
        connect(&timer_, &QTimer::timeout, this, &ModalResponder::poll);
        timer_.start(5);
    }

    QStringList titles;  // of the message boxes, one for each message
    QStringList messages;
    QStringList completions;
    QStringList details;  // of the completion dialogs, one text for each
    bool cancelNotes = false;
    std::function<void(UI_inputpwdWidget*)> password;
    int passwordRuns = 0;

private:
    void poll() {
        if (busy_) return;
        QWidget* front = QApplication::activeModalWidget();
        if (front == nullptr || !front->isVisible()) return;
        busy_ = true;
        if (auto* box = qobject_cast<UI_MyMessageBox*>(front)) {
            titles.append(box->titleLabel->text());
            messages.append(box->textLabel->text());
            const bool cancel = cancelNotes && box->cancelButton->isVisibleTo(box);
            (cancel ? box->cancelButton : box->okButton)->click();
        } else if (auto* done = qobject_cast<UI_DialogWidget*>(front)) {
            completions.append(done->messageLabel->text());
            // Whole, as its tooltip holds it: the box cuts long paths to fit its width, and
            // how much it cuts depends on the letters of each temporary folder's name.
            details.append(done->detailLabel->toolTip());
            done->okButton->click();
        } else if (auto* dialog = qobject_cast<UI_inputpwdWidget*>(front)) {
            ++passwordRuns;
            if (password) password(dialog);
            if (dialog->isVisible()) dialog->reject();
        }
        busy_ = false;
    }

    QTimer timer_;
    bool busy_ = false;
};

// Answers the next message box with a key, pressed where a user's key lands: on the widget
// that has the focus in the box. Keeps the box's text and button captions. The first okFirst
// boxes are answered by a click on OK instead.
class KeyAnswer : public QObject {
public:
    explicit KeyAnswer(Qt::Key key, int okFirst = 0) : key_(key), okFirst_(okFirst) {
        connect(&timer_, &QTimer::timeout, this, &KeyAnswer::poll);
        timer_.start(5);
    }
    QStringList texts;
    QString okText;
    QString cancelText;

private:
    void poll() {
        auto* box = qobject_cast<UI_MyMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) return;
        texts.append(box->textLabel->text());
        okText = box->okButton->text();
        cancelText = box->cancelButton->text();
        if (okFirst_ > 0) {
            --okFirst_;
            box->okButton->click();
            return;
        }
        QWidget* focus = box->focusWidget();
        QTest::keyClick(focus != nullptr ? focus : box, key_);
        // A key the box ignores must not leave a test waiting.
        if (box->isVisible()) box->reject();
    }

    Qt::Key key_;
    int okFirst_;
    QTimer timer_;
};

// Replaces a field's text the way a user does, so that textEdited() fires.
inline void retype(QLineEdit* field, const QString& text) {
    field->selectAll();
    if (text.isEmpty())
        QTest::keyClick(field, Qt::Key_Backspace);
    else
        QTest::keyClicks(field, text);
}

// Clicks into a password field, which takes its hint away, and types text.
inline void typePassword(QLineEdit* field, const QString& text) {
    QTest::mouseClick(field, Qt::LeftButton);
    QTest::keyClicks(field, text);
}

}  // namespace test
