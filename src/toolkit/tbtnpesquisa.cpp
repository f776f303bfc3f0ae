#include "tbtnpesquisa.h"

#include "exceptions.h"
#include "pesquisa.h"

namespace kmp {

TBtnPesquisa::TBtnPesquisa(QWidget *parent) : QToolButton(parent)
{
    setText(QStringLiteral("…"));
    setToolTip(QStringLiteral("Pesquisar"));
    setFocusPolicy(Qt::TabFocus);
    connect(this, &QToolButton::clicked, this, [this] { kmp::guarded(this, [this] { pesquisar(); }); });
}

bool TBtnPesquisa::pesquisar()
{
    bool go = true;
    if (OnBeforePesq)
        OnBeforePesq(*this, go);
    if (!go)
        return false;
    const QString joined = Title + QLatin1Char('|') + EmptyError;
    if (!Pesquisa::Pesquisar(DataSource, joined, false, true))
        return false;
    if (OnAfterPesq)
        OnAfterPesq(*this);
    return true;
}

} // namespace kmp
