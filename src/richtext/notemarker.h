#pragma once

#include <QObject>
#include <QTextObjectInterface>

class QTextDocument;

namespace kmp::rtf::detail {

// Draws the note objects that are seen where they stand, so the clinician sees
// them without a page layout: a footnote as its text in brackets, small and
// grey; a comment as its author and text on a pale yellow ground; a header or
// a footer as a grey label; deleted text struck through in red. Each carries a
// tooltip with who wrote it and when.
class NoteMarker : public QObject, public QTextObjectInterface
{
    Q_OBJECT
    Q_INTERFACES(QTextObjectInterface)

public:
    explicit NoteMarker(QObject *parent = nullptr);

    // Registers a marker for every kind of note object with doc's layout,
    // unless one is there already.
    static void install(QTextDocument *doc);

    QSizeF intrinsicSize(QTextDocument *doc, int posInDocument, const QTextFormat &format) override;
    void drawObject(QPainter *painter, const QRectF &rect, QTextDocument *doc, int posInDocument,
                    const QTextFormat &format) override;
};

} // namespace kmp::rtf::detail
