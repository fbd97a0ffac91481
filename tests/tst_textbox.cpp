// SPDX-License-Identifier: MIT
#include "textorecibido.h"

#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

// The received-text box: its exact text through receptions, the operator's edits and the
// clipboard, and a view that shows all of it with CR LF pairs as the only line breaks.
class TestTextBox : public QObject
{
    Q_OBJECT

private:
    static QString latin1(const char *bytes, qsizetype size)
    {
        return QString::fromLatin1(bytes, size);
    }

    // The view shows one character per character of the text, a CR LF pair as one break.
    static int shownLength(const QString &text)
    {
        return text.size() - text.count(QLatin1String("\r\n")) + 1;
    }

    // Waits for the batched view to catch up with the appends.
    static void settle(TextoRecibido &box)
    {
        QTRY_COMPARE(box.document()->characterCount(), shownLength(box.text()));
    }

    static void checkViewMatches(TextoRecibido &box)
    {
        QCOMPARE(box.document()->characterCount(), shownLength(box.text()));
        QCOMPARE(box.document()->blockCount(), box.text().count(QLatin1String("\r\n")) + 1);
    }

    static void putCaret(TextoRecibido &box, int position)
    {
        QTextCursor caret = box.textCursor();
        caret.setPosition(position);
        box.setTextCursor(caret);
    }

private Q_SLOTS:
    void everyCodeRoundTripsAndShowsVisibly()
    {
        TextoRecibido box;
        QString all;
        for (int code = 0; code < 256; ++code)
            all.append(QChar(code));
        box.append(all.left(100));
        box.append(all.mid(100));
        QCOMPARE(box.text(), all);
        settle(box);
        checkViewMatches(box);
        QCOMPARE(box.document()->blockCount(), 1);
        const QString view = box.document()->firstBlock().text();
        for (int code = 0; code < 256; ++code) {
            if (code == ' ' || code == '\t')
                continue;
            QVERIFY2(!view[code].isSpace() && view[code].isPrint(),
                qPrintable(QStringLiteral("code %1").arg(code)));
        }
        QCOMPARE(box.accessibleName(), QStringLiteral("Texto recibido"));
    }

    void loneCrAndLfStayInTheLine()
    {
        TextoRecibido box;
        box.append(QStringLiteral("A\rB\nC\n\rD"));
        settle(box);
        QCOMPARE(box.text(), QStringLiteral("A\rB\nC\n\rD"));
        QCOMPARE(box.document()->blockCount(), 1);
    }

    void crEndingOneAppendAndLfStartingTheNextMakeOneBreak()
    {
        TextoRecibido box;
        box.append(QStringLiteral("ab\r"));
        settle(box);
        QCOMPARE(box.document()->blockCount(), 1);
        box.append(QStringLiteral("\ncd\r"));
        settle(box);
        QCOMPARE(box.document()->blockCount(), 2);
        // The same split inside one batch of the view.
        box.append(QStringLiteral("\nef"));
        QCOMPARE(box.text(), QStringLiteral("ab\r\ncd\r\nef"));
        settle(box);
        QCOMPARE(box.document()->blockCount(), 3);
        checkViewMatches(box);
    }

    void clearingThenAppendingHoldsOnlyTheNewText()
    {
        TextoRecibido box;
        box.append(QStringLiteral("old\r\nold\r"));
        settle(box);
        box.setText(QString());
        QCOMPARE(box.text(), QString());
        box.append(QStringLiteral("\nnew"));
        QCOMPARE(box.text(), QStringLiteral("\nnew"));
        settle(box);
        checkViewMatches(box);
        QCOMPARE(box.document()->blockCount(), 1);
    }

    void typedTextStaysBeforeLaterReceptions()
    {
        TextoRecibido box;
        box.show();
        box.append(QStringLiteral("R1"));
        settle(box);
        box.moveCursor(QTextCursor::End);
        QTest::keyClicks(&box, QStringLiteral("ab"));
        QTest::keyClick(&box, Qt::Key_Return);
        QTest::keyClicks(&box, QStringLiteral("c"));
        box.append(QStringLiteral("R2\r"));
        QCOMPARE(box.text(), QStringLiteral("R1ab\r\ncR2\r"));
        // Typing while a reception waits to be shown goes after it.
        QTest::keyClicks(&box, QStringLiteral("d"));
        QCOMPARE(box.text(), QStringLiteral("R1ab\r\ncR2\rd"));
        settle(box);
        checkViewMatches(box);
    }

    void deletingALineBreakRemovesCrAndLf()
    {
        TextoRecibido box;
        box.show();
        box.setText(QStringLiteral("A\r\nB\r\nC"));
        putCaret(box, 2); // start of "B"
        QTest::keyClick(&box, Qt::Key_Backspace);
        QCOMPARE(box.text(), QStringLiteral("AB\r\nC"));
        QTest::keyClick(&box, Qt::Key_Delete); // "B"
        QTest::keyClick(&box, Qt::Key_Delete); // the break
        QCOMPARE(box.text(), QStringLiteral("AC"));
        checkViewMatches(box);
    }

    void removingWhatSeparatesCrFromLfJoinsThemIntoOneBreak()
    {
        TextoRecibido box;
        box.show();
        box.setText(QStringLiteral("A\rB\nC"));
        QCOMPARE(box.document()->blockCount(), 1);
        putCaret(box, 3); // after "B"
        QTest::keyClick(&box, Qt::Key_Backspace);
        QCOMPARE(box.text(), QStringLiteral("A\r\nC"));
        QCOMPARE(box.document()->blockCount(), 2);
        // The view and the text stay in step for the next edit.
        box.moveCursor(QTextCursor::End);
        QTest::keyClicks(&box, QStringLiteral("x"));
        QCOMPARE(box.text(), QStringLiteral("A\r\nCx"));

        // A lone CR, a typed line break and a lone LF: removing the typed break pairs them.
        box.setText(QStringLiteral("P\rQ\nR"));
        putCaret(box, 2);
        QTest::keyClick(&box, Qt::Key_Return); // P CR | CR LF | Q LF R
        QCOMPARE(box.text(), QStringLiteral("P\r\r\nQ\nR"));
        QTest::keyClick(&box, Qt::Key_Delete); // Q
        QCOMPARE(box.text(), QStringLiteral("P\r\r\n\nR"));
        QTest::keyClick(&box, Qt::Key_Backspace); // the typed break
        QCOMPARE(box.text(), QStringLiteral("P\r\nR"));
        checkViewMatches(box);
    }

    void operatorCharactersBeyondLatin1KeepTheViewInStep()
    {
        TextoRecibido box;
        box.show();
        box.setText(QStringLiteral("a"));
        box.moveCursor(QTextCursor::End);
        QInputMethodEvent typing;
        typing.setCommitString(QStringLiteral(u"\u2029b\u2028c\uFDD0d\uFDD1e\u00A0f\u2400"));
        QCoreApplication::sendEvent(&box, &typing);
        // Paragraph, line and frame marks are line breaks as Enter makes them.
        const QString expected = QStringLiteral(u"a\r\nb\r\nc\r\nd\r\ne\u00A0f\u2400");
        QCOMPARE(box.text(), expected);
        checkViewMatches(box);
        box.append(QStringLiteral("\r"));
        box.append(QStringLiteral("\nZ"));
        settle(box);
        QCOMPARE(box.text(), expected + QStringLiteral("\r\nZ"));
        checkViewMatches(box);
        QTest::keyClick(&box, Qt::Key_Home, Qt::ControlModifier);
        QTest::keyClick(&box, Qt::Key_End, Qt::ControlModifier | Qt::ShiftModifier);
        QTest::keyClick(&box, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), box.text());
    }

    void clipboardAndDropsCarryTheExactText()
    {
        TextoRecibido box;
        box.show();
        const QString tricky = latin1("\0A\r\nB\rC\n\xA0\xAD\t\x85", 12);
        box.append(tricky);
        settle(box);
        QTest::keyClick(&box, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(&box, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), tricky);
        box.moveCursor(QTextCursor::End);
        QTest::keyClick(&box, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(box.text(), tricky + tricky);
        checkViewMatches(box);

        // Cutting "B\rC" out of the first copy.
        QTextCursor selection = box.textCursor();
        selection.setPosition(3);
        selection.setPosition(6, QTextCursor::KeepAnchor);
        box.setTextCursor(selection);
        QTest::keyClick(&box, Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("B\rC"));
        QCOMPARE(box.text(), tricky.left(4) + tricky.mid(7) + tricky);
        checkViewMatches(box);

        // Pasting a text that ends in CR before a lone LF makes them one break.
        box.setText(QStringLiteral("\nZ"));
        QGuiApplication::clipboard()->setText(QStringLiteral("Q\r"));
        putCaret(box, 0);
        QTest::keyClick(&box, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(box.text(), QStringLiteral("Q\r\nZ"));
        QCOMPARE(box.document()->blockCount(), 2);
        QCOMPARE(box.textCursor().position(), 2); // after the break
        QTest::keyClicks(&box, QStringLiteral("y"));
        QCOMPARE(box.text(), QStringLiteral("Q\r\nyZ"));

        // A drop from elsewhere is inserted once, exactly.
        box.setText(QStringLiteral("AB"));
        QTextCursor end = box.textCursor();
        end.movePosition(QTextCursor::End);
        QMimeData dropped;
        dropped.setText(QStringLiteral("x\ry\r\n"));
        const QPoint at = box.cursorRect(end).center();
        QDragEnterEvent enter(at, Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(box.viewport(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(at, Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(box.viewport(), &drop);
        QVERIFY(drop.isAccepted());
        QCOMPARE(box.text(), QStringLiteral("ABx\ry\r\n"));
        checkViewMatches(box);
    }

    void viewFollowsTheEndUnlessScrolledUp()
    {
        TextoRecibido box;
        box.resize(300, 150);
        box.show();
        QScrollBar *bar = box.verticalScrollBar();
        for (int i = 0; i < 100; ++i)
            box.append(QStringLiteral("line %1\r\n").arg(i));
        settle(box);
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());

        bar->setValue(0);
        const int before = bar->maximum();
        for (int i = 0; i < 100; ++i)
            box.append(QStringLiteral("more %1\r\n").arg(i));
        settle(box);
        QVERIFY(bar->maximum() > before);
        QCOMPARE(bar->value(), 0);

        bar->setValue(bar->maximum());
        box.append(QStringLiteral("last\r\nlast\r\nlast\r\n"));
        settle(box);
        QCOMPARE(bar->value(), bar->maximum());
    }

    // A backlog is shown a slice at a time, with the window answering in between; pairs and
    // surrogates that a slice boundary cuts still show as one break and one character.
    void aBacklogIsShownInSlicesWithTheWindowAnsweringBetween()
    {
        TextoRecibido box;
        box.show();
        const QString unit = QStringLiteral("a\r\n\U0001F600");
        const QString data = unit.repeated(200 * 1000);
        box.append(data);
        int ticksWhilePartlyShown = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, &box, [&] {
            const int shown = box.document()->characterCount();
            ticksWhilePartlyShown += shown > 1 && shown < shownLength(data);
        });
        tick.start(0);
        settle(box);
        tick.stop();
        checkViewMatches(box);
        QVERIFY(ticksWhilePartlyShown > 0);
        QCOMPARE(
            box.document()->toPlainText(), QStringLiteral("a\n\U0001F600").repeated(200 * 1000));

        // The operator's typing meanwhile goes after everything received so far.
        box.append(data);
        QTest::keyClick(&box, Qt::Key_End, Qt::ControlModifier);
        QTest::keyClick(&box, 'z');
        QCOMPARE(box.text(), data + data + QLatin1Char('z'));
        checkViewMatches(box);
    }

    void aLargeTextInSmallAppendsStaysExact()
    {
        TextoRecibido box;
        box.show();
        QString data;
        data.reserve(1000 * 1000 + 64);
        data += QLatin1Char('>'); // every append ends in the CR of a pair
        for (int n = 0; data.size() < 1000 * 1000; ++n)
            data += QStringLiteral("%1 CONTADOR 000123 SALIDAS").arg(n, 10).leftJustified(62, u'.')
                + QLatin1String("\r\n");
        for (qsizetype at = 0; at < data.size(); at += 64) {
            box.append(data.mid(at, 64));
            if (at % 4096 == 0)
                QTest::qWait(1); // the view shows some of it in between
        }
        QCOMPARE(box.text(), data);
        settle(box);
        checkViewMatches(box);
    }
};

QTEST_MAIN(TestTextBox)
#include "tst_textbox.moc"
