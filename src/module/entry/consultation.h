#pragma once

#include <QString>

namespace kmp {

// One consultation: whose diagnoses and notes the screen shows and where its saves go.
// The entry unit owns the one in force and hands a copy to the screen; the screen never
// reads the module's exported context, so a switch that fails half-way cannot leave the
// screen pointing at one patient while it shows another.
struct Consultation
{
    QString branch;      // CDFILIAL
    QString patient;     // CDPACIENTE
    QString patientText; // what the header shows for the patient
    double date = 0;     // DTCONSPACI, days since 30/12/1899

    // The same consultation as far as stored data goes (the display text does not count).
    bool sameRecordsAs(const Consultation &other) const
    {
        return branch == other.branch && patient == other.patient && date == other.date;
    }
};

} // namespace kmp
