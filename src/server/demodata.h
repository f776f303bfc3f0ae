#pragma once

#include <QString>
#include <functional>

namespace kmp::server {

class DbConnection;

// The demo consultation: branch "0001", patient "000000000001", 7 December 2026.
inline const QString DemoFilial = QStringLiteral("0001");
inline const QString DemoPaciente = QStringLiteral("000000000001");
double demoConsulta();

struct DemoResult
{
    int catalogueLoaded = 0; // codes loaded from the built-in list (0 when a catalogue was there)
};

// Adds the demo branch, patient, consultation, admission diagnoses and report types,
// and, when the catalogue is empty, the small built-in list of real CID-10 codes.
// Running it again changes nothing that is already there.
DemoResult loadDemo(DbConnection &db, const std::function<void(const QString &)> &say = {});

// The built-in catalogue excerpt (same format as the official subcategory file).
QByteArray builtInCid10();

} // namespace kmp::server
