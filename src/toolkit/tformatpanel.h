#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <map>

#include <QColor>
#include <QIcon>
#include <QTextEdit>
class QToolButton;
class QFontComboBox;
class QComboBox;
class QTextCharFormat;

namespace kmp {

enum class TFormatBtn {
    FontName,
    FontSize,
    Bold,
    Italic,
    Underline,
    Color,
    AlignLeft,
    AlignCenter,
    AlignRight,
    AlignJustify,
    Bullets,
    IndentIncrease,
    IndentDecrease,
};

QString formatBtnName(TFormatBtn button);
// The drawn face of a button that shows no letter (alignment, bullets, indent), in ink.
QIcon formatIcon(TFormatBtn button, const QColor &ink);

// A formatting bar bound to a rich-text editor: font family and size, bold, italic,
// underline, colour, alignment, bullets and indent, applied to the editor's selection (or
// to what is typed next when nothing is selected). Each press of a control raises OnClick
// once, with the panel and the button, after the format was applied; the buttons follow
// the format at the editor's cursor. Ctrl+B, Ctrl+I and Ctrl+U in the editor press the
// bold, italic and underline buttons.
class TFormatPanel : public QWidget
{
    Q_OBJECT
public:
    explicit TFormatPanel(QWidget *parent = nullptr);

    void setRichEdit(QTextEdit *editor);

    std::function<void(TFormatPanel &, TFormatBtn)> OnClick;

    // Presses a button as the user would (the colour button asks through the dialog
    // service). Runs through the guarded dispatch.
    void press(TFormatBtn button);
    // Font family and size as chosen in the bar's boxes.
    void chooseFontFamily(const QString &family);
    void chooseFontSize(int points);

    QToolButton *button(TFormatBtn button) const;
    QFontComboBox *fontBox() const { return m_fontBox; }
    QComboBox *sizeBox() const { return m_sizeBox; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void apply(TFormatBtn button);
    void mergeFormat(const QTextCharFormat &format);
    void syncFromCursor();
    void clicked(TFormatBtn button);

    QPointer<QTextEdit> m_editor;
    QFontComboBox *m_fontBox;
    QComboBox *m_sizeBox;
    std::map<TFormatBtn, QToolButton *> m_buttons;
    bool m_syncing = false;
};

} // namespace kmp
