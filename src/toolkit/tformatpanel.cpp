#include "tformatpanel.h"

#include "dialogs.h"
#include "exceptions.h"

#include <QColorDialog>
#include <QComboBox>
#include <QFontComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QTextList>
#include <QToolButton>

namespace kmp {

QString formatBtnName(TFormatBtn button)
{
    switch (button) {
    case TFormatBtn::FontName: return QStringLiteral("FontName");
    case TFormatBtn::FontSize: return QStringLiteral("FontSize");
    case TFormatBtn::Bold: return QStringLiteral("Bold");
    case TFormatBtn::Italic: return QStringLiteral("Italic");
    case TFormatBtn::Underline: return QStringLiteral("Underline");
    case TFormatBtn::Color: return QStringLiteral("Color");
    case TFormatBtn::AlignLeft: return QStringLiteral("AlignLeft");
    case TFormatBtn::AlignCenter: return QStringLiteral("AlignCenter");
    case TFormatBtn::AlignRight: return QStringLiteral("AlignRight");
    case TFormatBtn::AlignJustify: return QStringLiteral("AlignJustify");
    case TFormatBtn::Bullets: return QStringLiteral("Bullets");
    case TFormatBtn::IndentIncrease: return QStringLiteral("IndentIncrease");
    case TFormatBtn::IndentDecrease: return QStringLiteral("IndentDecrease");
    }
    return QString();
}

QIcon formatIcon(TFormatBtn button, const QColor &ink)
{
    constexpr int size = 16;
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QPen(ink, 1.6, Qt::SolidLine, Qt::FlatCap));
    // Four lines of text, the second and fourth shorter, placed as the alignment places them.
    auto lines = [&](int shortStart, int shortEnd) {
        for (int i = 0; i < 4; ++i) {
            const int y = 3 + i * 3;
            if (i % 2 == 1)
                p.drawLine(shortStart, y, shortEnd, y);
            else
                p.drawLine(2, y, 13, y);
        }
    };
    auto arrow = [&](bool right) {
        const int tip = right ? 6 : 1;
        const int back = right ? 2 : 5;
        p.drawLine(back, 4, tip, 7);
        p.drawLine(tip, 7, back, 10);
        for (int i = 0; i < 4; ++i)
            p.drawLine(8, 3 + i * 3, 14, 3 + i * 3);
    };
    switch (button) {
    case TFormatBtn::AlignLeft: lines(2, 9); break;
    case TFormatBtn::AlignCenter: lines(5, 10); break;
    case TFormatBtn::AlignRight: lines(6, 13); break;
    case TFormatBtn::AlignJustify: lines(2, 13); break;
    case TFormatBtn::Bullets:
        p.setBrush(ink);
        for (int i = 0; i < 3; ++i) {
            const int y = 3 + i * 5;
            p.setPen(Qt::NoPen);
            p.drawEllipse(QPointF(3, y), 1.6, 1.6);
            p.setPen(QPen(ink, 1.6, Qt::SolidLine, Qt::FlatCap));
            p.drawLine(7, y, 14, y);
        }
        break;
    case TFormatBtn::IndentIncrease: arrow(true); break;
    case TFormatBtn::IndentDecrease: arrow(false); break;
    default: break;
    }
    p.end();
    return QIcon(pixmap);
}

TFormatPanel::TFormatPanel(QWidget *parent) : QWidget(parent)
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(2);
    m_fontBox = new QFontComboBox(this);
    m_fontBox->setObjectName(QStringLiteral("fontName"));
    // A list, not an entry: an editable box is two controls to a screen reader, the name
    // on the box and the focus in an unnamed field inside it.
    m_fontBox->setEditable(false);
    m_fontBox->setFocusPolicy(Qt::ClickFocus);
    m_fontBox->setMaximumWidth(170);
    layout->addWidget(m_fontBox);
    m_sizeBox = new QComboBox(this);
    m_sizeBox->setObjectName(QStringLiteral("fontSize"));
    m_sizeBox->setFocusPolicy(Qt::ClickFocus);
    for (int s : {8, 9, 10, 11, 12, 14, 16, 18, 20, 24, 28, 36})
        m_sizeBox->addItem(QString::number(s), s);
    layout->addWidget(m_sizeBox);
    // Screen readers on this desktop give a list box its value ("10") as its name and take
    // the name from the label that points at it; the bar has no room to show the labels.
    for (QComboBox *box : {static_cast<QComboBox *>(m_fontBox), m_sizeBox}) {
        const QString name = box == m_sizeBox ? QStringLiteral("Tamanho da fonte") : QStringLiteral("Fonte");
        box->setAccessibleName(name);
        box->setToolTip(name);
        auto *label = new QLabel(name, this);
        label->setObjectName(box->objectName() + QStringLiteral("Label"));
        label->setBuddy(box);
        label->hide();
    }

    struct Def
    {
        TFormatBtn id;
        const char *text; // a letter shown as the button's face; null for a drawn icon
        const char *tip;
        const char *keys; // the editor's own shortcut, shown in the tooltip
        bool checkable;
    };
    const Def defs[] = {
        {TFormatBtn::Bold, "N", "Negrito", "Ctrl+B", true},
        {TFormatBtn::Italic, "I", "Itálico", "Ctrl+I", true},
        {TFormatBtn::Underline, "S", "Sublinhado", "Ctrl+U", true},
        {TFormatBtn::Color, "Cor", "Cor da fonte", nullptr, false},
        {TFormatBtn::AlignLeft, nullptr, "Alinhar à esquerda", nullptr, true},
        {TFormatBtn::AlignCenter, nullptr, "Centralizar", nullptr, true},
        {TFormatBtn::AlignRight, nullptr, "Alinhar à direita", nullptr, true},
        {TFormatBtn::AlignJustify, nullptr, "Justificar", nullptr, true},
        {TFormatBtn::Bullets, nullptr, "Marcadores", nullptr, true},
        {TFormatBtn::IndentDecrease, nullptr, "Diminuir recuo", nullptr, false},
        {TFormatBtn::IndentIncrease, nullptr, "Aumentar recuo", nullptr, false},
    };
    for (const Def &d : defs) {
        auto *b = new QToolButton(this);
        const QString name = QString::fromUtf8(d.tip);
        b->setObjectName(formatBtnName(d.id));
        b->setAccessibleName(name);
        b->setToolTip(d.keys ? QStringLiteral("%1 (%2)").arg(name, QLatin1String(d.keys)) : name);
        if (d.text) {
            b->setText(QString::fromUtf8(d.text));
        } else {
            // Drawn, not taken from a font: symbol glyphs are missing from many desktops'
            // fonts and would show as empty boxes.
            b->setText(name);
            b->setIcon(formatIcon(d.id, b->palette().color(QPalette::ButtonText)));
            b->setToolButtonStyle(Qt::ToolButtonIconOnly);
        }
        b->setCheckable(d.checkable);
        b->setAutoRaise(true);
        b->setFocusPolicy(Qt::NoFocus); // the editor keeps the focus and its selection
        QFont f = b->font();
        if (d.id == TFormatBtn::Bold)
            f.setBold(true);
        if (d.id == TFormatBtn::Italic)
            f.setItalic(true);
        if (d.id == TFormatBtn::Underline)
            f.setUnderline(true);
        b->setFont(f);
        const TFormatBtn id = d.id;
        connect(b, &QToolButton::clicked, this, [this, id] { press(id); });
        m_buttons[d.id] = b;
        layout->addWidget(b);
    }
    layout->addStretch();
    connect(m_fontBox, &QFontComboBox::textActivated, this, [this](const QString &family) { chooseFontFamily(family); });
    connect(m_sizeBox, &QComboBox::activated, this, [this](int i) { chooseFontSize(m_sizeBox->itemData(i).toInt()); });
    setEnabled(false);
}

QToolButton *TFormatPanel::button(TFormatBtn id) const
{
    auto it = m_buttons.find(id);
    return it == m_buttons.end() ? nullptr : it->second;
}

void TFormatPanel::setRichEdit(QTextEdit *editor)
{
    if (m_editor) {
        disconnect(m_editor, nullptr, this, nullptr);
        m_editor->removeEventFilter(this);
    }
    m_editor = editor;
    setEnabled(editor != nullptr);
    if (!editor)
        return;
    editor->installEventFilter(this);
    connect(editor, &QTextEdit::cursorPositionChanged, this, &TFormatPanel::syncFromCursor);
    connect(editor, &QTextEdit::currentCharFormatChanged, this, &TFormatPanel::syncFromCursor);
    syncFromCursor();
}

void TFormatPanel::press(TFormatBtn button)
{
    kmp::guarded(this, [&] { clicked(button); });
}

void TFormatPanel::chooseFontFamily(const QString &family)
{
    kmp::guarded(this, [&] {
        QTextCharFormat f;
        f.setFontFamilies({family});
        mergeFormat(f);
        if (OnClick)
            OnClick(*this, TFormatBtn::FontName);
    });
}

void TFormatPanel::chooseFontSize(int points)
{
    kmp::guarded(this, [&] {
        if (points <= 0)
            return;
        QTextCharFormat f;
        f.setFontPointSize(points);
        mergeFormat(f);
        if (OnClick)
            OnClick(*this, TFormatBtn::FontSize);
    });
}

void TFormatPanel::clicked(TFormatBtn button)
{
    if (!m_editor)
        return;
    apply(button);
    if (OnClick)
        OnClick(*this, button);
    syncFromCursor();
}

void TFormatPanel::mergeFormat(const QTextCharFormat &format)
{
    if (!m_editor)
        return;
    QTextCursor c = m_editor->textCursor();
    if (c.hasSelection())
        c.mergeCharFormat(format);
    m_editor->mergeCurrentCharFormat(format); // what is typed next
}

void TFormatPanel::apply(TFormatBtn button)
{
    QTextEdit *e = m_editor;
    QTextCursor cursor = e->textCursor();
    const QTextCharFormat current = cursor.charFormat();
    switch (button) {
    case TFormatBtn::Bold: {
        QTextCharFormat f;
        f.setFontWeight(current.fontWeight() > QFont::Normal ? QFont::Normal : QFont::Bold);
        mergeFormat(f);
        break;
    }
    case TFormatBtn::Italic: {
        QTextCharFormat f;
        f.setFontItalic(!current.fontItalic());
        mergeFormat(f);
        break;
    }
    case TFormatBtn::Underline: {
        QTextCharFormat f;
        f.setFontUnderline(!current.fontUnderline());
        mergeFormat(f);
        break;
    }
    case TFormatBtn::Color: {
        QColorDialog dialog(current.foreground().color(), this);
        dialog.setWindowTitle(QStringLiteral("Cor da fonte"));
        if (kmp::Dialogs::exec(kmp::DialogKind::Color, &dialog) != QDialog::Accepted)
            return;
        const QColor chosen = dialog.selectedColor().isValid() ? dialog.selectedColor() : dialog.currentColor();
        QTextCharFormat f;
        f.setForeground(chosen);
        mergeFormat(f);
        break;
    }
    case TFormatBtn::AlignLeft: e->setAlignment(Qt::AlignLeft | Qt::AlignAbsolute); break;
    case TFormatBtn::AlignCenter: e->setAlignment(Qt::AlignHCenter); break;
    case TFormatBtn::AlignRight: e->setAlignment(Qt::AlignRight | Qt::AlignAbsolute); break;
    case TFormatBtn::AlignJustify: e->setAlignment(Qt::AlignJustify); break;
    case TFormatBtn::Bullets: {
        cursor.beginEditBlock();
        if (QTextList *list = cursor.currentList()) {
            // Off: the paragraphs leave the list and keep their indent level.
            const QTextBlock first = e->document()->findBlock(cursor.selectionStart());
            const QTextBlock last = e->document()->findBlock(cursor.selectionEnd());
            for (QTextBlock b = first; b.isValid(); b = b.next()) {
                if (b.textList() == list)
                    list->remove(b);
                QTextCursor bc(b);
                QTextBlockFormat bf = b.blockFormat();
                bf.setIndent(0);
                bc.setBlockFormat(bf);
                if (b == last)
                    break;
            }
        } else {
            QTextListFormat lf;
            lf.setStyle(QTextListFormat::ListDisc);
            lf.setIndent(qMax(1, cursor.blockFormat().indent() + 1));
            cursor.createList(lf);
        }
        cursor.endEditBlock();
        break;
    }
    case TFormatBtn::IndentIncrease:
    case TFormatBtn::IndentDecrease: {
        const int step = button == TFormatBtn::IndentIncrease ? 1 : -1;
        cursor.beginEditBlock();
        const QTextBlock first = e->document()->findBlock(cursor.selectionStart());
        const QTextBlock last = e->document()->findBlock(cursor.selectionEnd());
        for (QTextBlock b = first; b.isValid(); b = b.next()) {
            QTextCursor bc(b);
            QTextBlockFormat bf = b.blockFormat();
            bf.setIndent(qMax(0, bf.indent() + step));
            bc.setBlockFormat(bf);
            if (b == last)
                break;
        }
        cursor.endEditBlock();
        break;
    }
    case TFormatBtn::FontName: chooseFontFamily(m_fontBox->currentText()); return;
    case TFormatBtn::FontSize: chooseFontSize(m_sizeBox->currentData().toInt()); return;
    }
}

void TFormatPanel::syncFromCursor()
{
    if (!m_editor || m_syncing)
        return;
    m_syncing = true;
    const QTextCursor c = m_editor->textCursor();
    const QTextCharFormat f = c.charFormat();
    button(TFormatBtn::Bold)->setChecked(f.fontWeight() > QFont::Normal);
    button(TFormatBtn::Italic)->setChecked(f.fontItalic());
    button(TFormatBtn::Underline)->setChecked(f.fontUnderline());
    const Qt::Alignment a = m_editor->alignment();
    button(TFormatBtn::AlignLeft)->setChecked(!(a & (Qt::AlignHCenter | Qt::AlignRight | Qt::AlignJustify)));
    button(TFormatBtn::AlignCenter)->setChecked(a & Qt::AlignHCenter);
    button(TFormatBtn::AlignRight)->setChecked(a & Qt::AlignRight);
    button(TFormatBtn::AlignJustify)->setChecked(a & Qt::AlignJustify);
    button(TFormatBtn::Bullets)->setChecked(c.currentList() != nullptr);
    // Text without a font of its own is written in the document's: that is what it shows.
    const QFont plain = m_editor->document()->defaultFont();
    const QStringList families = f.fontFamilies().toStringList();
    m_fontBox->setCurrentFont(QFont(families.isEmpty() ? plain.family() : families.first()));
    const int points = qRound(f.fontPointSize() > 0 ? f.fontPointSize() : plain.pointSizeF());
    if (const int i = m_sizeBox->findData(points); i >= 0)
        m_sizeBox->setCurrentIndex(i);
    m_syncing = false;
}

bool TFormatPanel::eventFilter(QObject *watched, QEvent *event)
{
    // Ctrl+B, Ctrl+I and Ctrl+U in the editor are the bar's buttons, so they format, show
    // and raise OnClick exactly as a click would.
    if (watched == m_editor && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
        if (mods == Qt::ControlModifier) {
            TFormatBtn id;
            bool known = true;
            switch (key->key()) {
            case Qt::Key_B: id = TFormatBtn::Bold; break;
            case Qt::Key_I: id = TFormatBtn::Italic; break;
            case Qt::Key_U: id = TFormatBtn::Underline; break;
            default: known = false; break;
            }
            if (known) {
                if (isEnabled() && !m_editor->isReadOnly())
                    press(id);
                return true;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace kmp
