#include "rtfreader.h"

#include "codepage.h"
#include "noteobjects.h"
#include "rtfparser.h"

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
    // Hidden text is left out, as on screen; a footnote reads where it is referenced.
    std::vector<std::pair<int, QString>> objects;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextFragment f = it.fragment();
            const int type = f.charFormat().objectType();
            if (type != HiddenTextObject && type != FootnoteObject)
                continue;
            const QString shown =
                type == FootnoteObject
                    ? QStringLiteral(" [") + f.charFormat().stringProperty(FootnoteText).simplified() + QLatin1Char(']')
                    : QString();
            for (int i = 0; i < f.length(); ++i)
                objects.emplace_back(f.position() + i, shown);
        }
    }
    for (auto it = objects.rbegin(); it != objects.rend(); ++it) {
        if (it->first < text.size() && text.at(it->first) == QChar::ObjectReplacementCharacter)
            text.replace(it->first, 1, it->second);
    }
    return text;
}

} // namespace kmp::rtf
