#include "datasource.h"
#include "dialogs.h"
#include "hostservices.h"
#include "lookupdialog.h"
#include "pesquisa.h"
#include "recordset.h"
#include "scripteddialogs.h"

#include <QLineEdit>
#include <QTreeView>

#include <QtTest>

using namespace kmp;

class TestLookup : public QObject
{
    Q_OBJECT

    std::unique_ptr<RecordSet> m_set;
    std::unique_ptr<DataSource> m_source;

    void load(const QList<QStringList> &rows)
    {
        FieldDefs defs{{QStringLiteral("CDDIAGNOST"), FieldKind::String, 6},
                       {QStringLiteral("NMDIAGNOST"), FieldKind::String, 200}};
        std::vector<RowValues> values;
        for (const QStringList &r : rows)
            values.push_back({r.at(0), r.at(1)});
        m_set->loadRows(defs, std::move(values));
    }

private Q_SLOTS:
    void init()
    {
        m_set = std::make_unique<RecordSet>(QStringLiteral("cdsDiagnost"));
        m_source = std::make_unique<DataSource>(QStringLiteral("dtsDiagnost"));
        m_source->setDataSet(m_set.get());
        load({{"I10", "Hipertensão essencial (primária)"},
              {"I11", "Doença cardíaca hipertensiva"},
              {"I110", "Doença cardíaca hipertensiva com insuficiência cardíaca (congestiva)"},
              {"I15", "Hipertensão secundária"},
              {"O10", "Hipertensão pré-existente complicando a gravidez, o parto e o puerpério"},
              {"O100", "Hipertensão essencial pré-existente complicando a gravidez, o parto e o puerpério"},
              {"J45", "Asma"},
              {"A00", "Cólera"},
              {"R51", "Cefaléia"}});
        Dialogs::clearLog();
    }
    void cleanup()
    {
        m_source.reset();
        m_set.reset();
    }

    void filter_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("codes"); // expected, in order

        QTest::newRow("accents and case folded, word starts") << "hipert ess" << QStringList{"I10", "O100"};
        QTest::newRow("typed with accents and capitals") << "HIPERTENSÃO ESSENCIAL" << QStringList{"I10", "O100"};
        QTest::newRow("start of a later word") << "cardiaca" << QStringList{"I11", "I110"};
        QTest::newRow("middle of a word is no match") << "ertens" << QStringList{};
        QTest::newRow("code prefix first, then texts") << "i1" << QStringList{"I10", "I11", "I110", "I15"};
        QTest::newRow("exact code before longer codes") << "I110" << QStringList{"I110"};
        QTest::newRow("code typed with its dot") << "I11.0" << QStringList{"I110"};
        QTest::newRow("text starting with the word first") << "hipertensao" << QStringList{"I10", "I15", "O10", "O100"};
        QTest::newRow("cedilla and acute folded") << "cefaleia" << QStringList{"R51"};
        QTest::newRow("every word must match") << "asma cardiaca" << QStringList{};
        QTest::newRow("blank query lists everything")
            << "   " << QStringList{"I10", "I11", "I110", "I15", "O10", "O100", "J45", "A00", "R51"};
    }

    void filter()
    {
        QFETCH(QString, query);
        QFETCH(QStringList, codes);
        auto index = LookupIndex::forRecordSet(m_set.get());
        std::vector<int> rows;
        index->filter(query, rows);
        QStringList got;
        for (int r : rows)
            got << m_set->value(r, 0).toString();
        QCOMPARE(got, codes);
    }

    void wordOrderRanksFirstWordMatchesAhead()
    {
        // "hipert" starts the description of I10/I15/O10/O100 but only a later word of I11.
        auto index = LookupIndex::forRecordSet(m_set.get());
        std::vector<int> rows;
        index->filter(QStringLiteral("hipert"), rows);
        QStringList got;
        for (int r : rows)
            got << m_set->value(r, 0).toString();
        QCOMPARE(got, (QStringList{"I10", "I15", "O10", "O100", "I11", "I110"}));
    }

    void pickMovesTheCursorToThePickedRow_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<int>("pickRow");
        QTest::addColumn<bool>("picked");
        QTest::addColumn<QString>("code");
        QTest::newRow("first of filtered") << "hipert ess" << 0 << true << "I10";
        QTest::newRow("second of filtered") << "hipert ess" << 1 << true << "O100";
        QTest::newRow("no filter, row 6") << "" << 6 << true << "J45";
        QTest::newRow("row past the list cancels") << "asma" << 3 << false << "A00";
    }

    void pickMovesTheCursorToThePickedRow()
    {
        QFETCH(QString, filter);
        QFETCH(int, pickRow);
        QFETCH(bool, picked);
        QFETCH(QString, code);
        m_set->moveTo(7); // A00
        QString seenTitle;
        ScopedResponder r([&](DialogRequest &req) {
            seenTitle = req.title;
            if (req.kind != DialogKind::Lookup)
                return int(QDialog::Rejected);
            return answers::pick(pickRow, filter)(req);
        });
        QCOMPARE(Pesquisa::Pesquisar(m_source.get(), QStringLiteral("Diagnóstico|Não há diagnóstico cadastrado."), false, true),
                 picked);
        QCOMPARE(seenTitle, QStringLiteral("Diagnóstico"));
        QCOMPARE(m_set->fieldByName(QStringLiteral("CDDIAGNOST"))->asString(), code);
    }

    void cancelLeavesTheCursor()
    {
        m_set->moveTo(2);
        ScopedResponder r(answers::cancel());
        QVERIFY(!Pesquisa::Pesquisar(m_source.get(), QStringLiteral("T|E"), false, true));
        QCOMPARE(m_set->currentRow(), 2);
    }

    void emptySetShowsTheTextAndReturnsFalse()
    {
        load({});
        ScriptedDialogs script;
        script.thenAnswer(MessageResult::Ok);
        QVERIFY(!Pesquisa::Pesquisar(m_source.get(), QStringLiteral("Diagnóstico|Não há diagnóstico cadastrado."), false, true));
        QCOMPARE(script.seen().size(), 1);
        QCOMPARE(script.seen().at(0).kind, DialogKind::Message);
        QCOMPARE(script.seen().at(0).text, QStringLiteral("Não há diagnóstico cadastrado."));
        QCOMPARE(script.seen().at(0).title, QStringLiteral("Diagnóstico"));
        QCOMPARE(script.unexpected(), 0);
    }

    void keyboardTypingFiltersAndEnterPicks()
    {
        // The real dialog, driven by key events as a person would.
        LookupDialog dialog(m_set.get(), QStringLiteral("Diagnóstico"));
        dialog.show();
        QTest::keyClicks(dialog.searchBox(), QStringLiteral("hipert ess"));
        QCOMPARE(dialog.shownCount(), 2);
        QTest::keyClick(dialog.searchBox(), Qt::Key_Down);
        QTest::keyClick(dialog.searchBox(), Qt::Key_Return);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(m_set->value(dialog.pickedSourceRow(), 0).toString(), QStringLiteral("O100"));
    }

    void escapeCancels()
    {
        LookupDialog dialog(m_set.get(), QStringLiteral("Diagnóstico"));
        dialog.show();
        QTest::keyClick(dialog.searchBox(), Qt::Key_Escape);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(dialog.pickedSourceRow(), -1);
    }

    void sizeIsRemembered_data()
    {
        QTest::addColumn<QSize>("stored");    // what the host had kept, invalid for nothing
        QTest::addColumn<QSize>("resizedTo"); // what the user makes of it, invalid for nothing
        QTest::addColumn<QSize>("nextOpen");
        QTest::newRow("first time: the default") << QSize() << QSize() << QSize(640, 420);
        QTest::newRow("widened by the user: opens wide next time") << QSize() << QSize(900, 600) << QSize(900, 600);
        QTest::newRow("kept from the last run") << QSize(800, 500) << QSize() << QSize(800, 500);
        QTest::newRow("a kept size too small to use: the default") << QSize(40, 30) << QSize() << QSize(640, 420);
    }
    void sizeIsRemembered()
    {
        QFETCH(QSize, stored);
        QFETCH(QSize, resizedTo);
        QFETCH(QSize, nextOpen);
        MemoryHostServices host;
        HostServices::setInstance(&host);
        if (stored.isValid())
            host.saveState(QStringLiteral("lookupDialog/size"), stored);
        {
            LookupDialog dialog(m_set.get(), QStringLiteral("Diagnósticos"));
            QVERIFY(dialog.isSizeGripEnabled());
            dialog.show();
            if (resizedTo.isValid())
                dialog.resize(resizedTo);
            dialog.reject();
        }
        LookupDialog again(m_set.get(), QStringLiteral("Diagnósticos"));
        QCOMPARE(again.size(), nextOpen);
        HostServices::setInstance(nullptr);
    }

    void longNamesReadInTheTooltip()
    {
        LookupDialog dialog(m_set.get(), QStringLiteral("Diagnósticos"));
        dialog.setFilterText(QStringLiteral("O100"));
        QCOMPARE(dialog.shownCount(), 1);
        const QModelIndex name = dialog.view()->model()->index(0, 1);
        QCOMPARE(name.data(Qt::ToolTipRole).toString(),
                 QStringLiteral("Hipertensão essencial pré-existente complicando a gravidez, o parto e o puerpério"));
        QCOMPARE(dialog.searchBox()->accessibleName(), QStringLiteral("Pesquisar"));
        QCOMPARE(dialog.view()->accessibleName(), QStringLiteral("Resultados da pesquisa"));
    }

    void indexIsRebuiltAfterReload()
    {
        auto first = LookupIndex::forRecordSet(m_set.get());
        QCOMPARE(LookupIndex::forRecordSet(m_set.get()).get(), first.get());
        load({{"Z00", "Exame geral"}});
        auto second = LookupIndex::forRecordSet(m_set.get());
        QVERIFY(second.get() != first.get());
        std::vector<int> rows;
        second->filter(QStringLiteral("exame"), rows);
        QCOMPARE(rows, std::vector<int>{0});
    }

    void foldingTable_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("folded");
        QTest::newRow("portuguese accents") << "ÁÉÍÓÚáéíóú ÂÊÔãõç"
                                            << "aeiouaeiou aeoaoc";
        QTest::newRow("punctuation to blanks") << "(primária),x"
                                               << " primaria  x";
        QTest::newRow("decomposed input") << QString::fromUtf8("a\u0303o") << "ao";
    }
    void foldingTable()
    {
        QFETCH(QString, text);
        QFETCH(QString, folded);
        QCOMPARE(foldForSearch(text), folded);
    }
};

QTEST_MAIN(TestLookup)
#include "tst_lookup.moc"
