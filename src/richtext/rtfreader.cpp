#include "rtfreader.h"

#include "codepage.h"
#include "noteobjects.h"
#include "rtfparser.h"
#include "textformat.h"

#include <QStringDecoder>
#include <QTextBlock>
#include <QTextDocument>

#include <utility>
#include <vector>

namespace kmp::rtf {

namespace {

// How far into the data "{\rtf" may start: some exporters put a byte-order mark
// or a stray character before it, and a note is never meant to start with it
// as text.
constexpr qsizetype kMaxRtfLead = 16;

qsizetype rtfStart(const QByteArray &data)
{
    const qsizetype at = data.left(kMaxRtfLead + 5).indexOf("{\\rtf");
    return at >= 0 && at <= kMaxRtfLead ? at : -1;
}

QString decodePlain(const QByteArray &data)
{
    QByteArray bytes = data;
    while (bytes.endsWith('\0'))
        bytes.chop(1);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    text.clear();
    detail::appendDecoded(1252, bytes.constData(), bytes.size(), text);
    return text;
}

} // namespace

bool looksLikeRtf(const QByteArray &data)
{
    return rtfStart(data) >= 0;
}

namespace {

void readInto(const QByteArray &data, QTextDocument *doc, bool decodePictures)
{
    const bool undo = doc->isUndoRedoEnabled();
    doc->setUndoRedoEnabled(false);
    doc->clear();
    doc->setProperty(kReadLimitsProperty, QVariant());
    const qsizetype start = rtfStart(data);
    if (start < 0) {
        QString text = decodePlain(data);
        text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        doc->setPlainText(text);
    } else {
        try {
            detail::RtfParser parser(doc);
            parser.setDecodePictures(decodePictures);
            parser.parse(data, start);
        } catch (...) {
            // Only allocation failure can get here; keep what was loaded rather
            // than take the screen down.
        }
    }
    doc->setUndoRedoEnabled(undo);
    doc->setModified(false);
}

} // namespace

void read(const QByteArray &data, QTextDocument *doc)
{
    if (!doc)
        return;
    readInto(data, doc, true);
}

QString plainText(const QByteArray &data)
{
    // Pictures are not decoded: the text is all that is wanted, and the server
    // runs this on notes it has never shown to anyone.
    QTextDocument doc;
    readInto(data, &doc, false);
    QString text = doc.toPlainText();
    // Hidden text, headers and footers are left out; a footnote or a comment
    // reads where it is referenced, and deleted text as deleted, never as text.
    std::vector<std::pair<int, QString>> objects;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextFragment f = it.fragment();
            const QTextCharFormat fmt = f.charFormat();
            QString shown;
            switch (fmt.objectType()) {
            case HiddenTextObject:
            case PageTextObject: break;
            case FootnoteObject:
                shown = QStringLiteral(" [") + fmt.stringProperty(FootnoteText).simplified() + QLatin1Char(']');
                break;
            case CommentObject:
                shown =
                    QStringLiteral(" [Comentário")
                    + (fmt.stringProperty(CommentAuthor).isEmpty() ? QString()
                                                                   : QStringLiteral(" de ") + fmt.stringProperty(CommentAuthor))
                    + QStringLiteral(": ") + fmt.stringProperty(CommentText).simplified() + QLatin1Char(']');
                break;
            case DeletedTextObject:
                shown = QStringLiteral("[excluído: ") + fmt.stringProperty(DeletedText) + QLatin1Char(']');
                break;
            default: continue;
            }
            for (int i = 0; i < f.length(); ++i)
                objects.emplace_back(f.position() + i, shown);
        }
    }
    for (auto it = objects.rbegin(); it != objects.rend(); ++it) {
        if (it->first < text.size() && text.at(it->first) == QChar::ObjectReplacementCharacter)
            text.replace(it->first, 1, it->second);
    }
    // A deletion is kept one word to an object: read it as one.
    text.replace(QStringLiteral("][excluído: "), QString());
    return text;
}

} // namespace kmp::rtf
