#pragma once

#include <QPointer>
#include <QToolButton>
#include <functional>

#include "datasource.h"
#include <QLineEdit>

namespace kmp {

// A lookup button beside an entry: a click runs OnBeforePesq, then the lookup over its data
// source (Pesquisa::Pesquisar with Title and EmptyError), then OnAfterPesq when a row was
// picked (the record set then stands on it). OnBeforePesq may clear its flag to skip the
// lookup. The whole click runs through the guarded dispatch: an exception from a hook
// ends the click with its message.
class TBtnPesquisa : public QToolButton
{
    Q_OBJECT
public:
    explicit TBtnPesquisa(QWidget *parent = nullptr);

    QPointer<QLineEdit> Associate; // the entry the looked-up value belongs to
    QString Title;
    QPointer<kmp::DataSource> DataSource;
    QString EmptyError; // shown when the list has no rows

    void setAssociate(QLineEdit *edit) { Associate = edit; }
    void setTitle(const QString &title) { Title = title; }
    void setDataSource(kmp::DataSource *source) { DataSource = source; }
    void setEmptyError(const QString &text) { EmptyError = text; }

    // bool&: true on entry; set it to false to skip the lookup.
    std::function<void(TBtnPesquisa &, bool &)> OnBeforePesq;
    std::function<void(TBtnPesquisa &)> OnAfterPesq;

    // The click's work, without the guard: true when a row was picked.
    bool pesquisar();
};

} // namespace kmp
