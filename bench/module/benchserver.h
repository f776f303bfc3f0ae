#pragma once

#include "hostservices.h"

#include <QMainWindow>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>

// A server over a SQLite file holding the official catalogue and the demo data, plus a
// host for the screen, for the screen benchmarks.
class BenchServer
{
public:
    BenchServer();
    ~BenchServer();
    bool start(QString *why);                      // imports, then serves on a free port
    bool run(const QStringList &args, QString *why); // a maintenance command on the same file
    QString databaseFile() const { return m_dir.filePath(QStringLiteral("bench.sqlite")); }
    MemoryHostServices &host() { return m_host; }

private:
    QTemporaryDir m_dir;
    QProcess m_server;
    MemoryHostServices m_host;
    std::unique_ptr<QMainWindow> m_main;
};

double medianOf(std::vector<double> v);
