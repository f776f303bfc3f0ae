#pragma once

#include "consultation.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>

namespace kmp {

class RdmDiagPaci;
class RecordSet;

// The consultation's ordered diagnoses and the patient's admission diagnoses, without any
// widget: loading them for a consultation, numbering new rows, saving each change at once,
// and moving a row up or down as one change. The screen shows and edits the record sets;
// this part decides what they hold and what reaches the server.
class DiagnosisList : public QObject
{
    Q_OBJECT
public:
    DiagnosisList(RdmDiagPaci &server, QObject *parent = nullptr);
    ~DiagnosisList() override;

    RecordSet *rows() const { return m_rows; }             // cdsDiagPaci
    RecordSet *checkSet() const { return m_check; }        // cdsDiagPaciAux
    RecordSet *admissions() const { return m_admissions; } // cdsDiagAsso (read-only)

    const Consultation &consultation() const { return m_consultation; }
    void setPatientText(const QString &text) { m_consultation.patientText = text; }

    // What a consultation's lists hold on the server, read without touching this part, so
    // that a switch can fetch everything first and change nothing when a read fails.
    struct Snapshot
    {
        QByteArray rows;
        QByteArray admissions;
    };
    Snapshot fetch(const Consultation &c) const;
    // Shows a fetched consultation: the consultation, both lists and the numbering change
    // together.
    void apply(const Consultation &c, const Snapshot &s);
    void reload();     // both lists of the consultation in force
    void reloadRows(); // the diagnoses only

    // The code is already recorded for the consultation on the server.
    bool isStored(const QString &code) const;

    // Before a new row is posted: the consultation's keys and the next free number.
    void stampNewRow();
    // After the rows were (re)loaded: the numbering continues after the highest number.
    void rowsLoaded();
    // After a post or a delete: the change goes to the server at once. A new row that lost
    // its number to another station is stored again with the next free one; any other
    // refusal puts the list back as it was and reaches the caller.
    void saveChanges();
    // Swaps the current row's number with its neighbour's, both in one save; false when
    // there is no neighbour that way.
    bool move(bool up);

    // A move is running: posts are not stamped and the page's state rules wait.
    bool boReordenando() const { return m_boReordenando; }
    // The last number handed out for the consultation (0 for an empty list).
    int nrUltSequencia() const { return m_nrUltSequencia; }
    // The rows are in stored order (number, then code).
    bool inOrder() const;

    // Told what happened when the list had to be changed under the user (a number taken by
    // another station); the screen shows it.
    std::function<void(const QString &)> OnNotice;

private:
    bool retryInsertAfterClash();

    RdmDiagPaci &m_server;
    RecordSet *m_rows;
    RecordSet *m_check;
    RecordSet *m_admissions;
    Consultation m_consultation;
    int m_nrUltSequencia = 0;
    bool m_boReordenando = false;
    int m_retries = 0;
};

} // namespace kmp
