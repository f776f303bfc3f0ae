#pragma once

#include <QObject>
#include <QTextObjectInterface>

class QTextDocument;

namespace kmp::rtf::detail {

// Draws a footnote object as its text in brackets, smaller and grey, at the
// place the note refers to it, so the clinician sees it without a page layout.
class FootnoteMarker : public QObject, public QTextObjectInterface
{
    Q_OBJECT
    Q_INTERFACES(QTextObjectInterface)

public:
    explicit FootnoteMarker(QObject *parent = nullptr);

    // Registers a marker with doc's layout unless one is there already.
    static void install(QTextDocument *doc);

    QSizeF intrinsicSize(QTextDocument *doc, int posInDocument, const QTextFormat &format) override;
    void drawObject(QPainter *painter, const QRectF &rect, QTextDocument *doc, int posInDocument,
                    const QTextFormat &format) override;
};

} // namespace kmp::rtf::detail
