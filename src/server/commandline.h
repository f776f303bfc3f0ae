#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QString>
#include <QStringList>

namespace kmp::server::cli {

// What every kmp-appserver command shares: output to stdout and stderr one whole line at
// a time, the --database option, and parsing that exits on --help or a bad option.
void out(const QString &line);
void err(const QString &line);
QCommandLineOption databaseOption();
// Qt's own texts in the help and in option errors ("Usage:", "Unknown option") in
// Portuguese, like the rest; without the translation files they stay in English.
void installQtTranslations(QCoreApplication &app);
void parseOrExit(QCommandLineParser &parser, const QStringList &args, const QString &description);

// The maintenance commands (backup, restore, verify-backup, status, upgrade); each returns
// the exit status.
int backupCommand(const QStringList &args);
int restoreCommand(const QStringList &args);
int verifyCommand(const QStringList &args);
int statusCommand(const QStringList &args);
int upgradeCommand(const QStringList &args);

} // namespace kmp::server::cli
