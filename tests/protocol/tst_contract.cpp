// The remote module's contract: the wire order stations and servers already in use rely on,
// the argument encoding both sides share, and the server's argument checks taken from it.

#include "dispatcher.h"
#include "error.h"
#include "methods.h"

#include <QCborArray>
#include <QTest>

#include <algorithm>

using namespace kmp;
namespace p = kmp::protocol;

namespace {

// A valid value for an argument of the given kind, and one of another kind.
QCborValue validValue(p::ArgKind kind)
{
    switch (kind) {
    case p::ArgKind::Text: return QCborValue(QStringLiteral("0001"));
    case p::ArgKind::Date: return QCborValue(46363);
    case p::ArgKind::Bytes: return QCborValue(QByteArray("x"));
    }
    return {};
}

QCborValue wrongValue(p::ArgKind kind)
{
    return kind == p::ArgKind::Text ? QCborValue(1) : QCborValue(QStringLiteral("ontem"));
}

// The refusals checked here must come before the store is ever reached.
struct NoStore : kmp::Error
{
    NoStore() : kmp::Error(QStringLiteral("the store was reached")) {}
};

wire::Response dispatch(const QString &method, const QCborArray &args)
{
    server::Dispatcher dispatcher([]() -> server::Store & { throw NoStore(); });
    wire::Request r;
    r.id = 3;
    r.module = server::ModuleName;
    r.guid = server::ModuleGuid;
    r.method = method;
    r.args = args;
    return dispatcher.handle(r);
}

} // namespace

class TestContract : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void wireOrder_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("signature");
        const auto row = [](const char *method, const char *signature) {
            QTest::newRow(method) << QString::fromLatin1(method) << QString::fromLatin1(signature);
        };
        row("GetDiagnost", "GetDiagnost [versao]");
        row("GetDiagPaci", "GetDiagPaci filial paciente dtConsulta");
        row("GetDiagAsso", "GetDiagAsso filial paciente dtConsulta");
        row("GetHistGer", "GetHistGer paciente filial dtConsulta");
        row("GetVD_Diag", "GetVD_Diag filial paciente cdDiagnost dtConsulta");
        row("GetTipoLaudo", "GetTipoLaudo cdTipoLaudo seletor");
        row("GetMemLaudo", "GetMemLaudo filial paciente cdTipoLaudo dtConsulta");
        row("SetDiagPaci", "SetDiagPaci delta");
        row("SetMemLaudo", "SetMemLaudo delta");
        row("SetHistDoen", "SetHistDoen delta");
        row("SetHistClinProg", "SetHistClinProg delta");
        row("SetHistFam", "SetHistFam delta");
        row("SetExamFisi", "SetExamFisi delta");
        row("GetRelatorios", "GetRelatorios cdRelatorio");
        row("ExecRelatorio", "ExecRelatorio cdRelatorio idRelatorio parametros");
    }

    // Stations and servers of earlier builds send and expect exactly these orders.
    void wireOrder()
    {
        QFETCH(QString, method);
        QFETCH(QString, signature);
        const p::MethodInfo *m = p::findMethod(method);
        QVERIFY(m);
        QCOMPARE(p::signature(*m), signature);
    }

    void everyMethodIsListed()
    {
        QCOMPARE(int(p::methods().size()), 15);
        QVERIFY(!p::findMethod(u"gethistger"));
        QVERIFY(!p::findMethod(u"DropAll"));
        QStringList names;
        for (const p::MethodInfo &m : p::methods())
            names << m.name;
        QStringList served = server::Dispatcher::methodNames();
        names.sort();
        served.sort();
        QCOMPARE(served, names);
    }

    void encodingFollowsTheContract()
    {
        const QCborArray hist = p::encodeArgs<p::GetHistGer>(p::Patient{QStringLiteral("000000000001")},
                                                             p::Branch{QStringLiteral("0001")}, p::ConsultationDate{46363.5});
        QCOMPARE(hist, (QCborArray{QStringLiteral("000000000001"), QStringLiteral("0001"), 46363.5}));
        const auto back = p::decodeArgs<p::GetHistGer>(hist);
        QCOMPARE(p::arg<p::Patient>(back), QStringLiteral("000000000001"));
        QCOMPARE(p::arg<p::Branch>(back), QStringLiteral("0001"));
        QCOMPARE(p::arg<p::ConsultationDate>(back), 46363.5);

        // A day count sent as an integer is the same day.
        const auto whole = p::decodeArgs<p::GetDiagPaci>(QCborArray{QStringLiteral("0001"), QStringLiteral("2"), 46363});
        QCOMPARE(p::arg<p::ConsultationDate>(whole), 46363.0);

        // The optional catalogue version may be left out, and then reads as none.
        QCOMPARE(p::encodeArgs<p::GetDiagnost>(), QCborArray());
        QCOMPARE(p::arg<p::CatalogueVersion>(p::decodeArgs<p::GetDiagnost>(QCborArray())), QString());

        const QCborArray save = p::encodeArgs<p::SetHistFam>(p::Changes{QByteArray("\x01\x02", 2)});
        QCOMPARE(save, QCborArray{QByteArray("\x01\x02", 2)});
    }

    void serverChecksArgumentsFromTheContract_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QCborArray>("args");
        QTest::addColumn<QString>("message");
        for (const p::MethodInfo &m : p::methods()) {
            QCborArray valid;
            for (const p::ArgInfo &a : m.args)
                valid.append(validValue(a.kind));
            for (size_t i = 0; i < m.args.size(); ++i) {
                QCborArray args = valid;
                args[qsizetype(i)] = wrongValue(m.args[i].kind);
                QTest::addRow("%s: argument %d of the wrong kind", qPrintable(m.name), int(i + 1))
                    << m.name << args
                    << QStringLiteral("%1: o argumento %2 deveria ser %3.")
                           .arg(m.name)
                           .arg(i + 1)
                           .arg(p::argKindText(m.args[i].kind));
            }
            QCborArray tooMany = valid;
            tooMany.append(validValue(p::ArgKind::Text));
            const QString count = QStringLiteral("%1 espera %2 argumento(s), recebeu %3.").arg(m.name).arg(m.args.size());
            QTest::addRow("%s: one argument too many", qPrintable(m.name)) << m.name << tooMany << count.arg(tooMany.size());
            if (m.requiredArgs() > 0) {
                QCborArray tooFew = valid;
                tooFew.removeLast();
                for (int i = m.requiredArgs() - 1; i < int(m.args.size()) - 1; ++i)
                    tooFew.removeLast();
                QTest::addRow("%s: a required argument missing", qPrintable(m.name))
                    << m.name << tooFew << count.arg(tooFew.size());
            }
        }
    }

    void serverChecksArgumentsFromTheContract()
    {
        QFETCH(QString, method);
        QFETCH(QCborArray, args);
        QFETCH(QString, message);
        const wire::Response r = dispatch(method, args);
        QVERIFY(!r.ok);
        QCOMPARE(r.errorCode, int(wire::ErrorCode::BadRequest));
        QCOMPARE(r.errorMessage, message);
    }

    // Arguments that pass the checks reach the method (here: a store that is not there).
    void validArgumentsReachTheMethod()
    {
        for (const p::MethodInfo &m : p::methods()) {
            QCborArray args;
            for (const p::ArgInfo &a : m.args)
                args.append(validValue(a.kind));
            const wire::Response r = dispatch(m.name, args);
            QVERIFY2(!r.ok && r.errorMessage.contains(QLatin1String("the store was reached")), qPrintable(m.name));
        }
    }
};

QTEST_GUILESS_MAIN(TestContract)
#include "tst_contract.moc"
