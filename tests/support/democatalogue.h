#pragma once

// The server keeps only catalogue codes in a consultation's diagnoses and stores the
// catalogue's name for them. Tests write rows the way the screen does: with the name the
// catalogue has, and with codes that are in it.

#include "cid10import.h"
#include "databaseconfig.h"
#include "dbconnection.h"
#include "demodata.h"
#include "schema.h"

#include <QStringList>

namespace kmp::test {

// The demo catalogue's name for a code ("Nome de CODE" for one it does not have).
inline QString demoCatalogueName(const QString &code)
{
    static const std::vector<server::Cid10Entry> entries =
        server::parseCid10(server::builtInCid10(), QStringLiteral("cid10-demo.csv"));
    for (const server::Cid10Entry &e : entries)
        if (e.code == code)
            return e.name;
    return QStringLiteral("Nome de ") + code;
}

// Adds codes named "Diagnóstico CODE" to the catalogue, for tests that need many codes.
inline void addToCatalogue(const server::DatabaseConfig &config, const QStringList &codes)
{
    server::DbConnection conn(config);
    server::ensureSchema(conn);
    std::vector<server::Cid10Entry> entries;
    for (const QString &code : codes)
        entries.push_back({code, QStringLiteral("Diagnóstico ") + code, code});
    server::importCid10(conn, entries);
}

} // namespace kmp::test
