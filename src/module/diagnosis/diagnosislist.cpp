#include "diagnosislist.h"

#include "columnfields.h"
#include "contract.h"
#include "exceptions.h"
#include "fielddef.h"
#include "message.h"
#include "packet.h"
#include "rdmdiagpaci.h"
#include "recordset.h"

#include <QHash>
#include <QScopedValueRollback>

namespace kmp {

namespace {

const QString kCode = QStringLiteral("CDDIAGNOST");
const QString kName = QStringLiteral("NMDIAGNOST");
const QString kTable = QStringLiteral("CDTABECDI");
const QString kSeq = QStringLiteral("NRSEQUENCIA");

// A clash on a new row is retried this many times before the row is handed back to the
// user to confirm again: more would only hide a server that refuses for another reason.
constexpr int kMaxRetries = 3;

} // namespace

DiagnosisList::DiagnosisList(RdmDiagPaci &server, QObject *parent) : QObject(parent), m_server(server)
{
    const QString codeLabel = QStringLiteral("Código");
    const QString nameLabel = QStringLiteral("Nome");

    namespace c = protocol::columns;
    m_rows = new RecordSet(QStringLiteral("cdsDiagPaci"), this);
    addColumnField(m_rows, c::CDFILIAL, false);
    addColumnField(m_rows, c::CDPACIENTE, false);
    addColumnField(m_rows, c::DTCONSPACI, false);
    addColumnField(m_rows, c::CDDIAGNOST, true, codeLabel);
    addColumnField(m_rows, c::NMDIAGNOST, true, nameLabel);
    addColumnField(m_rows, c::NRSEQUENCIA, false);
    addColumnField(m_rows, c::CDTABECDI, false);

    m_check = new RecordSet(QStringLiteral("cdsDiagPaciAux"), this);
    addColumnField(m_check, c::CDPACIENTE);

    // The admission diagnoses come from another part of the clinic's system: shown, never
    // changed here. Every field is read-only, so no grid opens an editor on them, and an
    // insert, edit or delete ends silently before it starts.
    m_admissions = new RecordSet(QStringLiteral("cdsDiagAsso"), this);
    addColumnField(m_admissions, c::CDDIAGNOST, true, codeLabel)->setObjectName(QStringLiteral("adqDiagAssoCDDIAGNOST"));
    addColumnField(m_admissions, c::NMDIAGNOST, true, nameLabel)->setObjectName(QStringLiteral("adqDiagAssoNMDIAGNOST"));
    for (int i = 0; i < m_admissions->fieldCount(); ++i)
        m_admissions->field(i)->setReadOnly(true);
    m_admissions->OnBeforeEdit = [](RecordSet &) { silentAbort(); };
    m_admissions->OnBeforeDelete = [](RecordSet &) { silentAbort(); };
}

DiagnosisList::~DiagnosisList()
{
    for (RecordSet *s : {m_rows, m_check, m_admissions})
        s->clearEvents();
}

DiagnosisList::Snapshot DiagnosisList::fetch(const Consultation &c) const
{
    const QList<QByteArray> lists = m_server.GetDiagPaciAsso(c.branch, c.patient, c.date);
    return {lists.at(0), lists.at(1)};
}

void DiagnosisList::apply(const Consultation &c, const Snapshot &s)
{
    // Both packets are decoded before anything is shown, so a malformed answer leaves the
    // lists and the consultation as they were.
    const Packet rows = decodePacket(s.rows);
    const Packet admissions = decodePacket(s.admissions);
    m_check->close();
    m_admissions->loadRows(admissions.fields, admissions.rows);
    m_rows->loadRows(rows.fields, rows.rows);
    // Last: should a load refuse its rows, saves still go where the rows on screen belong.
    m_consultation = c;
}

void DiagnosisList::reload()
{
    apply(m_consultation, fetch(m_consultation));
}

void DiagnosisList::reloadRows()
{
    m_rows->loadFromPacket(m_server.GetDiagPaci(m_consultation.branch, m_consultation.patient, m_consultation.date));
}

bool DiagnosisList::isStored(const QString &code) const
{
    m_check->loadFromPacket(m_server.GetVD_Diag(m_consultation.branch, m_consultation.patient, code, m_consultation.date));
    return !m_check->isEmpty();
}

void DiagnosisList::stampNewRow()
{
    if (m_boReordenando || m_rows->state() != DataSetState::Insert)
        return;
    m_rows->fieldByName(QStringLiteral("CDFILIAL"))->setAsString(m_consultation.branch);
    m_rows->fieldByName(QStringLiteral("CDPACIENTE"))->setAsString(m_consultation.patient);
    m_rows->fieldByName(QStringLiteral("DTCONSPACI"))->setAsDateTime(m_consultation.date);
    m_rows->fieldByName(kSeq)->setAsInteger(m_nrUltSequencia + 1);
    ++m_nrUltSequencia;
}

void DiagnosisList::rowsLoaded()
{
    // The highest number, not the last row's: rows without a number sort first, and a
    // list that is not in order must still never hand out a number already taken.
    const int seq = m_rows->fieldByName(kSeq)->index();
    int highest = 0;
    for (int r = 0; r < m_rows->recordCount(); ++r)
        highest = std::max(highest, int(m_rows->value(r, seq).toDouble()));
    m_nrUltSequencia = highest;
}

bool DiagnosisList::inOrder() const
{
    const int seq = m_rows->fieldByName(kSeq)->index();
    const int code = m_rows->fieldByName(kCode)->index();
    for (int r = 1; r < m_rows->recordCount(); ++r) {
        const double a = m_rows->value(r - 1, seq).toDouble();
        const double b = m_rows->value(r, seq).toDouble();
        if (a > b || (a == b && m_rows->value(r - 1, code).toString() > m_rows->value(r, code).toString()))
            return false;
    }
    return true;
}

void DiagnosisList::saveChanges()
{
    if (m_boReordenando || m_rows->changeCount() == 0)
        return;
    const Delta delta = m_rows->deltaData();
    const bool oneInsert = delta.changes.size() == 1 && delta.changes.front().kind == ChangeKind::Insert;
    // A new row the server did not take goes back to being typed, so the clinician can
    // confirm it again (or cancel it); anything else returns to what the server holds.
    const auto restore = [this, oneInsert] {
        if (!oneInsert) {
            m_rows->cancelUpdates();
            return;
        }
        QHash<QString, QVariant> typed;
        for (const QString &name : {kCode, kName, kTable})
            typed[name] = m_rows->fieldByName(name)->asString();
        m_rows->cancelUpdates();
        m_rows->append();
        for (auto it = typed.cbegin(); it != typed.cend(); ++it)
            m_rows->fieldByName(it.key())->setAsString(it.value().toString());
    };
    try {
        m_server.SetDiagPaci(encodeDelta(delta));
    } catch (const ServerError &e) {
        if (e.code() == int(wire::ErrorCode::Conflict) && oneInsert && retryInsertAfterClash())
            return;
        restore();
        throw;
    } catch (...) {
        restore();
        throw;
    }
    if (m_rows->logChanges())
        m_rows->mergeChangeLog();
    // A row typed anywhere but at the end shows where its number puts it.
    if (oneInsert && !inOrder()) {
        const QString code = m_rows->fieldByName(kCode)->asString();
        reloadRows();
        m_rows->locate(kCode, code);
    }
}

bool DiagnosisList::retryInsertAfterClash()
{
    if (m_retries >= kMaxRetries)
        return false;
    const QString code = m_rows->fieldByName(kCode)->asString();
    const QString name = m_rows->fieldByName(kName)->asString();
    const QString table = m_rows->fieldByName(kTable)->asString();
    m_rows->cancelUpdates();
    reloadRows();
    if (m_rows->locate(kCode, code)) {
        // Another station recorded this very diagnosis: nothing typed is lost.
        if (OnNotice)
            OnNotice(QStringLiteral("O diagnóstico %1 acabou de ser gravado nesta consulta por outra estação. "
                                    "A lista foi atualizada.")
                         .arg(code));
        return true;
    }
    // Another station took the number: the row goes in again after the list as it is now.
    // Should that fail too, the row stays on screen being inserted, to be confirmed again.
    QScopedValueRollback retries(m_retries, m_retries + 1);
    m_rows->append();
    m_rows->fieldByName(kCode)->setAsString(code);
    m_rows->fieldByName(kName)->setAsString(name);
    m_rows->fieldByName(kTable)->setAsString(table);
    m_rows->post();
    if (OnNotice)
        OnNotice(QStringLiteral("Outra estação gravou um diagnóstico nesta consulta ao mesmo tempo. A lista foi "
                                "atualizada e o diagnóstico %1 foi gravado no fim dela.")
                     .arg(code));
    return true;
}

bool DiagnosisList::move(bool up)
{
    if (m_rows->isEmpty() || m_rows->isEditing())
        return false;
    const int from = m_rows->currentRow();
    const int to = up ? from - 1 : from + 1;
    if (from < 0 || to < 0 || to >= m_rows->recordCount())
        return false;
    const QString moving = m_rows->fieldByName(kCode)->asString();
    QScopedValueRollback guard(m_boReordenando, true);
    try {
        Field *seq = m_rows->fieldByName(kSeq);
        const qint64 mine = seq->asInteger();
        m_rows->moveTo(to);
        const qint64 theirs = seq->asInteger();
        m_rows->edit();
        seq->setAsInteger(mine);
        m_rows->post();
        m_rows->moveTo(from);
        m_rows->edit();
        seq->setAsInteger(theirs);
        m_rows->post();
        // Both rows in one save: the server applies them together or not at all.
        m_server.SetDiagPaci(m_rows->delta());
        m_rows->mergeChangeLog();
    } catch (...) {
        // The list shows what the server really holds, whatever stopped the move.
        m_rows->cancelUpdates();
        try {
            reloadRows();
            m_rows->locate(kCode, moving);
        } catch (...) {
            // the original failure is the one worth reporting
        }
        throw;
    }
    reloadRows();
    m_rows->locate(kCode, moving);
    return true;
}

} // namespace kmp
