// The Join File page: listing a chunk set, and joins run through it, from sets that the
// Split File page made.

#include <QCheckBox>
#include <QComboBox>
#include <QDirIterator>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTreeView>

#include "join_helpers.h"
#include "ui/images.h"
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
const QString kAddFirst = QStringLiteral("Add a chunk folder first");
const QString kNoList = QString::fromLatin1(kNoChecksumListNote);

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
    page->output_LineEdit->setPath(out);
    page->split_bycount_RadioButton->click();
    retype(page->split_bycount_LineEdit, QString::number(count));
    page->m_split_Button->click();
    const qsizetype before = responder.completions.size() + responder.messages.size();
    return waitForEnd(responder, page->m_SplitDoingThread, before) &&
           responder.completions.last() == QStringLiteral("Splitting Completed!");
}

// Clicks Join and waits for the end of the job: a completion dialog or a message. What the
// click itself shows before the job starts (the note, the password) does not count.
bool joinAndWait(UI_JoinWidget* page, ModalResponder& responder) {
    if (!settled(page)) return false;
    page->m_join_Button->click();
    if (!settled(page)) return false;
    const qsizetype before = responder.completions.size() + responder.messages.size();
    return waitForEnd(responder, page->m_JoinDoingThread, before);
}

bool showsMark(UI_JoinWidget* page, int row, const QPixmap& mark) {
    const QVariant shown = page->m_rows->index(row, 2).data(Qt::DecorationRole);
    return shown.canConvert<QPixmap>() && shown.value<QPixmap>().toImage() == mark.toImage();
}

// Each row's state word, and whether its mark agrees: the right mark for "ok", the grey one
// for what is not read yet, the rebuild mark for "rebuild", the wrong one for any other.
QStringList statesShown(UI_JoinWidget* page) {
    QStringList states;
    for (int i = 0; i < rowCount(page); ++i) {
        const QString state = cell(page, i, 3);
        const bool right = showsMark(page, i, QPixmap(":/image/right.png"));
        const bool wrong = showsMark(page, i, QPixmap(":/image/wrong.png"));
        const bool rebuild = showsMark(page, i, rebuildMark());
        const bool unchecked = showsMark(page, i, uncheckedMark());
        const bool agrees = right + wrong + rebuild + unchecked == 1 && right == (state == "ok") &&
                            rebuild == (state == "rebuild") &&
                            unchecked == (state == "size ok" || state == "present");
        states.append(agrees ? state : state + " (bad mark)");
    }
    return states;
}

// Changes one byte of file at offset.
bool flipByte(const QString& file, qsizetype offset) {
    QByteArray bytes = readFile(file);
    if (offset >= bytes.size()) return false;
    bytes[offset] = static_cast<char>(bytes[offset] ^ 0x5a);
    return writeFile(file, bytes);
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
    void initTestCase() {
        QVERIFY(tmp.isValid());
        keepSettingsIn(tmp.filePath(QStringLiteral("settings")));
    }
    void init() { forgetSettings(); }

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
        listThroughPage(page, chunks);
        QCOMPARE(responder.messages, QStringList());
        QCOMPARE(rowCount(page), 4);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(cell(page, i, 0, Qt::ToolTipRole),
                     chunks + QStringLiteral("/data_%1.spt").arg(i));
        QCOMPARE(cell(page, 0, 1), QStringLiteral("9.77 KiB"));
        QCOMPARE(cell(page, 3, 1), QStringLiteral("missing"));
        QCOMPARE(statesShown(page), QStringList({"size ok", "changed", "size ok", "missing"}));
        QCOMPARE(page->output_LineEdit->path(), base);
        QCOMPARE(page->m_sourceName, QStringLiteral("data.tar.gz"));
        QVERIFY(page->status_Label->text().contains(QStringLiteral("Verify")));

        // Join with a red mark names every bad chunk and starts nothing.
        clickAndSettle(page, page->m_join_Button);
        QCOMPARE(responder.titles, QStringList{"The chunk set cannot be joined."});
        QCOMPARE(responder.messages,
                 QStringList{"data_1.spt: does not match the manifest\ndata_3.spt: missing"});
        QVERIFY(!page->jobActive());
        QCOMPARE(namesIn(base), QStringList({"data.tar.gz", "data_spt"}));

        // A cancelled dialog keeps the rows.
        listThroughPage(page, QString());
        QCOMPARE(rowCount(page), 4);
    }

    // Before, each of these said only "input path is not valid!".
    void theMessagesSayWhyThereIsNothingToJoin() {
        const QString base = freshFolder();
        const QString notASet = base + "/plain";
        QVERIFY(writeFile(notASet + "/a.txt", "text"));
        const QString killed = base + "/.movie_spt.morvane-partial";
        QVERIFY(writeFile(killed + "/movie_0.spt", "chunk"));
        const QString older = base + "/half";
        QVERIFY(writeFile(older + "/half_0.spt", "chunk"));
        const QString lost = base + "/lost";
        QVERIFY(writeFile(lost + "/lost_0.spt", "chunk"));
        QVERIFY(writeFile(lost + "/lost_0.rec", "parity"));
        UI_Tarnwick window;
        UI_JoinWidget* page = window.m_joinWidget;
        ModalResponder responder;
        clickAndSettle(page, page->m_join_Button);
        clickAndSettle(page, page->verify_Button);
        QCOMPARE(responder.messages, QStringList({kAddFirst, kAddFirst}));

        listThroughPage(page, notASet);
        listThroughPage(page, killed);
        listThroughPage(page, older);
        QCOMPARE(responder.messages.mid(2),
                 QStringList({notASet + " holds no chunk set (no spt_config.qorvelx)",
                              killed + " looks like a split that did not finish",
                              older + " looks like a split that did not finish"}));
        // A lost manifest beside recovery chunks is one line, and Repair may bring it back.
        listThroughPage(page, lost);
        QCOMPARE(responder.messages.size(), 5);
        QCOMPARE(rowCount(page), 2);
        QCOMPARE(cell(page, 0, 3), QStringLiteral("missing"));
        QCOMPARE(cell(page, 1, 0), lost + "/lost_0.rec");
        QCOMPARE(page->status_Label->text(),
                 lost +
                     ": the manifest (spt_config.qorvelx) is lost or damaged; Repair may "
                     "bring it back from the recovery chunks");
        QVERIFY(page->repair_Button->isEnabled());
        listThroughPage(page, notASet);
        QCOMPARE(rowCount(page), 0);
        QVERIFY(page->m_sourceName.isEmpty());
        clickAndSettle(page, page->m_join_Button);
        QCOMPARE(responder.messages.last(), kAddFirst);
        QVERIFY(!page->m_JoinDoingThread->isRunning());
        QVERIFY(!page->m_ProgressWidget->isVisible());
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
        const QString chunks = base + "/report_spt";
        QCOMPARE(window.m_splitWidget->m_DialogWidget->folderPath, chunks);
        if (size == 0) {
            QCOMPARE(namesIn(chunks),
                     QStringList({"spt_checksums.sha256", "spt_config.qorvelx", "spt_tree"}));
        } else {
            QCOMPARE(namesIn(chunks),
                     QStringList({"report_0.spt", "report_1.spt", "report_2.spt", "report_3.spt",
                                  "spt_checksums.sha256", "spt_config.qorvelx", "spt_tree"}));
            QCOMPARE(readFile(chunks + "/report_3.spt"), bytes.mid(3 * size / 4));
        }

        UI_JoinWidget* page = window.m_joinWidget;
        listThroughPage(page, chunks);
        QCOMPARE(rowCount(page), size == 0 ? 0 : 4);
        // The output folder need not exist: the join makes it.
        const QString out = base + "/joined/here";
        page->output_LineEdit->setPath(out);
        QVERIFY(joinAndWait(page, responder));
        QCOMPARE(responder.messages, QStringList());
        QCOMPARE(responder.completions.last(), QStringLiteral("Joining Completed!"));
        QCOMPARE(responder.details.last(),
                 "Written: " + out + "/report.pdf\nEvery byte matched the set's checksum list.");
        QCOMPARE(page->m_DialogWidget->folderPath, out);
        QVERIFY(!page->m_ProgressWidget->isVisible());
        QVERIFY(QFileInfo::exists(out + "/report.pdf"));
        QCOMPARE(readFile(out + "/report.pdf"), bytes);
        // Without the delete option the set stays listed and can be joined again.
        QVERIFY(settled(page));
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
        // Every chunk is listed, none of the side files: the count asked for, though it does
        // not divide the size.
        QCOMPARE(rowCount(page), 7);
        QCOMPARE(namesIn(base + "/photos_spt").size(), 7 + 3);
        const QString out = base + "/restored";
        QVERIFY(QDir().mkpath(out));
        page->output_LineEdit->setPath(out);
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
        QVERIFY(responder.details.last().contains(QStringLiteral("Encrypted with your password")));
        // Two chunk files, as asked, though each holds a little less than its size.
        QCOMPARE(namesIn(base + "/secret_spt").filter(QStringLiteral(".spt")),
                 QStringList({"secret_0.spt", "secret_1.spt"}));

        UI_JoinWidget* page = window.m_joinWidget;
        listThroughPage(page, base + "/secret_spt");
        // "Encrypt Data" encrypts: no chunk holds the file's bytes.
        QVERIFY(page->m_check.manifest.isSealed());
        for (const QString& chunk :
             {QStringLiteral("/secret_0.spt"), QStringLiteral("/secret_1.spt")})
            QVERIFY(!bytes.contains(readFile(base + "/secret_spt" + chunk).left(64)));
        QVERIFY(page->status_Label->text().startsWith(QStringLiteral("Encrypted")));
        const QString out = base + "/out";
        QVERIFY(QDir().mkpath(out));
        page->output_LineEdit->setPath(out);

        QString refusal;
        responder.password = [&](UI_inputpwdWidget* dialog) {
            QVERIFY(dialog->type2_pwd_Widget->isVisible());
            typePassword(dialog->type2_pwdLineEdit, "lion");
            dialog->type2_okButton->click();
            refusal = dialog->type2_error_Label->text();
            dialog->type2_cancelButton->click();
        };
        const int runs = responder.passwordRuns;
        clickAndSettle(page, page->m_join_Button);
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
        page->output_LineEdit->setPath(out);
        // The note names the file it replaces.
        const QString note = kNote + "\nReplaced: " + out + "/song.mp3 (a file of 13 bytes).";
        {
            QuestionAnswers no(false);
            clickAndSettle(page, page->m_join_Button);
            QCOMPARE(no.asked, QStringList{note});
        }
        QVERIFY(!page->m_JoinDoingThread->isRunning());
        QVERIFY(!page->m_ProgressWidget->isVisible());
        QCOMPARE(readFile(out + "/song.mp3"), older);

        QuestionAnswers yes(true);
        QVERIFY(joinAndWait(page, responder));
        QCOMPARE(yes.asked, QStringList{note});
        QCOMPARE(responder.messages, QStringList());
        QCOMPARE(responder.completions.last(), QStringLiteral("Joining Completed!"));
        QCOMPARE(readFile(out + "/song.mp3"), bytes);
    }

    // Before, the note spoke of "a file" and then deleted a whole folder, with what the
    // user had put in it; and Enter said yes.
    void theOverwriteNoteNamesWhatTheSetDidNotMakeAndNoKeySaysYes() {
        const QString base = freshFolder();
        const QString album = base + "/album";
        QVERIFY(writeFile(album + "/one.txt", patternBytes(9000, 46)));
        QVERIFY(writeFile(album + "/deep/two.txt", patternBytes(9000, 47)));
        UI_Tarnwick window;
        {
            ModalResponder responder;
            QVERIFY(splitThroughPage(window, responder, album, base, 3));
        }
        const QString out = base + "/out";
        // An earlier join, and what the user added to it since.
        QVERIFY(writeFile(out + "/album/one.txt", "older"));
        QVERIFY(writeFile(out + "/album/diary.txt", "mine"));
        QVERIFY(QDir().mkpath(out + "/album/photos"));
        UI_JoinWidget* page = window.m_joinWidget;
        listThroughPage(page, base + "/album_spt");
        page->output_LineEdit->setPath(out);
        const QString note = kNote + "\nReplaced: " + out +
                             "/album (a folder with 3 entries).\n"
                             "Deleted with it, not made by this set: diary.txt, photos.";
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
            KeyAnswer answer(key);
            clickAndSettle(page, page->m_join_Button);
            QCOMPARE(answer.texts, QStringList{note});
            QVERIFY(!page->jobActive());
            QCOMPARE(namesIn(out + "/album"), QStringList({"diary.txt", "one.txt", "photos"}));
            QCOMPARE(readFile(out + "/album/one.txt"), QByteArray("older"));
        }
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
        QCOMPARE(rowCount(page), 5);
        const QString out = base + "/out";
        QVERIFY(QDir().mkpath(out));
        page->output_LineEdit->setPath(out);
        page->delete_chunks_CheckBox->setChecked(true);
        QVERIFY(joinAndWait(page, responder));
        QCOMPARE(responder.messages, QStringList());
        QCOMPARE(readFile(out + "/video.mkv"), bytes);
        QCOMPARE(namesIn(chunks), QStringList({"notes.txt", "spt_checksums.sha256",
                                               "spt_config.qorvelx", "spt_tree", "video_5.spt"}));
        QVERIFY(responder.details.last().contains(QStringLiteral("The chunk files were deleted.")));
        QCOMPARE(rowCount(page), 0);
        QVERIFY(!page->m_listingValid);
        // Deleting is asked for each job anew.
        QVERIFY(!page->delete_chunks_CheckBox->isChecked());
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
        // A file where the output folder should be.
        const QString notAFolder = base + "/a-file";
        QVERIFY(writeFile(notAFolder, "x"));
        page->output_LineEdit->setPath(notAFolder);
        page->delete_chunks_CheckBox->setChecked(true);
        const qsizetype completions = responder.completions.size();
        QVERIFY(joinAndWait(page, responder));
        QCOMPARE(responder.completions.size(), completions);
        QCOMPARE(responder.messages.size(), 1);
        const QString shown = responder.messages[0];
        QCOMPARE(responder.titles, QStringList{"Joining failed!"});
        QVERIFY2(shown.startsWith(notAFolder), qPrintable(shown));
#ifdef Q_OS_WIN
        // Windows says only that the path was not found, with its number.
        QVERIFY2(shown.contains(QStringLiteral("(Windows error 3)")), qPrintable(shown));
#else
        QVERIFY2(shown.contains(QStringLiteral("Not a directory")), qPrintable(shown));
#endif
        QCOMPARE(namesIn(chunks), before);
        QCOMPARE(rowCount(page), 3);
        QVERIFY(!page->m_ProgressWidget->isVisible());
        QVERIFY(!page->delete_chunks_CheckBox->isChecked());
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
        clickAndSettle(page, page->m_join_Button);
        QTest::keyClick(page->m_ProgressWidget, Qt::Key_Escape);
        QCOMPARE(yes.asked, 1);
        QVERIFY(page->m_ProgressWidget->isVisible());
        QVERIFY(QTest::qWaitFor([&] { return !page->jobActive(); }, kJobTimeoutMs));
        QCOMPARE(responder.messages, QStringList{"Joining cancelled"});
        QVERIFY(!QFileInfo::exists(file));
        QCOMPARE(namesIn(chunks), before);
        QCOMPARE(rowCount(page), 4);
    }

    // A change past a chunk's fingerprinted start shows only when every byte is read: by
    // Verify, or by the join, which refuses the set and marks the chunk.
    void verifyAndJoinMarkAChunkChangedPastItsStart() {
        const QString base = freshFolder();
        const QString file = base + "/disk.img";
        QVERIFY(writeFile(file, patternBytes(40000, 41)));
        UI_Tarnwick window;
        ModalResponder responder;
        QVERIFY(splitThroughPage(window, responder, file, base, 4));
        const QString chunks = base + "/disk_spt";
        QVERIFY(flipByte(chunks + "/disk_2.spt", 5000));

        for (const bool byVerify : {true, false}) {
            UI_JoinWidget* page = window.m_joinWidget;
            listThroughPage(page, chunks);
            QCOMPARE(statesShown(page), QStringList({"size ok", "size ok", "size ok", "size ok"}));
            const qsizetype before = responder.completions.size() + responder.messages.size();
            if (byVerify) {
                clickAndSettle(page, page->verify_Button);
                QCOMPARE(page->m_ProgressWidget->captionLabel->text(),
                         QStringLiteral("Verifying..."));
                QVERIFY(waitForEnd(responder, page->m_JoinDoingThread, before));
                QCOMPARE(responder.titles.last(), QStringLiteral("The chunk set is damaged."));
                QCOMPARE(responder.messages.last(),
                         QStringLiteral("disk_2.spt: does not match its checksum"));
                QCOMPARE(statesShown(page), QStringList({"ok", "ok", "damaged", "ok"}));
                // What Verify found stops the join before it starts.
                clickAndSettle(page, page->m_join_Button);
                QCOMPARE(responder.titles.last(),
                         QStringLiteral("The chunk set cannot be joined."));
                QVERIFY(!page->jobActive());
            } else {
                page->output_LineEdit->setPath(base + "/out");
                QVERIFY(joinAndWait(page, responder));
                QCOMPARE(responder.titles.last(), QStringLiteral("Joining failed!"));
                QCOMPARE(responder.messages.last(),
                         chunks + "/disk_2.spt: does not match its checksum");
            }
            QVERIFY(settled(page));
            QCOMPARE(statesShown(page), QStringList({"ok", "ok", "damaged", "ok"}));
            QCOMPARE(cell(page, 2, 1), QStringLiteral("9.77 KiB"));
        }
        QVERIFY(!QFileInfo::exists(base + "/out"));
        QCOMPARE(responder.completions.size(), 1);
    }

    void aCancelledVerifyKeepsTheMarks() {
        const QString base = freshFolder();
        const QString file = base + "/big.bin";
        QVERIFY(sparseFile(file, 32 * kMiB));
        UI_Tarnwick window;
        ModalResponder responder;
        QVERIFY(splitThroughPage(window, responder, file, base, 4));
        UI_JoinWidget* page = window.m_joinWidget;
        listThroughPage(page, base + "/big_spt");
        // The pop-up's own Cancel button is the user's word: nothing is asked.
        CancelAnswers unasked(false);
        clickAndSettle(page, page->verify_Button);
        page->m_ProgressWidget->cancelButton->click();
        QCOMPARE(unasked.asked, 0);
        QVERIFY(QTest::qWaitFor([&] { return !page->jobActive(); }, kJobTimeoutMs));
        QCOMPARE(responder.messages, QStringList{"Verifying cancelled"});
        QCOMPARE(statesShown(page), QStringList({"size ok", "size ok", "size ok", "size ok"}));
        QVERIFY(!page->m_ProgressWidget->isVisible());
    }

    void aSetWithoutAChecksumListSaysItsBytesWereNotChecked() {
        const QString base = freshFolder();
        const QString file = base + "/old.dat";
        const QByteArray bytes = patternBytes(30000, 42);
        QVERIFY(writeFile(file, bytes));
        UI_Tarnwick window;
        ModalResponder responder;
        QVERIFY(splitThroughPage(window, responder, file, base, 3));
        QVERIFY(QFile::remove(base + "/old_spt/spt_checksums.sha256"));
        UI_JoinWidget* page = window.m_joinWidget;
        // Any file of the set, dropped on the page, lists the set.
        QVERIFY(dropPaths(page, {base + "/old_spt/old_1.spt"}));
        QVERIFY(settled(page));
        QCOMPARE(page->m_chunkFolder, base + "/old_spt");
        QCOMPARE(rowCount(page), 3);
        QCOMPARE(page->status_Label->text(), kNoList);
        page->output_LineEdit->setPath(base + "/out");
        QVERIFY(joinAndWait(page, responder));
        QCOMPARE(responder.messages, QStringList());
        QCOMPARE(responder.details.last(),
                 "Written: " + base +
                     "/out/old.dat\nThe bytes could not be checked: the set has "
                     "no checksum list.");
        QCOMPARE(readFile(base + "/out/old.dat"), bytes);
    }

    // A lost chunk of a set with a recovery chunk is marked for rebuilding and comes back in
    // the join; with one more lost, Verify and Join say how many more files would be needed.
    void recoveryChunksRebuildWhatASetLost() {
        const QString base = freshFolder();
        const QString file = base + "/movie.mkv";
        const QByteArray bytes = patternBytes(40000, 44);
        QVERIFY(writeFile(file, bytes));
        UI_Tarnwick window;
        ModalResponder responder;
        window.m_splitWidget->recovery_SpinBox->setValue(1);
        QVERIFY(splitThroughPage(window, responder, file, base, 4));
        const QString chunks = base + "/movie_spt";
        UI_JoinWidget* page = window.m_joinWidget;

        // A lost recovery chunk is damage that Verify names, but no reason not to join.
        QVERIFY(QFile::rename(chunks + "/movie_0.rec", base + "/spare"));
        listThroughPage(page, chunks);
        clickAndSettle(page, page->verify_Button);
        QVERIFY(waitForEnd(responder, page->m_JoinDoingThread, responder.completions.size()));
        QCOMPARE(responder.messages, QStringList{"movie_0.rec: missing"});
        page->output_LineEdit->setPath(base + "/whole");
        QVERIFY(joinAndWait(page, responder));
        QCOMPARE(responder.completions.last(), QStringLiteral("Joining Completed!"));
        QVERIFY(QFile::rename(base + "/spare", chunks + "/movie_0.rec"));

        QVERIFY(QFile::remove(chunks + "/movie_2.spt"));
        listThroughPage(page, chunks);
        QCOMPARE(statesShown(page),
                 QStringList({"size ok", "size ok", "rebuild", "size ok", "present"}));
        QCOMPARE(cell(page, 4, 0, Qt::ToolTipRole), chunks + "/movie_0.rec");
        QCOMPARE(cell(page, 4, 1), QStringLiteral("13.77 KiB"));
        page->output_LineEdit->setPath(base + "/out");
        QVERIFY(joinAndWait(page, responder));
        QCOMPARE(responder.messages.size(), 1);
        QCOMPARE(responder.details.last(), "Written: " + base +
                                               "/out/movie.mkv\nRebuilt from recovery data: "
                                               "movie_2.spt\nThe rebuilt bytes, like all "
                                               "others, matched the set's checksum list.");
        QCOMPARE(readFile(base + "/out/movie.mkv"), bytes);

        QVERIFY(QFile::remove(chunks + "/movie_0.spt"));
        page->output_LineEdit->setPath(base + "/out2");
        const qsizetype before = responder.messages.size();
        clickAndSettle(page, page->verify_Button);
        QVERIFY(
            waitForEnd(responder, page->m_JoinDoingThread, before + responder.completions.size()));
        QCOMPARE(responder.messages.last(),
                 QStringLiteral("movie_0.spt: missing\nmovie_2.spt: missing\nThe recovery chunks "
                                "cannot rebuild them: 1 more file would be needed."));
        QCOMPARE(statesShown(page), QStringList({"missing", "ok", "missing", "ok", "ok"}));
        clickAndSettle(page, page->m_join_Button);
        QCOMPARE(responder.titles.last(), QStringLiteral("The chunk set cannot be joined."));
        QCOMPARE(responder.messages.last(), responder.messages[before]);
        QVERIFY(!QFileInfo::exists(base + "/out2"));
    }

    void repairBringsBackALostChunkAndAnUnreadableManifest() {
        const QString base = freshFolder();
        const QString file = base + "/film.mkv";
        QVERIFY(writeFile(file, patternBytes(60000, 45)));
        UI_Tarnwick window;
        ModalResponder responder;
        window.m_splitWidget->recovery_SpinBox->setValue(1);
        QVERIFY(splitThroughPage(window, responder, file, base, 4));
        const QString chunks = base + "/film_spt";
        const QByteArray chunk = readFile(chunks + "/film_1.spt");
        const QByteArray manifest = readFile(chunks + "/spt_config.qorvelx");
        UI_JoinWidget* page = window.m_joinWidget;

        QVERIFY(QFile::remove(chunks + "/film_1.spt"));
        listThroughPage(page, chunks);
        QVERIFY(page->repair_Button->isEnabled());
        // Both kinds of box count: the split before ended with a completion box.
        qsizetype before = responder.completions.size() + responder.messages.size();
        clickAndSettle(page, page->repair_Button);
        QVERIFY(waitForEnd(responder, page->m_JoinDoingThread, before));
        QCOMPARE(responder.titles.last(), QStringLiteral("Repairing Completed!"));
        QCOMPARE(readFile(chunks + "/film_1.spt"), chunk);
        QVERIFY(settled(page));
        QCOMPARE(statesShown(page),
                 QStringList({"size ok", "size ok", "size ok", "size ok", "present"}));

        // A manifest cut short is one line that says so, and Repair writes it back whole.
        QVERIFY(writeFile(chunks + "/spt_config.qorvelx", manifest.left(10)));
        listThroughPage(page, chunks);
        QCOMPARE(cell(page, 0, 0), chunks + "/spt_config.qorvelx");
        QCOMPARE(cell(page, 0, 3), QStringLiteral("unreadable"));
        QVERIFY(page->status_Label->text().startsWith(chunks + ": the manifest"));
        before = responder.completions.size() + responder.messages.size();
        clickAndSettle(page, page->repair_Button);
        QVERIFY(waitForEnd(responder, page->m_JoinDoingThread, before));
        QCOMPARE(responder.titles.last(), QStringLiteral("Repairing Completed!"));
        QCOMPARE(readFile(chunks + "/spt_config.qorvelx"), manifest);
        QVERIFY(settled(page));
        QCOMPARE(rowCount(page), 5);

        // Without recovery chunks there is nothing to repair from.
        QVERIFY(QFile::remove(chunks + "/film_0.rec"));
        listThroughPage(page, chunks);
        QVERIFY(!page->repair_Button->isEnabled());
    }

    // Before, every row read the same, cut at its end.
    void longPathsAreCutInTheMiddleWithTheWholePathAsTooltip() {
        const QString base = freshFolder() + "/very_long_folder_name_" + QString(100, u'f');
        QVERIFY(writeFile(base + "/tape.raw", patternBytes(30000, 43)));
        UI_Tarnwick window;
        ModalResponder responder;
        QVERIFY(splitThroughPage(window, responder, base + "/tape.raw", base, 3));
        UI_JoinWidget* page = window.m_joinWidget;
        listThroughPage(page, base + "/tape_spt");
        // The view cuts each path in the middle as it draws it, so that its file name shows.
        QCOMPARE(page->input_joinTreeWidget->textElideMode(), Qt::ElideMiddle);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(cell(page, i, 0, Qt::ToolTipRole),
                     base + QStringLiteral("/tape_spt/tape_%1.spt").arg(i));
        PathField* out = page->output_LineEdit;
        QCOMPARE(out->toolTip(), base);
        QVERIFY(out->text().contains(QChar(0x2026)));
        // With the focus the field holds the whole path to edit.
        window.m_tabWidget->setCurrentIndex(1);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        out->setFocus();
        QTest::keyClicks(out, "/x");
        QCOMPARE(out->path(), base + "/x");
    }
};

QTEST_MAIN(JoinPageTest)
#include "test_ui_join_page.moc"
