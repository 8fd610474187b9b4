// The Join File page: listing a chunk set, and joins run through it, from sets that the
// Split File page made.

#include <QCheckBox>
#include <QComboBox>
#include <QDirIterator>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTreeWidget>

#include "page_helpers.h"
#include "ui/join_widget.h"
#include "ui/progress_widget.h"
#include "ui/split_widget.h"
#include "ui/tarnwick.h"
#include "work/workers.h"

using namespace test;

namespace {

const QString kNote = QStringLiteral(
    "Note: A file with the same name as the output file already exists. Morvane will overwite "
    "it.");
const QString kNotValid = QStringLiteral("input path is not valid!");

bool waitForEnd(ModalResponder& responder, const QThread* worker, qsizetype before) {
    return QTest::qWaitFor(
        [&] {
            return responder.completions.size() + responder.messages.size() > before &&
                   !worker->isRunning();
        },
        kJobTimeoutMs);
}

// Splits source (a file or a folder) into out through the Split page, count chunks.
bool splitThroughPage(UI_Tarnwick& window, ModalResponder& responder, const QString& source,
                      const QString& out, int count) {
    UI_SplitWidget* page = window.m_splitWidget;
    {
        PathAnswers answers({source});
        if (QFileInfo(source).isDir())
            page->input_folderButton->click();
        else
            page->input_fileButton->click();
    }
    page->output_LineEdit->setText(out);
    page->split_bycount_RadioButton->click();
    retype(page->split_bycount_LineEdit, QString::number(count));
    page->m_split_Button->click();
    const qsizetype before = responder.completions.size() + responder.messages.size();
    return waitForEnd(responder, page->m_SplitDoingThread, before) &&
           responder.completions.last() == QStringLiteral("Splitting Completed!");
}

void listThroughPage(UI_JoinWidget* page, const QString& chunkFolder) {
    PathAnswers answers({chunkFolder});
    page->input_joinfolderButton->click();
}

// Clicks Join and waits for the end of the job: a completion dialog or a message. What the
// click itself shows before the job starts (the note, the password) does not count.
bool joinAndWait(UI_JoinWidget* page, ModalResponder& responder) {
    page->m_join_Button->click();
    const qsizetype before = responder.completions.size() + responder.messages.size();
    return waitForEnd(responder, page->m_JoinDoingThread, before);
}

bool showsImage(QTreeWidget* tree, int row, const QString& image) {
    auto* label = qobject_cast<QLabel*>(tree->itemWidget(tree->topLevelItem(row), 2));
    return label != nullptr && label->pixmap().toImage() == QPixmap(image).toImage();
}

// Every file below folder with its bytes, by relative path.
QMap<QString, QByteArray> treeContents(const QString& folder) {
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        files.insert(QDir(folder).relativeFilePath(file), readFile(file));
    }
    return files;
}

}  // namespace

class JoinPageTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir tmp;
    int serial = 0;

    // A fresh folder for one test.
    QString freshFolder() {
        const QString folder = tmp.filePath(QString::number(++serial));
        QDir().mkpath(folder);
        return folder;
    }

private slots:
    void initTestCase() { QVERIFY(tmp.isValid()); }

    void listingMarksEveryChunk() {
        const QString base = freshFolder();
        const QString file = base + "/data.tar.gz";
        QVERIFY(writeFile(file, patternBytes(40000, 21)));
        UI_Tarnwick window;
        ModalResponder responder;
        QVERIFY(splitThroughPage(window, responder, file, base, 4));
        const QString chunks = base + "/data_spt";
        // One chunk changed within its fingerprinted start, one gone.
        QByteArray changed = readFile(chunks + "/data_1.spt");
        changed[100] = static_cast<char>(changed[100] ^ 0x5a);
        QVERIFY(writeFile(chunks + "/data_1.spt", changed));
        QVERIFY(QFile::remove(chunks + "/data_3.spt"));

        UI_JoinWidget* page = window.m_joinWidget;
        QVERIFY(!page->m_join_Button->isEnabled());
        listThroughPage(page, chunks);
        QCOMPARE(responder.messages, QStringList());
        QTreeWidget* tree = page->input_joinTreeWidget;
        QCOMPARE(tree->topLevelItemCount(), 4);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(tree->topLevelItem(i)->text(0),
                     chunks + QStringLiteral("/data_%1.spt").arg(i));
        QCOMPARE(tree->topLevelItem(0)->text(1), QStringLiteral("10000"));
        QCOMPARE(tree->topLevelItem(3)->text(1), QStringLiteral("-1"));
        QVERIFY(showsImage(tree, 0, ":/image/right.png"));
        QVERIFY(showsImage(tree, 1, ":/image/wrong.png"));
        QVERIFY(showsImage(tree, 2, ":/image/right.png"));
        QVERIFY(showsImage(tree, 3, ":/image/wrong.png"));
        QCOMPARE(page->output_LineEdit->text(), base);
        QCOMPARE(page->m_sourceName, QStringLiteral("data.tar.gz"));
        QVERIFY(page->m_join_Button->isEnabled());

        // A cancelled dialog disables Join and keeps the rows.
        listThroughPage(page, QString());
        QVERIFY(!page->m_join_Button->isEnabled());
        QCOMPARE(tree->topLevelItemCount(), 4);
    }

    void aFolderWithoutAManifestCannotBeJoined() {
        const QString base = freshFolder();
        const QString notASet = base + "/plain";
        QVERIFY(writeFile(notASet + "/a.txt", "text"));
        const QString out = base + "/out";
        QVERIFY(QDir().mkpath(out));
        UI_Tarnwick window;
        UI_JoinWidget* page = window.m_joinWidget;
        ModalResponder responder;
        listThroughPage(page, notASet);
        QCOMPARE(responder.messages, QStringList{kNotValid});
        QCOMPARE(page->input_joinTreeWidget->topLevelItemCount(), 0);
        QVERIFY(page->m_sourceName.isEmpty());
        QVERIFY(page->m_join_Button->isEnabled());

        page->output_LineEdit->setText(out);
        page->m_join_Button->click();
        QCOMPARE(responder.messages, QStringList({kNotValid, kNotValid}));
        QVERIFY(!page->m_JoinDoingThread->isRunning());
        QVERIFY(!page->m_ProgressWidget->isVisible());
        QCOMPARE(namesIn(out), QStringList());
    }

    void aFileGoesThroughBothPagesUnchanged_data() {
        QTest::addColumn<int>("size");
        QTest::newRow("250000 bytes") << 250000;
        QTest::newRow("empty") << 0;
    }

    void aFileGoesThroughBothPagesUnchanged() {
        QFETCH(int, size);
        const QString base = freshFolder();
        const QString file = base + "/report.pdf";
        const QByteArray bytes = patternBytes(size, 22);
        QVERIFY(writeFile(file, bytes));
        UI_Tarnwick window;
        ModalResponder responder;
        QVERIFY(splitThroughPage(window, responder, file, base, 4));
        QCOMPARE(window.m_splitWidget->m_DialogWidget->folderPath, base);
        const QString chunks = base + "/report_spt";
        if (size == 0) {
            QCOMPARE(namesIn(chunks), QStringList{"spt_config.qorvelx"});
        } else {
            QCOMPARE(namesIn(chunks), QStringList({"report_0.spt", "report_1.spt", "report_2.spt",
                                                   "report_3.spt", "spt_config.qorvelx"}));
            QCOMPARE(readFile(chunks + "/report_3.spt"), bytes.mid(3 * size / 4));
        }

        UI_JoinWidget* page = window.m_joinWidget;
        listThroughPage(page, chunks);
        QCOMPARE(page->input_joinTreeWidget->topLevelItemCount(), size == 0 ? 0 : 4);
        const QString out = base + "/joined";
        QVERIFY(QDir().mkpath(out));
        page->output_LineEdit->setText(out);
        QVERIFY(joinAndWait(page, responder));
        QCOMPARE(responder.messages, QStringList());
        QCOMPARE(responder.completions.last(), QStringLiteral("Joining Completed!"));
        QCOMPARE(page->m_DialogWidget->folderPath, out);
        QVERIFY(!page->m_ProgressWidget->isVisible());
        QVERIFY(QFileInfo::exists(out + "/report.pdf"));
        QCOMPARE(readFile(out + "/report.pdf"), bytes);
        // Without the delete option the set stays listed and can be joined again.
        QVERIFY(page->m_join_Button->isEnabled());
        QVERIFY(QFile::exists(base + "/report_spt/spt_config.qorvelx"));
        // The last progress stays shown; nothing to do shows as 0%, not as a division by zero.
        QCOMPARE(page->m_ProgressWidget->percentLabel->text(),
                 size == 0 ? QStringLiteral("0%") : QStringLiteral("100%"));
        QVERIFY(!page->m_join_Timer1->isActive());
    }

    void aFolderGoesThroughBothPagesUnchanged() {
        const QString base = freshFolder();
        const QString source = base + "/photos";
        QVERIFY(writeFile(source + "/a.jpg", patternBytes(70000, 23)));
        QVERIFY(writeFile(source + "/2023/b.jpg", patternBytes(1, 24)));
        QVERIFY(writeFile(source + "/2023/deep/c.raw", patternBytes(130001, 25)));
        QVERIFY(writeFile(source + "/2024/empty.txt", QByteArray()));
        UI_Tarnwick window;
        ModalResponder responder;
        QVERIFY(splitThroughPage(window, responder, source, base, 7));

        UI_JoinWidget* page = window.m_joinWidget;
        listThroughPage(page, base + "/photos_spt");
        // Every chunk but the manifest is listed: the count asked for, though it does not
        // divide the size.
        QCOMPARE(page->input_joinTreeWidget->topLevelItemCount(), 7);
        QCOMPARE(namesIn(base + "/photos_spt").size(), 8);
        const QString out = base + "/restored";
        QVERIFY(QDir().mkpath(out));
        page->output_LineEdit->setText(out);
        QVERIFY(joinAndWait(page, responder));
        QCOMPARE(responder.messages, QStringList());
        QCOMPARE(treeContents(out + "/photos"), treeContents(source));
    }

    void aProtectedSetJoinsOnlyWithItsPassword() {
        const QString base = freshFolder();
        const QString file = base + "/secret.doc";
        const QByteArray bytes = patternBytes(50000, 26);
        QVERIFY(writeFile(file, bytes));
        UI_Tarnwick window;
        ModalResponder responder;
        responder.password = [](UI_inputpwdWidget* dialog) {
            typePassword(dialog->pwd1LineEdit, "tiger");
            typePassword(dialog->pwd2LineEdit, "tiger");
            dialog->okButton->click();
        };
        window.m_splitWidget->entry_pwd_CheckBox->click();
        QVERIFY(splitThroughPage(window, responder, file, base, 2));

        UI_JoinWidget* page = window.m_joinWidget;
        listThroughPage(page, base + "/secret_spt");
        QCOMPARE(page->m_check.manifest.passwordDigest.size(), std::size_t{32});
        const QString out = base + "/out";
        QVERIFY(QDir().mkpath(out));
        page->output_LineEdit->setText(out);

        QString refusal;
        responder.password = [&](UI_inputpwdWidget* dialog) {
            QVERIFY(dialog->type2_pwd_Widget->isVisible());
            typePassword(dialog->type2_pwdLineEdit, "lion");
            dialog->type2_okButton->click();
            refusal = dialog->type2_error_Label->text();
            dialog->type2_cancelButton->click();
        };
        const int runs = responder.passwordRuns;
        page->m_join_Button->click();
        QCOMPARE(responder.passwordRuns, runs + 1);
        QCOMPARE(refusal, QStringLiteral("Sorry, your password is wrong"));
        QVERIFY(!page->m_JoinDoingThread->isRunning());
        QVERIFY(!page->m_ProgressWidget->isVisible());
        QCOMPARE(namesIn(out), QStringList());

        responder.password = [](UI_inputpwdWidget* dialog) {
            typePassword(dialog->type2_pwdLineEdit, "tiger");
            dialog->type2_okButton->click();
        };
        QVERIFY(joinAndWait(page, responder));
        QCOMPARE(responder.passwordRuns, runs + 2);
        QCOMPARE(responder.messages, QStringList());
        QCOMPARE(readFile(out + "/secret.doc"), bytes);
    }

    void theOverwriteNoteCanStopTheJoin() {
        const QString base = freshFolder();
        const QString file = base + "/song.mp3";
        const QByteArray bytes = patternBytes(20000, 27);
        QVERIFY(writeFile(file, bytes));
        UI_Tarnwick window;
        ModalResponder responder;
        QVERIFY(splitThroughPage(window, responder, file, base, 3));
        const QString out = base + "/out";
        const QByteArray older = "an older song";
        QVERIFY(writeFile(out + "/song.mp3", older));

        UI_JoinWidget* page = window.m_joinWidget;
        listThroughPage(page, base + "/song_spt");
        page->output_LineEdit->setText(out);
        responder.cancelNotes = true;
        page->m_join_Button->click();
        QCOMPARE(responder.messages, QStringList{kNote});
        QVERIFY(!page->m_JoinDoingThread->isRunning());
        QVERIFY(!page->m_ProgressWidget->isVisible());
        QCOMPARE(readFile(out + "/song.mp3"), older);

        responder.cancelNotes = false;
        QVERIFY(joinAndWait(page, responder));
        QCOMPARE(responder.messages, QStringList({kNote, kNote}));
        QCOMPARE(responder.completions.last(), QStringLiteral("Joining Completed!"));
        QCOMPARE(readFile(out + "/song.mp3"), bytes);
    }

    void deleteAfterJoinRemovesExactlyTheListedChunks() {
        const QString base = freshFolder();
        const QString file = base + "/video.mkv";
        const QByteArray bytes = patternBytes(90000, 28);
        QVERIFY(writeFile(file, bytes));
        UI_Tarnwick window;
        ModalResponder responder;
        QVERIFY(splitThroughPage(window, responder, file, base, 5));
        const QString chunks = base + "/video_spt";
        QVERIFY(writeFile(chunks + "/notes.txt", "mine"));
        QVERIFY(writeFile(chunks + "/video_5.spt", "not part of the set"));

        UI_JoinWidget* page = window.m_joinWidget;
        listThroughPage(page, chunks);
        QCOMPARE(page->input_joinTreeWidget->topLevelItemCount(), 5);
        const QString out = base + "/out";
        QVERIFY(QDir().mkpath(out));
        page->output_LineEdit->setText(out);
        page->delete_chunks_CheckBox->setChecked(true);
        QVERIFY(joinAndWait(page, responder));
        QCOMPARE(responder.messages, QStringList());
        QCOMPARE(readFile(out + "/video.mkv"), bytes);
        QCOMPARE(namesIn(chunks), QStringList({"notes.txt", "spt_config.qorvelx", "video_5.spt"}));
        QCOMPARE(page->input_joinTreeWidget->topLevelItemCount(), 0);
        QVERIFY(!page->m_join_Button->isEnabled());
    }

    void aFailedJoinKeepsTheChunksAndSaysWhy() {
        const QString base = freshFolder();
        const QString file = base + "/album.zip";
        QVERIFY(writeFile(file, patternBytes(30000, 29)));
        UI_Tarnwick window;
        ModalResponder responder;
        QVERIFY(splitThroughPage(window, responder, file, base, 3));
        const QString chunks = base + "/album_spt";
        const QStringList before = namesIn(chunks);

        UI_JoinWidget* page = window.m_joinWidget;
        listThroughPage(page, chunks);
        const QString missing = base + "/no-such-folder";
        page->output_LineEdit->setText(missing);
        page->delete_chunks_CheckBox->setChecked(true);
        const qsizetype completions = responder.completions.size();
        QVERIFY(joinAndWait(page, responder));
        QCOMPARE(responder.completions.size(), completions);
        QCOMPARE(responder.messages.size(), 1);
        const QString shown = responder.messages[0];
        QCOMPARE(responder.titles, QStringList{"Joining failed!"});
        QVERIFY2(shown.startsWith(missing + "/album.zip: "), qPrintable(shown));
        QVERIFY2(shown.contains(QStringLiteral("No such file or directory")), qPrintable(shown));
        QCOMPARE(namesIn(chunks), before);
        QCOMPARE(page->input_joinTreeWidget->topLevelItemCount(), 3);
        QVERIFY(!page->m_ProgressWidget->isVisible());
    }

    void aCancelledJoinLeavesNothingAndKeepsTheChunks() {
        const QString base = freshFolder();
        const QString file = base + "/film.mov";
        QVERIFY(sparseFile(file, 40 * kMiB));
        UI_Tarnwick window;
        ModalResponder responder;
        QVERIFY(splitThroughPage(window, responder, file, base, 4));
        QVERIFY(QFile::remove(file));
        const QString chunks = base + "/film_spt";
        const QStringList before = namesIn(chunks);

        UI_JoinWidget* page = window.m_joinWidget;
        listThroughPage(page, chunks);
        page->delete_chunks_CheckBox->setChecked(true);
        CancelAnswers yes(true);
        page->m_join_Button->click();
        QTest::keyClick(page->m_ProgressWidget, Qt::Key_Escape);
        QCOMPARE(yes.asked, 1);
        QVERIFY(page->m_ProgressWidget->isVisible());
        QVERIFY(QTest::qWaitFor([&] { return !page->jobActive(); }, kJobTimeoutMs));
        QCOMPARE(responder.messages, QStringList{"Joining cancelled"});
        QVERIFY(!QFileInfo::exists(file));
        QCOMPARE(namesIn(chunks), before);
        QCOMPARE(page->input_joinTreeWidget->topLevelItemCount(), 4);
    }
};

QTEST_MAIN(JoinPageTest)
#include "test_ui_join_page.moc"
