#pragma once

#include "context.h"
#include "kmpexport.h"

#include <QVariant>

#include "error.h"

namespace kmp {

// Raised to the host for an entry array that is not what the entry expects.
class EntryArgumentsError : public Error
{
public:
    using Error::Error;
};

} // namespace kmp

extern "C" {
// The host's entry: one array of four elements (branch, patient, patient display text,
// consultation date as a date or a day count), taken by value.
KMP_EXPORT void IniProc(QVariant args);

// Stores the consultation, creates the screen on the first call only, fills its header
// and brings it to the front.
KMP_EXPORT void criaDiagPaci(const QString &branch, const QString &patient, const QString &patientText, double consultationDate);

// Run every unit's initialization (listing unit first) or finalization (screen unit first);
// repeated requests are counted so that the steps run once.
KMP_EXPORT void Initialize();
KMP_EXPORT void Finalize();
KMP_EXPORT const kmp::PackageInfoTable *GetPackageInfoTable();
}
