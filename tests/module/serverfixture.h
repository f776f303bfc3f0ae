#pragma once

#include "client.h"
#include "packet.h"
#include "recordinghostservices.h"
#include "serverprocess.h"
#include "stats.h"

#include <QMainWindow>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>

class QMdiArea;
class TfrmDiagPaci;

// Puts codes with their names into the catalogue of the database (sqlite:PATH or a
// PostgreSQL URL) with kmp-appserver import-cid10: the server keeps only catalogue codes
// in a consultation's diagnoses, under the catalogue's name.
bool importCatalogue(const QString &database, const QList<QPair<QString, QString>> &codesAndNames, QString *why);

// A real application server on a loopback port over a fresh demo database, and a host
// (main window, MDI area, host services) for the screen, as the screen tests need them.
class ScreenHarness
{
public:
    ScreenHarness();
    ~ScreenHarness();

    // Fills the demo database and starts the server; false with the reason when it cannot.
    bool start(QString *why);
    // The same with the official catalogue imported first (from the shared data folder),
    // as the benchmarks measure the screen against the real catalogue.
    bool startWithCatalogue(QString *why);
    // A maintenance command (import-cid10 DIR, demo, ...) on the harness's database.
    bool runCommand(const QStringList &args, QString *why);
    QString databaseFile() const { return m_dir.filePath(QStringLiteral("kmp.sqlite")); }
    void stopServer();
    bool restartServer(QString *why);
    quint16 port() const { return m_server.port(); }
    // The server's log so far (a connection's opening and closing are lines of it).
    QByteArray serverLog() { return m_server.log(); }
    // The server's process, for tests that slow it down (SIGSTOP) rather than stop it.
    qint64 serverProcessId() const { return m_server.pid(); }
    // Extra options for the server (keys, limits), used from the next (re)start on.
    void setServerOptions(const QStringList &options) { m_serverOptions = options; }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

    RecordingHostServices &host() { return *m_host; }
    QMainWindow &mainWindow() { return *m_main; }

    // After a test of the clinical notes: every dialog answered OK again, the next screen
    // opening on its first page, any section left in edit cancelled, the screen closed.
    void closeScreenAfterNotesTest();

    // Enters the module as the host does and returns the screen.
    TfrmDiagPaci *open(const QString &branch, const QString &patient, double date,
                       const QString &patientText = QStringLiteral("Paciente de teste"));
    void closeScreen();

    // Direct calls to the server, behind the screen's back.
    kmp::wire::Response call(const QString &method, const QCborArray &args);
    kmp::Packet packet(const QString &method, const QCborArray &args);
    void save(const QString &method, const kmp::Delta &delta);
    // The consultation's diagnoses as the server holds them: code -> sequence, in order.
    QList<QPair<QString, int>> storedDiagnoses(const QString &branch, const QString &patient, double date);

    static double date(int year, int month, int day);

private:
    QTemporaryDir m_dir;
    kmp::test::ServerProcess m_server;
    QStringList m_serverOptions;
    std::unique_ptr<RecordingHostServices> m_host;
    std::unique_ptr<QMainWindow> m_main;
    QMdiArea *m_area = nullptr;
    kmp::wire::Client m_client;
};

// A delta inserting diagnoses for branch 0001: each code with its sequence number
// (its position, from 1, when none is given).
kmp::Delta diagnosisDelta(const QString &patient, double date, const QList<QPair<QString, int>> &rows);
kmp::Delta diagnosisDelta(const QString &patient, double date, const QStringList &codes);

inline double medianOf(std::vector<double> values)
{
    return kmp::test::median(std::move(values));
}

// Sends a key through the application, so that the screen's key dispatch sees it first,
// as it would a person's key.
void pressKey(QWidget *target, Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier);
void typeText(QWidget *target, const QString &text);
