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

    // The characters the view shows, a line break as "\n". Receptions are shown in batches,
    // so after an append the view is waited for.
    static QString shown(const TextoRecibido &box) { return box.document()->toPlainText(); }

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
        // Control pictures, and a mark for what would not show or would read as a space.
        QTRY_COMPARE(shown(box),
            QStringLiteral(u"␀␁␂␃␄␅␆␇␈\t␊␋␌␍␎␏␐␑␒␓␔␕␖␗␘␙␚␛␜␝␞␟"
                           u" !\"#$%&'()*+,-./0123456789:;<=>?"
                           u"@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_"
                           u"`abcdefghijklmnopqrstuvwxyz{|}~␡"
                           u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"
                           u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"
                           u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"
                           u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"
                           u"⍽¡¢£¤¥¦§¨©ª«¬‐®¯°±²³´µ¶·¸¹º»¼½¾¿"
                           u"ÀÁÂÃÄÅÆÇÈÉÊËÌÍÎÏÐÑÒÓÔÕÖ×ØÙÚÛÜÝÞß"
                           u"àáâãäåæçèéêëìíîïðñòóôõö÷øùúûüýþÿ"));
        QCOMPARE(box.accessibleName(), QStringLiteral("Texto recibido"));
    }

    void loneCrAndLfStayInTheLine()
    {
        TextoRecibido box;
        box.append(QStringLiteral("A\rB\nC\n\rD"));
        QTRY_COMPARE(shown(box), QStringLiteral(u"A␍B␊C␊␍D"));
        QCOMPARE(box.text(), QStringLiteral("A\rB\nC\n\rD"));
    }

    void crEndingOneAppendAndLfStartingTheNextMakeOneBreak()
    {
        TextoRecibido box;
        box.append(QStringLiteral("ab\r"));
        QTRY_COMPARE(shown(box), QStringLiteral(u"ab␍"));
        box.append(QStringLiteral("\ncd\r"));
        QTRY_COMPARE(shown(box), QStringLiteral(u"ab\ncd␍"));
        // The same split inside one batch of the view.
        box.append(QStringLiteral("\nef"));
        QCOMPARE(box.text(), QStringLiteral("ab\r\ncd\r\nef"));
        QTRY_COMPARE(shown(box), QStringLiteral("ab\ncd\nef"));
    }

    void clearingThenAppendingHoldsOnlyTheNewText()
    {
        TextoRecibido box;
        box.append(QStringLiteral("old\r\nold\r"));
        QTRY_COMPARE(shown(box), QStringLiteral(u"old\nold␍"));
        box.setText(QString());
        QCOMPARE(box.text(), QString());
        box.append(QStringLiteral("\nnew"));
        QCOMPARE(box.text(), QStringLiteral("\nnew"));
        QTRY_COMPARE(shown(box), QStringLiteral(u"␊new"));
    }

    void typedTextStaysBeforeLaterReceptions()
    {
        TextoRecibido box;
        box.show();
        box.append(QStringLiteral("R1"));
        QTRY_COMPARE(shown(box), QStringLiteral("R1"));
        box.moveCursor(QTextCursor::End);
        QTest::keyClicks(&box, QStringLiteral("ab"));
        QTest::keyClick(&box, Qt::Key_Return);
        QTest::keyClicks(&box, QStringLiteral("c"));
        box.append(QStringLiteral("R2\r"));
        QCOMPARE(box.text(), QStringLiteral("R1ab\r\ncR2\r"));
        // Typing while a reception waits to be shown goes after it.
        QTest::keyClicks(&box, QStringLiteral("d"));
        QCOMPARE(box.text(), QStringLiteral("R1ab\r\ncR2\rd"));
        QTRY_COMPARE(shown(box), QStringLiteral(u"R1ab\ncR2␍d"));
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
        QCOMPARE(shown(box), QStringLiteral("AC"));
    }

    void removingWhatSeparatesCrFromLfJoinsThemIntoOneBreak()
    {
        TextoRecibido box;
        box.show();
        box.setText(QStringLiteral("A\rB\nC"));
        QCOMPARE(shown(box), QStringLiteral(u"A␍B␊C"));
        putCaret(box, 3); // after "B"
        QTest::keyClick(&box, Qt::Key_Backspace);
        QCOMPARE(box.text(), QStringLiteral("A\r\nC"));
        QCOMPARE(shown(box), QStringLiteral("A\nC"));
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
        QCOMPARE(shown(box), QStringLiteral("P\nR"));
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
        const QString view = QStringLiteral(u"a\nb\nc\nd\ne⍽f\u2400");
        QCOMPARE(shown(box), view);
        box.append(QStringLiteral("\r"));
        box.append(QStringLiteral("\nZ"));
        QCOMPARE(box.text(), expected + QStringLiteral("\r\nZ"));
        QTRY_COMPARE(shown(box), view + QStringLiteral("\nZ"));
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
        const QString trickyShown = QStringLiteral(u"␀A\nB␍C␊⍽‐\t\uFFFD");
        QTRY_COMPARE(shown(box), trickyShown);
        QTest::keyClick(&box, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(&box, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), tricky);
        box.moveCursor(QTextCursor::End);
        QTest::keyClick(&box, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(box.text(), tricky + tricky);
        QCOMPARE(shown(box), trickyShown + trickyShown);

        // Cutting "B\rC" out of the first copy.
        QTextCursor selection = box.textCursor();
        selection.setPosition(3);
        selection.setPosition(6, QTextCursor::KeepAnchor);
        box.setTextCursor(selection);
        QTest::keyClick(&box, Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("B\rC"));
        QCOMPARE(box.text(), tricky.left(4) + tricky.mid(7) + tricky);
        QCOMPARE(shown(box), QStringLiteral(u"␀A\n␊⍽‐\t\uFFFD") + trickyShown);

        // Pasting a text that ends in CR before a lone LF makes them one break.
        box.setText(QStringLiteral("\nZ"));
        QGuiApplication::clipboard()->setText(QStringLiteral("Q\r"));
        putCaret(box, 0);
        QTest::keyClick(&box, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(box.text(), QStringLiteral("Q\r\nZ"));
        QCOMPARE(shown(box), QStringLiteral("Q\nZ"));
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
        QCOMPARE(shown(box), QStringLiteral(u"ABx␍y\n"));
    }

    void viewFollowsTheEndUnlessScrolledUp()
    {
        TextoRecibido box;
        box.resize(300, 150);
        box.show();
        QScrollBar *bar = box.verticalScrollBar();
        for (int i = 0; i < 100; ++i)
            box.append(QStringLiteral("line %1\r\n").arg(i));
        QTRY_VERIFY(shown(box).endsWith(QStringLiteral("line 99\n")));
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());

        bar->setValue(0);
        const int before = bar->maximum();
        for (int i = 0; i < 100; ++i)
            box.append(QStringLiteral("more %1\r\n").arg(i));
        QTRY_VERIFY(shown(box).endsWith(QStringLiteral("more 99\n")));
        QVERIFY(bar->maximum() > before);
        QCOMPARE(bar->value(), 0);

        bar->setValue(bar->maximum());
        box.append(QStringLiteral("last\r\nlast\r\nlast\r\n"));
        QTRY_VERIFY(shown(box).endsWith(QStringLiteral("more 99\nlast\nlast\nlast\n")));
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
        const QString view = QStringLiteral("a\n\U0001F600").repeated(200 * 1000);
        box.append(data);
        int ticksWhilePartlyShown = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, &box, [&] {
            // The count takes in the last line's end.
            const int count = box.document()->characterCount();
            ticksWhilePartlyShown += count > 1 && count < view.size() + 1;
        });
        tick.start(0);
        QTRY_COMPARE(box.document()->characterCount(), view.size() + 1);
        tick.stop();
        QCOMPARE(shown(box), view);
        QVERIFY(ticksWhilePartlyShown > 0);

        // The operator's typing meanwhile goes after everything received so far.
        box.append(data);
        QTest::keyClick(&box, Qt::Key_End, Qt::ControlModifier);
        QTest::keyClick(&box, 'z');
        QCOMPARE(box.text(), data + data + QLatin1Char('z'));
        QCOMPARE(shown(box), view + view + QLatin1Char('z'));
    }

    void aLargeTextInSmallAppendsStaysExact()
    {
        TextoRecibido box;
        box.show();
        QString data = QStringLiteral(">"); // every append ends in the CR of a pair
        QString view = data;
        for (int n = 0; data.size() < 1000 * 1000; ++n) {
            const QString line
                = QStringLiteral("%1 CONTADOR 000123 SALIDAS").arg(n, 10).leftJustified(62, u'.');
            data += line + QLatin1String("\r\n");
            view += line + QLatin1Char('\n');
        }
        for (qsizetype at = 0; at < data.size(); at += 64) {
            box.append(data.mid(at, 64));
            if (at % 4096 == 0)
                QTest::qWait(1); // the view shows some of it in between
        }
        QCOMPARE(box.text(), data);
        QTRY_COMPARE(shown(box), view);
    }
};

QTEST_MAIN(TestTextBox)
#include "tst_textbox.moc"
