#pragma once

#include "error.h"

#include <QLibrary>
#include <QStringList>
#include <QVariant>
#include <memory>

namespace kmp {

// A module that cannot be used. userMessage() is for the person at the screen
// (Portuguese); detail() says what happened for the log (English).
class ModuleError : public Error
{
public:
    ModuleError(const QString &userMessage, const QString &detail) : Error(userMessage), m_detail(detail) {}
    QString detail() const { return m_detail; }

private:
    QString m_detail;
};

// The entry every screen module exports, unmangled: one variant holding the four-element
// list branch, patient, patient text, consultation date.
using IniProcFn = void (*)(QVariant);

// Finds, loads and enters screen modules. Loaded modules stay loaded for the life of the
// loader: their screens may still be open.
class ModuleLoader
{
public:
    ModuleLoader();
    ~ModuleLoader();

    // Folders searched, in order, after a name given as a path: the ones added here, then the
    // executable's folder and ../lib beside it.
    void addSearchPath(const QString &folder);
    QStringList searchPaths() const;

    // The file a module name resolves to; empty when no folder holds it.
    QString locate(const QString &moduleName) const;

    // Loads the module (once) and resolves IniProc. Throws ModuleError.
    IniProcFn load(const QString &moduleName);

    // The entry array as IniProc takes it.
    static QVariant entryArgs(const QString &branch, const QString &patient, const QString &patientText,
                              const QDate &consultation);

    // Loads and calls IniProc with args. Exceptions the module raises come back to the caller
    // as they are (a server that cannot be reached is a kmp::wire::ConnectionError).
    void enter(const QString &moduleName, const QVariant &args);

private:
    QStringList m_paths;
    std::vector<std::unique_ptr<QLibrary>> m_libraries;
};

} // namespace kmp
