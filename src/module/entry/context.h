#pragma once

#include "kmpexport.h"

#include <QPointer>
#include <QString>

class TfrmDiagPaci;
class TfrmListDiagPaci;

// The consultation the module works on, one copy per loaded module, read by the listing
// report and exported under these names so that the host can read them. The entry unit
// writes them only once a consultation is fully on screen; the screen keeps its own copy
// (Consultation) and never reads these.
extern "C" {
KMP_EXPORT extern QString stCdFilial;   // branch code
KMP_EXPORT extern QString stNmFilial;   // branch name (the host may write it)
KMP_EXPORT extern QString stCdPaciente; // patient code
KMP_EXPORT extern double dtConsulta;    // consultation date, days since 30/12/1899
KMP_EXPORT extern bool BostCriado;      // the screen instance exists
KMP_EXPORT extern bool boPrimVez;       // an entry call has happened
// First click seen on each history section's formatting bar.
KMP_EXPORT extern bool boHistDoen;
KMP_EXPORT extern bool boHistClin;
KMP_EXPORT extern bool boHistFam;
KMP_EXPORT extern bool boExamFisi;
// Guarded references: they empty themselves when the screen is disposed of.
KMP_EXPORT extern QPointer<TfrmDiagPaci> frmDiagPaci;
KMP_EXPORT extern QPointer<TfrmListDiagPaci> frmListDiagPaci;
}

namespace kmp {

// The module's units, in load order, with their initialization and finalization.
struct PackageUnitInfo
{
    const char *name;
    void (*initialize)();
    void (*finalize)();
};

struct PackageInfoTable
{
    int unitCount;
    const PackageUnitInfo *units;
};

} // namespace kmp
