// The Split File page: its size arithmetic, its controls, and splits run through it.

#ifndef _WIN32
#include <sys/stat.h>
#endif
#include <QCheckBox>
#include <QComboBox>
#include <QMenu>
#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <chrono>
#include <string>
#include <thread>

#include "fault_util.h"
#include "jobs/presentation.h"
#include "page_helpers.h"
#include "ui/progress_widget.h"
#include "ui/split_widget.h"
#include "ui/tarnwick.h"
#include "work/workers.h"

using namespace test;

class SplitPageTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir tmp;

    QString path(const QString& name) const { return tmp.filePath(name); }

    // "Add File" answered with file.
    static void chooseFile(UI_SplitWidget* page, const QString& file) {
        PathAnswers answers({file});
        page->input_fileButton->click();
    }

    // Clicks Split and waits for the page's end of the job: a completion dialog or a message.
    static bool splitAndWait(UI_SplitWidget* page, ModalResponder& responder) {
        page->m_split_Button->click();
        const qsizetype before = responder.completions.size() + responder.messages.size();
        return QTest::qWaitFor(
            [&] {
                return responder.completions.size() + responder.messages.size() > before &&
                       !page->m_SplitDoingThread->isRunning();
            },
            kJobTimeoutMs);
    }

private slots:
    void initTestCase() {
        QVERIFY(tmp.isValid());
        keepSettingsIn(path(QStringLiteral("settings")));
    }
    void init() { forgetSettings(); }

    void sizeAndCountFollowEachOther() {
        UI_SplitWidget page;
        page.m_sourceSize = 10 * kMiB;
        page.split_size_ComboBox->setCurrentText("MiB");
        retype(page.split_bysize_LineEdit, "2");
        QCOMPARE(page.split_bycount_LineEdit->text(), QStringLiteral("5"));
        QCOMPARE(page.m_chunkSize, 2 * kMiB);
        retype(page.split_bysize_LineEdit, "3");
        QCOMPARE(page.split_bycount_LineEdit->text(), QStringLiteral("4"));

        // A count whose chunk shows rounded in another unit: the unit follows, and the chunk
        // stays the one that cuts the source into that count.
        page.split_size_ComboBox->setCurrentText("KiB");
        page.split_bycount_RadioButton->click();
        retype(page.split_bycount_LineEdit, "3");
        QCOMPARE(page.split_bysize_LineEdit->text(), QStringLiteral("3"));
        QCOMPARE(page.split_size_ComboBox->currentText(), QStringLiteral("MiB"));
        QCOMPARE(page.split_bycount_LineEdit->text(), QStringLiteral("3"));
        QCOMPARE(page.m_chunkSize, (10 * kMiB + 2) / 3);
        // A count that no whole chunk size gives shows the count that will be written.
        page.m_sourceSize = 2048001;
        retype(page.split_bycount_LineEdit, "2000");
        QCOMPARE(page.m_chunkSize, std::int64_t{1025});
        QCOMPARE(page.split_bycount_LineEdit->text(), QStringLiteral("1999"));

        // Chunks under 1 KiB: the count drops to the source's kibibytes, whole or partial.
        page.m_sourceSize = 5000;
        page.split_size_ComboBox->setCurrentText("KiB");
        retype(page.split_bycount_LineEdit, "10");
        QCOMPARE(page.split_bycount_LineEdit->text(), QStringLiteral("5"));
        QCOMPARE(page.split_bysize_LineEdit->text(), QStringLiteral("1"));
        QCOMPARE(page.m_chunkSize, std::int64_t{1000});
    }

    // Before, 0 or an empty field silently became 1.
    void aZeroOrEmptyFieldIsRefusedWithAMessage() {
        const QString file = path(QStringLiteral("zero.bin"));
        QVERIFY(writeFile(file, patternBytes(5000, 6)));
        UI_Tarnwick window;
        UI_SplitWidget* page = window.m_splitWidget;
        chooseFile(page, file);
        ModalResponder responder;
        for (const char* text : {"0", ""}) {
            retype(page->split_bysize_LineEdit, text);
            QCOMPARE(page->split_bysize_LineEdit->text(), QString::fromLatin1(text));
            page->m_split_Button->click();
        }
        page->split_bycount_RadioButton->click();
        retype(page->split_bycount_LineEdit, "0");
        page->m_split_Button->click();
        const QString noSize = QStringLiteral("The chunk size must be at least 1 byte.");
        QCOMPARE(responder.messages,
                 QStringList({noSize, noSize, "The chunk count must be at least 1."}));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("zero_spt"))));
    }

    void anEmptySourceWritesNoChunkYetKeepsAChunkSize() {
        UI_SplitWidget page;
        page.m_sourceSize = 0;
        page.split_bycount_RadioButton->click();
        retype(page.split_bycount_LineEdit, "10");
        QCOMPARE(page.split_bycount_LineEdit->text(), QStringLiteral("0"));
        QVERIFY(page.m_chunkSize >= 1);
        QCOMPARE(page.split_bysize_LineEdit->text(), QStringLiteral("1"));
    }

    void suggestedChunkSize_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QString>("count");
        QTest::newRow("900 bytes") << qint64(900) << "100"
                                   << "KiB"
                                   << "1";
        QTest::newRow("1 GiB") << qint64(kGiB) << "100"
                               << "MiB"
                               << "11";
        QTest::newRow("20 GiB") << qint64(20 * kGiB) << "2"
                                << "GiB"
                                << "10";
        QTest::newRow("empty") << qint64(0) << "1"
                               << "KiB"
                               << "0";
    }

    void suggestedChunkSize() {
        QFETCH(qint64, size);
        QFETCH(QString, number);
        QFETCH(QString, unit);
        QFETCH(QString, count);
        const QString file = path(QStringLiteral("suggest.bin"));
        QVERIFY(sparseFile(file, size));
        UI_SplitWidget page;
        // A different unit beforehand: the suggestion sets its own.
        page.split_size_ComboBox->setCurrentText(unit == "KiB" ? "GiB" : "KiB");
        chooseFile(&page, file);
        QCOMPARE(page.m_sourceSize, size);
        QCOMPARE(page.split_bysize_LineEdit->text(), number);
        QCOMPARE(page.split_size_ComboBox->currentText(), unit);
        QCOMPARE(page.split_bycount_LineEdit->text(), count);
        QFile::remove(file);
    }

    void aFolderStartsFromTenChunksInEitherMode() {
        const QString folder = path(QStringLiteral("ten"));
        QVERIFY(writeFile(folder + "/a.bin", patternBytes(60000, 1)));
        QVERIFY(writeFile(folder + "/sub/b.bin", patternBytes(40000, 2)));
        UI_SplitWidget page;
        QVERIFY(page.split_bysize_RadioButton->isChecked());
        PathAnswers answers({folder});
        page.input_folderButton->click();
        QCOMPARE(answers.asked.size(), 1);
        QCOMPARE(answers.asked[0].kind, PathRequest::ExistingFolder);
        QCOMPARE(page.m_sourceSize, std::int64_t{100000});
        QCOMPARE(page.split_bycount_LineEdit->text(), QStringLiteral("10"));
        QCOMPARE(page.m_chunkSize, std::int64_t{10000});
        QCOMPARE(page.split_bysize_LineEdit->text(), QStringLiteral("9"));
        QVERIFY(page.split_bysize_RadioButton->isChecked());
        QCOMPARE(page.output_LineEdit->path(), tmp.path());
    }

    void controlsFollowTheSourceAndTheMode() {
        const QString file = path(QStringLiteral("states.dat"));
        QVERIFY(writeFile(file, patternBytes(3000, 3)));
        UI_SplitWidget page;
        QVERIFY(!page.m_split_Button->isEnabled());
        QVERIFY(page.split_bysize_LineEdit->isEnabled());
        QVERIFY(page.split_size_ComboBox->isEnabled());
        QVERIFY(!page.split_bycount_LineEdit->isEnabled());
        QVERIFY(page.split_bysize_LineEdit->text().isEmpty());
        QCOMPARE(page.split_size_ComboBox->currentText(), QStringLiteral("KiB"));

        {  // A cancelled dialog changes nothing.
            PathAnswers cancel;
            page.input_fileButton->click();
            QCOMPARE(cancel.asked.size(), 1);
            QCOMPARE(page.input_TreeWidget->topLevelItemCount(), 0);
            QVERIFY(page.output_LineEdit->path().isEmpty());
        }
        chooseFile(&page, file);
        QCOMPARE(page.input_TreeWidget->topLevelItemCount(), 1);
        QTreeWidgetItem* row = page.input_TreeWidget->topLevelItem(0);
        QCOMPARE(row->text(0), QStringLiteral("states.dat"));
        QCOMPARE(row->toolTip(1), file);
        QCOMPARE(row->text(2), QStringLiteral("2.93 KiB"));
        QCOMPARE(page.output_LineEdit->path(), tmp.path());
        QVERIFY(page.m_split_Button->isEnabled());

        // An empty output folder is the source's own: Split stays.
        page.output_LineEdit->setPath(QString());
        QVERIFY(page.m_split_Button->isEnabled());
        {
            PathAnswers out({tmp.path()});
            page.output_fileButton->click();
        }
        QCOMPARE(page.output_LineEdit->path(), tmp.path());

        page.split_bycount_RadioButton->click();
        QVERIFY(page.split_bycount_LineEdit->isEnabled());
        QVERIFY(!page.split_bysize_LineEdit->isEnabled());
        QVERIFY(!page.split_size_ComboBox->isEnabled());
        const QString size = page.split_bysize_LineEdit->text();
        const QString count = page.split_bycount_LineEdit->text();

        auto* remove = qobject_cast<QPushButton*>(page.input_TreeWidget->itemWidget(row, 3));
        QVERIFY(remove != nullptr);
        QCOMPARE(remove->text(), QStringLiteral("Remove"));
        // A real click: the button goes with its row while it handles the click.
        page.show();
        QTest::mouseClick(remove, Qt::LeftButton);
        QCOMPARE(page.input_TreeWidget->topLevelItemCount(), 0);
        QVERIFY(!page.m_split_Button->isEnabled());
        QCOMPARE(page.split_bysize_LineEdit->text(), size);
        QCOMPARE(page.split_bycount_LineEdit->text(), count);
        QCOMPARE(page.m_sourcePath, file);
    }

    void aSourceThatCannotBeMeasuredIsNotListed() {
        const QString file = path(QStringLiteral("kept.dat"));
        QVERIFY(writeFile(file, patternBytes(2000, 4)));
        UI_Tarnwick window;
        UI_SplitWidget* page = window.m_splitWidget;
        chooseFile(page, file);
        ModalResponder responder;
        chooseFile(page, path(QStringLiteral("no such file")));
        QCOMPARE(responder.messages.size(), 1);
        QCOMPARE(responder.titles, QStringList{"Cannot read the source."});
        QVERIFY(responder.messages[0].startsWith(path(QStringLiteral("no such file: "))));
        QCOMPARE(page->input_TreeWidget->topLevelItemCount(), 1);
        QCOMPARE(page->m_sourcePath, file);
        QCOMPARE(page->m_sourceSize, std::int64_t{2000});
    }

    void aCancelledPasswordUnchecksEncryptData() {
        UI_Tarnwick window;
        UI_SplitWidget* page = window.m_splitWidget;
        ModalResponder responder;
        responder.password = [](UI_inputpwdWidget* dialog) { dialog->cancelButton->click(); };
        page->entry_pwd_CheckBox->click();
        QCOMPARE(responder.passwordRuns, 1);
        QCOMPARE(page->entry_pwd_CheckBox->checkState(), Qt::Unchecked);

        responder.password = [](UI_inputpwdWidget* dialog) {
            typePassword(dialog->pwd1LineEdit, "pw");
            typePassword(dialog->pwd2LineEdit, "pw");
            dialog->okButton->click();
        };
        page->entry_pwd_CheckBox->click();
        QCOMPARE(responder.passwordRuns, 2);
        QCOMPARE(page->entry_pwd_CheckBox->checkState(), Qt::Checked);
        // Unchecking asks nothing.
        page->entry_pwd_CheckBox->click();
        QCOMPARE(responder.passwordRuns, 2);
    }

    void refusedOrdersStartNothing() {
        const QString folder = path(QStringLiteral("refused"));
        QVERIFY(writeFile(folder + "/in.dat", patternBytes(5000, 5)));
        UI_Tarnwick window;
        UI_SplitWidget* page = window.m_splitWidget;
        PathAnswers answers({folder});
        page->input_folderButton->click();
        page->output_LineEdit->setPath(folder + "/inside");
        ModalResponder responder;
        page->m_split_Button->click();
        QCOMPARE(responder.titles, QStringList{"Splitting failed!"});
        QVERIFY2(responder.messages[0].endsWith("the output folder lies inside the source folder"),
                 qPrintable(responder.messages[0]));
        QVERIFY(!page->jobActive());
        QVERIFY(!page->m_SplitDoingThread->isRunning());
        QVERIFY(!page->m_ProgressWidget->isVisible());
        QVERIFY(!page->m_split_Timer1->isActive());

        // A path that does not fit is refused before anything runs.
        page->output_LineEdit->setPath(tmp.path() + "/" + QString(1100, u'd'));
        page->m_split_Button->click();
        QCOMPARE(responder.titles.last(), QStringLiteral("Splitting failed!"));
        QVERIFY2(responder.messages.last().endsWith("the path is too long (at most 1023 bytes)"),
                 qPrintable(responder.messages.last()));
        QVERIFY(!page->jobActive());
        QCOMPARE(namesIn(folder), QStringList{"in.dat"});
        QVERIFY(!page->m_ProgressWidget->isVisible());
        QVERIFY(!page->m_split_Timer1->isActive());
    }

    void fitToSetsTheMediumsExactSize() {
        UI_SplitWidget page;
        page.m_sourceSize = 60 * kGiB;
        const QStringList shown = {"4294967295 bytes", "700 MiB", "4700000000 bytes",
                                   "25000000000 bytes", "18 MiB"};
        const QList<QAction*> menu = page.fit_to_Menu->actions();
        QCOMPARE(menu.size(), shown.size());
        for (int i = 0; i < shown.size(); ++i) {
            page.split_bycount_RadioButton->click();
            menu[i]->trigger();
            QVERIFY(page.split_bysize_RadioButton->isChecked());
            const std::int64_t bytes = morvane::jobs::sizePresets()[i].bytes;
            QCOMPARE(page.m_chunkSize, bytes);
            QCOMPARE(
                page.split_bysize_LineEdit->text() + " " + page.split_size_ComboBox->currentText(),
                shown[i]);
            QCOMPARE(page.split_bycount_LineEdit->text(),
                     QString::number((60 * kGiB + bytes - 1) / bytes));
        }
    }

    // Before, a new source reset the output folder, and every dialog started at home.
    void aChosenOutputFolderStaysAndDialogsStartWhereTheLastEnded() {
        const QString a = path(QStringLiteral("keep/a/one.bin"));
        const QString b = path(QStringLiteral("keep/b/two.bin"));
        const QString out = path(QStringLiteral("keep/out"));
        QVERIFY(writeFile(a, patternBytes(3000, 30)));
        QVERIFY(writeFile(b, patternBytes(3000, 31)));
        QVERIFY(QDir().mkpath(out));
        UI_SplitWidget page;
        PathAnswers answers({a, out, b});
        page.input_fileButton->click();
        QCOMPARE(answers.asked[0].startDir, QDir::homePath());
        QCOMPARE(page.output_LineEdit->path(), QFileInfo(a).absolutePath());
        page.output_fileButton->click();
        QCOMPARE(answers.asked[1].startDir, QFileInfo(a).absolutePath());
        page.input_fileButton->click();
        QCOMPARE(answers.asked[2].startDir, out);
        QCOMPARE(page.m_sourcePath, b);
        QCOMPARE(page.input_TreeWidget->topLevelItemCount(), 1);
        QCOMPARE(page.output_LineEdit->path(), out);
        QVERIFY(page.input_hint_Label->text().contains(QStringLiteral("replaces")));
    }

    void aDroppedFileOrFolderBecomesTheSource() {
        const QString file = path(QStringLiteral("dropped/clip.mp4"));
        QVERIFY(writeFile(file, patternBytes(9000, 33)));
        UI_SplitWidget page;
        QVERIFY(dropPaths(&page, {file}));
        QCOMPARE(page.m_sourcePath, file);
        QVERIFY(dropPaths(&page, {path(QStringLiteral("dropped"))}));
        QCOMPARE(page.m_sourcePath, path(QStringLiteral("dropped")));
        // Two at once is not one source.
        QVERIFY(!dropPaths(&page, {file, file}));
        QCOMPARE(page.input_TreeWidget->topLevelItemCount(), 1);
    }

    // The flows below run the page's worker thread.

    void deleteSourceAfterAGoodSplit() {
        const QString out = path(QStringLiteral("del-out"));
        QVERIFY(QDir().mkpath(out));
        const QString file = path(QStringLiteral("gone.bin"));
        const QString folder = path(QStringLiteral("gone-tree"));
        QVERIFY(writeFile(file, patternBytes(9000, 7)));
        QVERIFY(writeFile(folder + "/x/y.bin", patternBytes(7000, 8)));
        UI_Tarnwick window;
        UI_SplitWidget* page = window.m_splitWidget;
        page->del_source_CheckBox->setChecked(true);
        ModalResponder responder;

        chooseFile(page, file);
        page->output_LineEdit->setPath(out);
        QVERIFY(splitAndWait(page, responder));
        QCOMPARE(responder.completions.size(), 1);
        QCOMPARE(responder.details[0],
                 QStringLiteral("Chunk folder: ") + out +
                     "/gone_spt\n1 chunk of 8.79 KiB\nThe source was deleted.");
        QVERIFY(!QFile::exists(file));
        QVERIFY(QFile::exists(out + "/gone_spt/gone_0.spt"));
        QCOMPARE(page->m_DialogWidget->folderPath, out + "/gone_spt");
        // A delete option never carries over to the next source.
        QVERIFY(!page->del_source_CheckBox->isChecked());

        PathAnswers answers({folder});
        page->input_folderButton->click();
        QCOMPARE(page->output_LineEdit->path(), out);
        page->del_source_CheckBox->setChecked(true);
        QVERIFY(splitAndWait(page, responder));
        QCOMPARE(responder.messages, QStringList());
        QCOMPARE(responder.completions.size(), 2);
        QVERIFY(!QFileInfo::exists(folder));
        QVERIFY(QFile::exists(out + "/gone-tree_spt/spt_config.qorvelx"));
    }

    void aFailedSplitKeepsTheSourceAndSaysWhy() {
        const QString file = path(QStringLiteral("precious.bin"));
        const QByteArray bytes = patternBytes(30000, 10);
        QVERIFY(writeFile(file, bytes));
        UI_Tarnwick window;
        UI_SplitWidget* page = window.m_splitWidget;
        chooseFile(page, file);
        // A file where the output folder should be.
        const QString notAFolder = path(QStringLiteral("a-file"));
        QVERIFY(writeFile(notAFolder, "x"));
        page->output_LineEdit->setPath(notAFolder);
        page->del_source_CheckBox->setChecked(true);
        ModalResponder responder;
        responder.password = [](UI_inputpwdWidget* dialog) {
            typePassword(dialog->pwd1LineEdit, "pw");
            typePassword(dialog->pwd2LineEdit, "pw");
            dialog->okButton->click();
        };
        page->entry_pwd_CheckBox->click();
        QVERIFY(splitAndWait(page, responder));
        QCOMPARE(responder.completions, QStringList());
        QCOMPARE(responder.messages.size(), 1);
        const QString shown = responder.messages[0];
        QCOMPARE(responder.titles, QStringList{"Splitting failed!"});
        QVERIFY2(shown.startsWith(notAFolder), qPrintable(shown));
#ifdef Q_OS_WIN
        // Windows says only that the path was not found, with its number.
        QVERIFY2(shown.contains(QStringLiteral("(Windows error 3)")), qPrintable(shown));
#else
        QVERIFY2(shown.contains(QStringLiteral("Not a directory")), qPrintable(shown));
#endif
        QVERIFY(!page->m_ProgressWidget->isVisible());
        QCOMPARE(readFile(file), bytes);
        // Neither deleting nor protection carries over, not even from a failed job.
        QVERIFY(!page->del_source_CheckBox->isChecked());
        QVERIFY(!page->entry_pwd_CheckBox->isChecked());
        QVERIFY(page->m_inputpwdWidget->m_password.isEmpty());

        // A missing output folder is made.
        const QString missing = path(QStringLiteral("made/for/it"));
        page->output_LineEdit->setPath(missing);
        QVERIFY(splitAndWait(page, responder));
        QCOMPARE(responder.completions, QStringList{"Splitting Completed!"});
        QCOMPARE(readFile(missing + "/precious_spt/precious_0.spt"), bytes.left(page->m_chunkSize));
        QCOMPARE(readFile(file), bytes);
    }

    void aChosenCountIsTheCountWritten_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("count");
        QTest::newRow("1000001 bytes in 3") << qint64(1000001) << 3;
        QTest::newRow("7 MiB and 5 bytes in 10") << qint64(7 * kMiB + 5) << 10;
    }

    void aChosenCountIsTheCountWritten() {
        QFETCH(qint64, size);
        QFETCH(int, count);
        const QString out = path(QStringLiteral("count-%1").arg(count));
        QVERIFY(QDir().mkpath(out));
        const QString file = path(QStringLiteral("counted.bin"));
        QVERIFY(writeFile(file, patternBytes(size, 11)));
        UI_Tarnwick window;
        UI_SplitWidget* page = window.m_splitWidget;
        chooseFile(page, file);
        page->output_LineEdit->setPath(out);
        page->split_bycount_RadioButton->click();
        retype(page->split_bycount_LineEdit, QString::number(count));
        QCOMPARE(page->split_bycount_LineEdit->text(), QString::number(count));
        ModalResponder responder;
        QVERIFY(splitAndWait(page, responder));
        QCOMPARE(responder.completions, QStringList{"Splitting Completed!"});
        QStringList chunks = namesIn(out + "/counted_spt");
        QVERIFY(chunks.removeOne(QStringLiteral("spt_config.qorvelx")));
        QVERIFY(chunks.removeOne(QStringLiteral("spt_checksums.sha256")));
        QVERIFY(chunks.removeOne(QStringLiteral("spt_tree")));
        QCOMPARE(chunks.size(), count);
        QFile::remove(file);
    }

    // What the recovery chunks add follows the chunk size and their number; the split writes
    // them, and a new page starts from the same number.
    void recoveryChunksShowTheirSpaceAndAreRemembered() {
        const QString out = path(QStringLiteral("rec-out"));
        const QString file = path(QStringLiteral("film.mkv"));
        QVERIFY(writeFile(file, patternBytes(300000, 40)));
        ModalResponder responder;
        {
            UI_Tarnwick window;
            UI_SplitWidget* page = window.m_splitWidget;
            chooseFile(page, file);
            page->output_LineEdit->setPath(out);
            page->split_size_ComboBox->setCurrentText("KiB");
            retype(page->split_bysize_LineEdit, "100");
            page->recovery_SpinBox->setValue(2);
            QCOMPARE(page->recovery_space_Label->text(), QStringLiteral("+ 208.00 KiB"));
            page->split_bycount_RadioButton->click();
            retype(page->split_bycount_LineEdit, "2");
            QCOMPARE(page->recovery_space_Label->text(), QStringLiteral("+ 300.97 KiB"));
            QVERIFY(splitAndWait(page, responder));
            QCOMPARE(QFileInfo(out + "/film_spt/film_1.rec").size(), 150000 + 4096);
        }
        UI_SplitWidget page;
        QCOMPARE(page.recovery_SpinBox->value(), 2);
    }

    // A folder holding a FIFO is split only when the user leaves it out; the completion box
    // names it, and a delete of the source leaves it where it is.
    void aFolderWithAFifoIsSplitOnlyWithoutIt() {
#ifdef _WIN32
        QSKIP("Windows has no FIFOs");
#else
        const QString folder = path(QStringLiteral("special/src"));
        QVERIFY(writeFile(folder + "/a.txt", patternBytes(3000, 41)));
        QCOMPARE(::mkfifo(QFile::encodeName(folder + "/pipe").constData(), 0600), 0);
        UI_Tarnwick window;
        UI_SplitWidget* page = window.m_splitWidget;
        PathAnswers answers({folder});
        page->input_folderButton->click();
        ModalResponder responder;
        const QString question =
            folder +
            " holds what no chunk set can store (a FIFO, socket or device): pipe. Leave "
            "them out?";
        {
            QuestionAnswers no(false);
            page->m_split_Button->click();
            QCOMPARE(no.asked, QStringList{question});
        }
        QCOMPARE(namesIn(path(QStringLiteral("special"))), QStringList{"src"});

        QuestionAnswers yes(true);
        page->del_source_CheckBox->setChecked(true);
        QVERIFY(splitAndWait(page, responder));
        QCOMPARE(yes.asked, QStringList{question});
        QCOMPARE(responder.messages, QStringList());
        QVERIFY2(responder.details.last().endsWith(
                     "Left out: src/pipe\nWhat the set holds was deleted from the source.\n"
                     "Kept, not part of the set: src/pipe"),
                 qPrintable(responder.details.last()));
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
                 QStringList{"pipe"});
#endif
    }

    // The job keeps the order it was given: before, the end of a job deleted whatever
    // source the page named by then.
    void theJobDeletesItsOwnSourceWhateverThePageTookSince() {
        const QString first = path(QStringLiteral("own/a.bin"));
        const QString second = path(QStringLiteral("own/b.bin"));
        QVERIFY(writeFile(first, patternBytes(300000, 12)));
        QVERIFY(writeFile(second, patternBytes(1000, 13)));
        UI_Tarnwick window;
        UI_SplitWidget* page = window.m_splitWidget;
        chooseFile(page, first);
        page->del_source_CheckBox->setChecked(true);
        ModalResponder responder;
        CancelAnswers no(false);
        no.meanwhile = [&] {
            if (no.asked != 1) return;
            // The window takes no input while the job runs; the page's own state moves on.
            QVERIFY(!page->input_fileButton->isEnabled());
            page->addSource(second);
        };
        page->m_split_Button->click();
        QTest::keyClick(page->m_ProgressWidget, Qt::Key_Escape);
        QVERIFY(!page->m_ProgressWidget->close());
        QCOMPARE(no.asked, 2);
        QVERIFY(page->m_ProgressWidget->isVisible());
        QCOMPARE(page->m_sourcePath, second);
        page->del_source_CheckBox->setChecked(false);

        QVERIFY(QTest::qWaitFor([&] { return !responder.completions.isEmpty(); }, kJobTimeoutMs));
        QCOMPARE(responder.messages, QStringList());
        QCOMPARE(responder.completions, QStringList{"Splitting Completed!"});
        QVERIFY(!QFile::exists(first));
        QVERIFY(QFile::exists(second));
        QVERIFY(QFile::exists(path(QStringLiteral("own/a_spt/a_0.spt"))));
    }

    void aCancelledSplitLeavesNothingAndKeepsTheSource() {
        const QString out = path(QStringLiteral("cancel-out"));
        QVERIFY(QDir().mkpath(out));
        const QString file = path(QStringLiteral("huge.bin"));
        QVERIFY(sparseFile(file, 64 * kMiB));
        UI_Tarnwick window;
        UI_SplitWidget* page = window.m_splitWidget;
        chooseFile(page, file);
        page->output_LineEdit->setPath(out);
        page->del_source_CheckBox->setChecked(true);
        ModalResponder responder;
        // The pop-up's own Cancel button is the user's word: nothing is asked.
        CancelAnswers unasked(false);
        page->m_split_Button->click();
        page->m_ProgressWidget->cancelButton->click();
        QCOMPARE(unasked.asked, 0);
        // The pop-up stays until the job has removed what it wrote.
        QVERIFY(page->m_ProgressWidget->isVisible());
        QVERIFY(QTest::qWaitFor([&] { return !page->jobActive(); }, kJobTimeoutMs));
        QCOMPARE(responder.messages, QStringList{"Splitting cancelled"});
        QCOMPARE(responder.completions, QStringList());
        QVERIFY(!page->m_ProgressWidget->isVisible());
        QCOMPARE(namesIn(out), QStringList());
        QCOMPARE(QFileInfo(file).size(), 64 * kMiB);
        QVERIFY(!page->del_source_CheckBox->isChecked());
        QFile::remove(file);
    }

    void anExistingChunkFolderIsReplacedOnlyWhenTheUserSaysSo() {
        const QString file = path(QStringLiteral("again/movie.part1.mkv"));
        QVERIFY(writeFile(file, patternBytes(30000, 35)));
        const QString chunks = path(QStringLiteral("again/movie_spt"));
        UI_Tarnwick window;
        UI_SplitWidget* page = window.m_splitWidget;
        ModalResponder responder;
        chooseFile(page, file);
        QVERIFY(splitAndWait(page, responder));
        const QByteArray firstList = readFile(chunks + "/spt_checksums.sha256");
        QVERIFY(!firstList.isEmpty());

        // No: nothing starts, and the set stays as it was. The set holds the file as it was.
        const QString question =
            chunks + QStringLiteral(
                         " already holds the chunk set of movie.part1.mkv. Replace "
                         "it?\nIt may be the only copy of its data: the source has "
                         "lost or changed movie.part1.mkv since that split.");
        QVERIFY(writeFile(file, patternBytes(20000, 36)));
        chooseFile(page, file);
        {
            QuestionAnswers no(false);
            page->m_split_Button->click();
            QCOMPARE(no.asked, QStringList{question});
        }
        QVERIFY(!page->jobActive());
        QCOMPARE(readFile(chunks + "/spt_checksums.sha256"), firstList);

        // Yes: the new set takes its place.
        QuestionAnswers yes(true);
        QVERIFY(splitAndWait(page, responder));
        QCOMPARE(yes.asked, QStringList{question});
        QCOMPARE(responder.completions.size(), 2);
        QVERIFY(readFile(chunks + "/spt_checksums.sha256") != firstList);
        QCOMPARE(readFile(chunks + "/movie_0.spt"),
                 patternBytes(20000, 36).left(page->m_chunkSize));
    }

    // The source as it is now decides: one that grew is split as it is, and shown so; one
    // that is gone leaves the list, and nothing starts.
    void aSplitMeasuresItsSourceAgain() {
        const QString file = path(QStringLiteral("fresh/log.bin"));
        QVERIFY(writeFile(file, patternBytes(30000, 51)));
        UI_Tarnwick window;
        UI_SplitWidget* page = window.m_splitWidget;
        chooseFile(page, file);
        page->split_bycount_RadioButton->click();
        retype(page->split_bycount_LineEdit, QStringLiteral("3"));
        const QByteArray grown = patternBytes(60000, 52);
        QVERIFY(writeFile(file, grown));
        ModalResponder responder;
        QVERIFY(splitAndWait(page, responder));
        QCOMPARE(responder.messages, QStringList());
        QCOMPARE(page->input_TreeWidget->topLevelItem(0)->text(2), QStringLiteral("58.59 KiB"));
        QCOMPARE(page->split_bycount_LineEdit->text(), QStringLiteral("3"));
        QByteArray joined;
        for (int i = 0; i < 3; ++i)
            joined += readFile(path(QStringLiteral("fresh/log_spt/log_%1.spt").arg(i)));
        QVERIFY(joined == grown);
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("fresh/log_spt/log_3.spt"))));

        QVERIFY(QDir(path(QStringLiteral("fresh/log_spt"))).removeRecursively());
        QVERIFY(QFile::remove(file));
        page->m_split_Button->click();
        QCOMPARE(responder.titles, QStringList{"Nothing was split."});
        QCOMPARE(responder.messages,
                 QStringList{file + QStringLiteral(" is no longer there: it was taken off the "
                                                   "list.")});
        QVERIFY(!page->jobActive());
        QCOMPARE(page->input_TreeWidget->topLevelItemCount(), 0);
        QVERIFY(!page->m_split_Button->isEnabled());
        QCOMPARE(namesIn(path(QStringLiteral("fresh"))), QStringList());
    }

    // Before, Split and Enter twice replaced a set, the only copy of a folder's files, with a
    // set of the folder its own split had emptied.
    void theOnlyCopyIsNotReplacedByEnterOrEscape() {
#ifdef _WIN32
        QSKIP("Windows has no FIFOs");
#else
        const QString folder = path(QStringLiteral("only/src"));
        QVERIFY(writeFile(folder + "/a.txt", patternBytes(3000, 53)));
        QVERIFY(writeFile(folder + "/b.txt", patternBytes(2000, 54)));
        QCOMPARE(::mkfifo(QFile::encodeName(folder + "/pipe").constData(), 0600), 0);
        const QString chunks = path(QStringLiteral("only/src_spt"));
        UI_Tarnwick window;
        UI_SplitWidget* page = window.m_splitWidget;
        PathAnswers answers({folder});
        page->input_folderButton->click();
        {
            ModalResponder responder;
            QuestionAnswers yes(true);
            page->del_source_CheckBox->setChecked(true);
            QVERIFY(splitAndWait(page, responder));
        }
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
                 QStringList{"pipe"});
        const QStringList before = namesIn(chunks);
        const QByteArray list = readFile(chunks + "/spt_checksums.sha256");
        const QString question =
            chunks +
            " already holds the chunk set of src. Replace it?\nIt may be the only copy of its "
            "data: the source has lost or changed a.txt, b.txt since that split.";
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
            // Leaving the FIFO out again is a yes; the replace is the key's to answer.
            KeyAnswer answer(key, 1);
            page->m_split_Button->click();
            QCOMPARE(answer.texts.size(), 2);
            QCOMPARE(answer.texts.last(), question);
            QVERIFY(!page->jobActive());
            QCOMPARE(page->input_TreeWidget->topLevelItem(0)->text(2), QStringLiteral("0 bytes"));
            QCOMPARE(namesIn(chunks), before);
            QCOMPARE(readFile(chunks + "/spt_checksums.sha256"), list);
        }
#endif
    }

    // Ten thousand chunks are more than anyone means by accident; the safe answer is no split.
    void moreThanTenThousandChunksAreAskedAbout() {
        const QString file = path(QStringLiteral("many/big.bin"));
        QVERIFY(QDir().mkpath(path(QStringLiteral("many"))));
        QVERIFY(sparseFile(file, 10001 * 1024));
        UI_Tarnwick window;
        UI_SplitWidget* page = window.m_splitWidget;
        chooseFile(page, file);
        page->split_size_ComboBox->setCurrentText(QStringLiteral("KiB"));
        retype(page->split_bysize_LineEdit, QStringLiteral("1"));
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
            KeyAnswer answer(key);
            page->m_split_Button->click();
            QCOMPARE(answer.texts,
                     QStringList{"This split would write 10001 chunks of 1.00 KiB. Write that "
                                 "many?"});
            QVERIFY(!page->jobActive());
            QCOMPARE(namesIn(path(QStringLiteral("many"))), QStringList{"big.bin"});
        }
        QFile::remove(file);
    }

    // A replace names what it deletes besides the old set, and no key says yes to it.
    void theReplaceQuestionNamesWhatIsNotPartOfTheSet() {
        const QString file = path(QStringLiteral("mixed/tape.bin"));
        QVERIFY(writeFile(file, patternBytes(30000, 45)));
        const QString chunks = path(QStringLiteral("mixed/tape_spt"));
        UI_Tarnwick window;
        UI_SplitWidget* page = window.m_splitWidget;
        {
            ModalResponder responder;
            chooseFile(page, file);
            QVERIFY(splitAndWait(page, responder));
        }
        // The user's own files put beside the set, and a chunk of another stem.
        for (const char* name : {"notes.txt", "a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg"})
            QVERIFY(writeFile(chunks + "/" + name, "mine"));
        QVERIFY(writeFile(chunks + "/other_0.spt", "another set's"));
        QVERIFY(QDir().mkpath(chunks + "/photos"));
        const QStringList before = namesIn(chunks);
        const QString question =
            chunks +
            " already holds the chunk set of tape.bin. Replace it?\n"
            "Deleted with it, not part of the set: a.jpg, b.jpg, c.jpg, d.jpg, e.jpg "
            "and 3 more.";
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
            chooseFile(page, file);
            KeyAnswer answer(key);
            page->m_split_Button->click();
            QCOMPARE(answer.texts, QStringList{question});
            QVERIFY(!page->jobActive());
            QCOMPARE(namesIn(chunks), before);
        }
    }

    // Before, the job ran on under the question "Cancel the running job?", committed its set
    // and deleted the source; a stop confirmed then reported a finished split.
    void theCancelQuestionHoldsTheJobUntilItIsAnswered() {
        const QString file = path(QStringLiteral("held/film.bin"));
        const QByteArray bytes = patternBytes(6 * kMiB, 44);
        QVERIFY(writeFile(file, bytes));
        const QString out = path(QStringLiteral("held/out"));
        QVERIFY(QDir().mkpath(out));
        // Each block the job writes takes a while, so that its run can be timed.
        const std::string slowed = out.toStdString();
        morvane::test::FaultGuard slow([slowed](morvane::plat::Op op, const std::string& at) {
            if (op == morvane::plat::Op::Write && at.rfind(slowed, 0) == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(40));
            return 0;
        });
        UI_Tarnwick window;
        UI_SplitWidget* page = window.m_splitWidget;
        ModalResponder responder;
        constexpr int kOpenMs = 3000;
        {  // Unasked, the job is done well before the question below is answered.
            chooseFile(page, file);
            page->output_LineEdit->setPath(out);
            QElapsedTimer clock;
            clock.start();
            QVERIFY(splitAndWait(page, responder));
            QVERIFY2(clock.elapsed() < kOpenMs, qPrintable(QString::number(clock.elapsed())));
            QVERIFY(QDir(out + "/film_spt").removeRecursively());
        }
        for (const bool stop : {true, false}) {
            chooseFile(page, file);
            page->output_LineEdit->setPath(out);
            page->del_source_CheckBox->setChecked(true);
            CancelAnswers answer(stop);
            bool sourceKept = false;
            bool nothingCommitted = false;
            bool stillRunning = false;
            answer.meanwhile = [&] {
                QTest::qWait(kOpenMs);
                sourceKept = readFile(file) == bytes;
                nothingCommitted = !QFileInfo::exists(out + "/film_spt");
                stillRunning = page->m_SplitDoingThread->isRunning();
            };
            const qsizetype ends = responder.completions.size() + responder.messages.size();
            page->m_split_Button->click();
            QTest::keyClick(page->m_ProgressWidget, Qt::Key_Escape);
            QCOMPARE(answer.asked, 1);
            QVERIFY(sourceKept);
            QVERIFY(nothingCommitted);
            QVERIFY(stillRunning);
            // The completion box is not modal, so the responder may meet it a poll later.
            QVERIFY(QTest::qWaitFor(
                [&] {
                    return !page->jobActive() &&
                           responder.completions.size() + responder.messages.size() > ends;
                },
                kJobTimeoutMs));
            QTest::qWait(50);
            QCOMPARE(responder.completions.size() + responder.messages.size(), ends + 1);
            if (stop) {
                QCOMPARE(responder.messages.last(), QStringLiteral("Splitting cancelled"));
                QCOMPARE(namesIn(out), QStringList());
                QCOMPARE(readFile(file), bytes);
                continue;
            }
            QCOMPARE(responder.completions.last(), QStringLiteral("Splitting Completed!"));
            QVERIFY(responder.details.last().contains("The source was deleted."));
            QVERIFY(!QFileInfo::exists(file));
            // The chunks are slices of the source, in order.
            QByteArray joined;
            for (int i = 0; QFileInfo::exists(out + QStringLiteral("/film_spt/film_%1.spt").arg(i));
                 ++i)
                joined += readFile(out + QStringLiteral("/film_spt/film_%1.spt").arg(i));
            QCOMPARE(joined.size(), bytes.size());
            QVERIFY(joined == bytes);
        }
    }

    // The unit, the size and the output folder of the last split are a new page's start; the
    // completion box names the medium whose size was used.
    void choicesOutliveThePageAndTheBoxNamesTheMedium() {
        const QString file = path(QStringLiteral("media/disc.img"));
        QVERIFY(QDir().mkpath(path(QStringLiteral("media"))));
        QVERIFY(sparseFile(file, 40 * kMiB));
        const QString out = path(QStringLiteral("media/out"));
        ModalResponder responder;
        {
            UI_Tarnwick window;
            UI_SplitWidget* page = window.m_splitWidget;
            chooseFile(page, file);
            page->output_LineEdit->setPath(out);
            page->fit_to_Menu->actions()[4]->trigger();
            QVERIFY(splitAndWait(page, responder));
            QCOMPARE(responder.details.last(), QStringLiteral("Chunk folder: ") + out +
                                                   "/disc_spt\n3 chunks of 18.00 MiB, the size for "
                                                   "E-mail\nThe last chunk holds 4.00 MiB.");
        }
        UI_SplitWidget page;
        QCOMPARE(page.split_bysize_LineEdit->text(), QStringLiteral("18"));
        QCOMPARE(page.split_size_ComboBox->currentText(), QStringLiteral("MiB"));
        QCOMPARE(page.output_LineEdit->path(), out);
        chooseFile(&page, file);
        QCOMPARE(page.m_chunkSize, 18 * kMiB);
        QCOMPARE(page.split_bycount_LineEdit->text(), QStringLiteral("3"));
        QCOMPARE(page.output_LineEdit->path(), out);
        QFile::remove(file);
    }
};

QTEST_MAIN(SplitPageTest)
#include "test_ui_split_page.moc"
