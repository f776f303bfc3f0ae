#pragma once

#include <QDate>
#include <QString>
#include <QStringList>

namespace kmp {

// What the host runs with: the settings file, overridden by the command line.
struct HostOptions
{
    QString settingsFile; // written by the administrator; the program only reads it
    QString stateFile;    // what the program remembers: window place, dialog sizes, cache times
    QString serverHost = QStringLiteral("127.0.0.1");
    quint16 serverPort = 0;
    QString branch;       // the branch the host works in
    QString activeModule; // letter of the active host module
    QString clientKey;    // the client key's name
    QString keyFile;      // file holding its secret (one line)
    bool tls = false;     // TLS to the server, checked against caFile
    QString caFile;
    QStringList modulePaths;

    // A module to open at start.
    QString module;
    QString entryBranch;
    QString patient;
    QString patientText;
    QDate date;
    QString screenshot;

    // What was read but not understood (keys no version of the host knows): told at start,
    // never a reason not to start.
    QStringList warnings;

    static QString defaultSettingsFile();
    static QString defaultStateFile();
};

// Parses arguments (argv[0] first). Returns false with a message in error for bad input;
// helpText gets the usage when --help was asked for (then the result is false, error empty).
bool parseHostOptions(const QStringList &arguments, HostOptions &options, QString &error, QString &helpText);

// Parses "HOST:PORT"; false when the port is not 1..65535.
bool parseServer(const QString &text, QString &host, quint16 &port);

} // namespace kmp
