#include "serverfixture.h"

#include "context.h"
#include "dialogs.h"
#include "entry.h"
#include "fielddef.h"
#include "recordset.h"
#include "scripteddialogs.h"
#include "shareddata.h"
#include "tfrmdiagpaci.h"
#include "xdesktop.h"

#include <QApplication>
#include <QCborArray>
#include <QElapsedTimer>
#include <QFile>
#include <QMdiArea>
#include <QtTest>
#include <algorithm>

ScreenHarness::ScreenHarness() : m_host(std::make_unique<RecordingHostServices>()), m_main(std::make_unique<QMainWindow>())
{
    m_area = new QMdiArea(m_main.get());
    m_main->setCentralWidget(m_area);
    m_main->resize(1000, 760);
    m_host->setMainForm(m_main.get());
    m_host->setApplication(qApp);
    m_host->setMdiArea(m_area);
    m_host->setBranch(QStringLiteral("0001"));
    m_host->setActiveModule(QStringLiteral("A"));
    kmp::HostServices::setInstance(m_host.get());
    // No dialog may wait for a person: anything a test did not script is answered OK.
    kmp::Dialogs::setResponder(kmp::answers::ok());
    m_main->show();
    if (auto *x = kmp::test::XDesktop::instance())
        x->activate(m_main.get());
    else
        QApplication::setActiveWindow(m_main.get());
    m_client.setTimeouts(5000, 20000);
}

ScreenHarness::~ScreenHarness()
{
    closeScreen();
    kmp::HostServices::setInstance(nullptr);
    stopServer();
}

bool ScreenHarness::runCommand(const QStringList &args, QString *why)
{
    QProcess p;
    p.start(kmp::test::binary("kmp-appserver"),
            args + QStringList{QStringLiteral("--database"), QStringLiteral("sqlite:") + databaseFile()});
    if (!p.waitForFinished(300000) || p.exitCode() != 0) {
        *why = args.join(QLatin1Char(' ')) + QStringLiteral(": ") + QString::fromUtf8(p.readAllStandardError());
        return false;
    }
    return true;
}

bool importCatalogue(const QString &database, const QList<QPair<QString, QString>> &codesAndNames, QString *why)
{
    QTemporaryDir dir;
    QFile csv(dir.filePath(QStringLiteral("CID-10-SUBCATEGORIAS.CSV")));
    if (!csv.open(QIODevice::WriteOnly)) {
        *why = csv.errorString();
        return false;
    }
    // The official files' layout and encoding.
    QString text = QStringLiteral("SUBCAT;CLASSIF;RESTRSEXO;CAUSAOBITO;DESCRICAO;DESCRABREV;REFER;EXCLUIDOS;\n");
    for (const auto &[code, name] : codesAndNames)
        text += QStringLiteral("%1;;;;%2;%1;;;\n").arg(code, name);
    csv.write(text.toLatin1());
    csv.close();
    QProcess p;
    p.start(kmp::test::binary("kmp-appserver"),
            {QStringLiteral("import-cid10"), dir.path(), QStringLiteral("--database"), database});
    if (!p.waitForFinished(120000) || p.exitCode() != 0) {
        *why = QStringLiteral("import-cid10: ") + QString::fromUtf8(p.readAllStandardError());
        return false;
    }
    return true;
}

bool ScreenHarness::start(QString *why)
{
    return runCommand({QStringLiteral("demo")}, why) && restartServer(why);
}

bool ScreenHarness::startWithCatalogue(QString *why)
{
    if (!kmp::test::hasSharedData(QStringLiteral("cid10"))) {
        *why = kmp::test::missingSharedDataReason(QStringLiteral("cid10"));
        return false;
    }
    return runCommand({QStringLiteral("import-cid10"), kmp::test::sharedData(QStringLiteral("cid10"))}, why) && start(why);
}

bool ScreenHarness::restartServer(QString *why)
{
    m_server.setQuiet(true);
    m_server.setExtraOptions(m_serverOptions);
    const bool started = m_server.port() ? m_server.restart(why)
                                         : m_server.start(QStringLiteral("sqlite:") + databaseFile(), m_serverOptions, why);
    if (!started)
        return false;
    m_host->setWebURL(QStringLiteral("127.0.0.1"));
    m_host->setWebPort(m_server.port());
    m_client.setEndpoint(QStringLiteral("127.0.0.1"), m_server.port());
    return true;
}

void ScreenHarness::stopServer()
{
    m_client.disconnectFromServer();
    m_server.killHard();
}

TfrmDiagPaci *ScreenHarness::open(const QString &branch, const QString &patient, double date, const QString &patientText)
{
    IniProc(QVariant(QVariantList{branch, patient, patientText, date}));
    QApplication::processEvents();
    return frmDiagPaci;
}

void ScreenHarness::closeScreen()
{
    if (frmDiagPaci) {
        // A failed test may leave something half-typed: agree to drop it.
        kmp::ScopedResponder yes(kmp::answers::yes());
        frmDiagPaci->close();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::processEvents();
    BostCriado = false;
}

void ScreenHarness::closeScreenAfterNotesTest()
{
    kmp::Dialogs::setResponder(kmp::answers::ok());
    TfrmDiagPaci::startOnHistoryPage = false;
    if (frmDiagPaci) {
        for (int i = 0; i < TfrmDiagPaci::SectionCount; ++i)
            if (frmDiagPaci->section(i).set->isEditing())
                frmDiagPaci->section(i).set->cancel();
    }
    closeScreen();
}

kmp::wire::Response ScreenHarness::call(const QString &method, const QCborArray &args)
{
    kmp::wire::Request r;
    r.module = QStringLiteral("KMP12800.rdmDiagPaci");
    r.guid = QStringLiteral("{E745E5A3-3517-4D2D-89BC-017B5494498E}");
    r.method = method;
    r.args = args;
    return m_client.call(r);
}

kmp::Packet ScreenHarness::packet(const QString &method, const QCborArray &args)
{
    const kmp::wire::Response r = call(method, args);
    if (!r.ok)
        throw kmp::Error(r.errorMessage);
    return kmp::decodePacket(r.result.toByteArray());
}

void ScreenHarness::save(const QString &method, const kmp::Delta &delta)
{
    const kmp::wire::Response r = call(method, {kmp::encodeDelta(delta)});
    if (!r.ok)
        throw kmp::Error(r.errorMessage);
}

QList<QPair<QString, int>> ScreenHarness::storedDiagnoses(const QString &branch, const QString &patient, double date)
{
    const kmp::Packet p = packet(QStringLiteral("GetDiagPaci"), {branch, patient, date});
    int code = -1, seq = -1;
    for (size_t i = 0; i < p.fields.size(); ++i) {
        if (p.fields[i].name == QLatin1String("CDDIAGNOST"))
            code = int(i);
        if (p.fields[i].name == QLatin1String("NRSEQUENCIA"))
            seq = int(i);
    }
    QList<QPair<QString, int>> out;
    for (const kmp::RowValues &row : p.rows)
        out.append({row[size_t(code)].toString(), int(row[size_t(seq)].toDouble())});
    return out;
}

double ScreenHarness::date(int year, int month, int day)
{
    return kmp::daysFromDateTime(QDate(year, month, day).startOfDay());
}

void pressKey(QWidget *target, Qt::Key key, Qt::KeyboardModifiers mods)
{
    if (auto *x = kmp::test::XDesktop::instance()) {
        x->key(key, mods);
        x->sync();
        return;
    }
    QWidget *w = QApplication::focusWidget() ? QApplication::focusWidget() : target;
    QTest::keyClick(w, key, mods);
    QApplication::processEvents();
}

void typeText(QWidget *target, const QString &text)
{
    if (auto *x = kmp::test::XDesktop::instance()) {
        x->type(text);
        x->sync();
        return;
    }
    for (const QChar c : text) {
        QWidget *w = QApplication::focusWidget() ? QApplication::focusWidget() : target;
        QTest::keyClick(w, c.toLatin1());
    }
    QApplication::processEvents();
}

kmp::Delta diagnosisDelta(const QString &patient, double date, const QList<QPair<QString, int>> &rows)
{
    kmp::Delta d;
    d.fields = {
        {QStringLiteral("CDFILIAL"), kmp::FieldKind::String, 4},     {QStringLiteral("CDPACIENTE"), kmp::FieldKind::String, 12},
        {QStringLiteral("DTCONSPACI"), kmp::FieldKind::DateTime, 0}, {QStringLiteral("CDDIAGNOST"), kmp::FieldKind::String, 10},
        {QStringLiteral("NMDIAGNOST"), kmp::FieldKind::String, 300}, {QStringLiteral("NRSEQUENCIA"), kmp::FieldKind::Float, 0},
        {QStringLiteral("CDTABECDI"), kmp::FieldKind::String, 7}};
    for (const auto &r : rows)
        d.changes.push_back({kmp::ChangeKind::Insert,
                             {},
                             {QStringLiteral("0001"), patient, date, r.first, QStringLiteral("Nome de ") + r.first,
                              double(r.second), QStringLiteral("CID10")}});
    return d;
}

kmp::Delta diagnosisDelta(const QString &patient, double date, const QStringList &codes)
{
    QList<QPair<QString, int>> rows;
    for (const QString &c : codes)
        rows.append({c, int(rows.size()) + 1});
    return diagnosisDelta(patient, date, rows);
}
