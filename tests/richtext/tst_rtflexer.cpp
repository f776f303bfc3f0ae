// The lexer on its own: how it cuts words, parameters, escapes and text, and how it
// skips groups and raw data, at the edges where truncated or hostile notes live.

#include "rtflexer.h"

#include <QTest>

using kmp::rtf::detail::RtfLexer;

namespace {

// The tokens of data, one per '|': "{", "}", "\word" or "\word=N", "sym:C" (a
// control symbol, C in hex when it is not printable), "hex:N" and "text:...".
QString tokens(const QByteArray &data)
{
    RtfLexer lexer(data.constData(), data.constData() + data.size());
    QStringList out;
    for (int guard = 0; guard < 1000; ++guard) {
        const RtfLexer::Token t = lexer.next();
        switch (t.type) {
        case RtfLexer::Token::End: return out.join(QLatin1Char('|'));
        case RtfLexer::Token::GroupOpen: out << QStringLiteral("{"); break;
        case RtfLexer::Token::GroupClose: out << QStringLiteral("}"); break;
        case RtfLexer::Token::ControlWord:
            out << QLatin1Char('\\') + QString::fromLatin1(t.word.data(), qsizetype(t.word.size()))
                       + (t.hasParam ? QStringLiteral("=%1").arg(t.value) : QString());
            break;
        case RtfLexer::Token::ControlSymbol:
            out << QStringLiteral("sym:") + (t.symbol > ' ' ? QString(QLatin1Char(t.symbol)) : QString::number(t.symbol, 16));
            break;
        case RtfLexer::Token::HexByte: out << QStringLiteral("hex:%1").arg(t.value); break;
        case RtfLexer::Token::Text:
            out << QStringLiteral("text:") + QString::fromLatin1(t.word.data(), qsizetype(t.word.size()));
            break;
        }
    }
    return QStringLiteral("no end");
}

} // namespace

class TestRtfLexer : public QObject
{
    Q_OBJECT

private slots:
    void cutsTokens_data();
    void cutsTokens();
    void skipsGroups_data();
    void skipsGroups();
    void rawBytesStopAtTheEnd();
    void bareStarOnlyBeforeABackslash();
};

void TestRtfLexer::cutsTokens_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("expected");
    QTest::newRow("group, word and text") << QByteArray("{\\rtf1 Ola}") << "{|\\rtf=1|text:Ola|}";
    QTest::newRow("one space after a word is its delimiter") << QByteArray("\\b  x") << "\\b|text: x";
    QTest::newRow("negative parameter") << QByteArray("\\li-720x") << "\\li=-720|text:x";
    QTest::newRow("a minus without digits is text") << QByteArray("\\li-x") << "\\li|text:-x";
    QTest::newRow("huge parameter is clamped") << QByteArray("\\fs99999999999999999999 ") << "\\fs=1000000000";
    QTest::newRow("huge negative parameter is clamped") << QByteArray("\\fs-99999999999999999999 ") << "\\fs=-1000000000";
    QTest::newRow("over-long word is cut") << QByteArray("\\") + QByteArray(40, 'a') + QByteArray("1")
                                           << "\\" + QString(32, QLatin1Char('a')) + "=1";
    QTest::newRow("hex escape") << QByteArray("\\'e9\\'C3") << "hex:233|hex:195";
    QTest::newRow("broken hex escape leaves its text") << QByteArray("\\'zz") << "hex:-1|text:zz";
    QTest::newRow("half a hex escape at the end is dropped") << QByteArray("a\\'e") << "text:a|hex:-1";
    QTest::newRow("hex escape with one good digit") << QByteArray("\\'ez") << "hex:-1|text:ez";
    QTest::newRow("backslash as the last byte") << QByteArray("abc\\") << "text:abc";
    QTest::newRow("line breaks are not text") << QByteArray("a\r\nb\n") << "text:a|text:b";
    QTest::newRow("control symbols") << QByteArray("\\~\\{\\}\\\\\\*\\-\\_") << "sym:~|sym:{|sym:}|sym:\\|sym:*|sym:-|sym:_";
    QTest::newRow("escaped line break") << QByteArray("\\\r\\\n") << "sym:d|sym:a";
    QTest::newRow("text runs end at braces and backslashes") << QByteArray("a{b}c\\d e") << "text:a|{|text:b|}|text:c|\\d|text:e";
    QTest::newRow("bytes above 127 are text") << QByteArray("\xe9t\xe9") << QString::fromLatin1("text:\xe9t\xe9");
}

void TestRtfLexer::cutsTokens()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, expected);
    QCOMPARE(tokens(data), expected);
}

void TestRtfLexer::skipsGroups_data()
{
    QTest::addColumn<QByteArray>("group");
    QTest::addColumn<QString>("after");
    QTest::newRow("flat") << QByteArray("abc}rest") << "text:rest";
    QTest::newRow("nested") << QByteArray("a{b{c}d}e}rest") << "text:rest";
    QTest::newRow("escaped braces do not count") << QByteArray("a\\}\\{b}rest") << "text:rest";
    QTest::newRow("braces inside binary data do not count") << QByteArray("\\bin3 }}}x}rest") << "text:rest";
    QTest::newRow("binary length longer than the data") << QByteArray("\\bin999 }}") << "";
    QTest::newRow("negative binary length skips nothing") << QByteArray("\\bin-5 x}rest") << "text:rest";
    QTest::newRow("unterminated") << QByteArray("a{b") << "";
    QTest::newRow("\\bin as the last word") << QByteArray("\\bin") << "";
}

void TestRtfLexer::skipsGroups()
{
    QFETCH(QByteArray, group);
    QFETCH(QString, after);
    RtfLexer lexer(group.constData(), group.constData() + group.size());
    lexer.skipGroup();
    QStringList rest;
    for (RtfLexer::Token t = lexer.next(); t.type != RtfLexer::Token::End; t = lexer.next())
        rest << (t.type == RtfLexer::Token::Text
                     ? QStringLiteral("text:") + QString::fromLatin1(t.word.data(), qsizetype(t.word.size()))
                     : QStringLiteral("other"));
    QCOMPARE(rest.join(QLatin1Char('|')), after);
}

void TestRtfLexer::rawBytesStopAtTheEnd()
{
    const QByteArray data("\\bin10 abc");
    RtfLexer lexer(data.constData(), data.constData() + data.size());
    const RtfLexer::Token bin = lexer.next();
    QCOMPARE(bin.type, RtfLexer::Token::ControlWord);
    QCOMPARE(bin.value, 10);
    const std::string_view bytes = lexer.takeBytes(bin.value);
    QCOMPARE(QByteArray(bytes.data(), qsizetype(bytes.size())), QByteArray("abc"));
    QCOMPARE(lexer.next().type, RtfLexer::Token::End);
    QCOMPARE(lexer.takeBytes(5).size(), size_t(0));
    QCOMPARE(lexer.takeBytes(-1).size(), size_t(0));
}

void TestRtfLexer::bareStarOnlyBeforeABackslash()
{
    const QByteArray withWord("{*\\generator x}");
    RtfLexer a(withWord.constData(), withWord.constData() + withWord.size());
    QCOMPARE(a.next().type, RtfLexer::Token::GroupOpen);
    QVERIFY(a.takeBareStar());
    QCOMPARE(tokens(QByteArray(withWord.constData() + 2)), QStringLiteral("\\generator|text:x|}"));
    QCOMPARE(a.next().type, RtfLexer::Token::ControlWord);

    const QByteArray plainStar("{* starred}");
    RtfLexer b(plainStar.constData(), plainStar.constData() + plainStar.size());
    QCOMPARE(b.next().type, RtfLexer::Token::GroupOpen);
    QVERIFY(!b.takeBareStar());
    QCOMPARE(b.next().word, std::string_view("* starred"));
}

QTEST_APPLESS_MAIN(TestRtfLexer)
#include "tst_rtflexer.moc"
