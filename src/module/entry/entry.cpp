#include "entry.h"

#include "consiste.h"
#include "fielddef.h"
#include "hostservices.h"
#include "tdateeditplus.h"
#include "tfrmdiagpaci.h"
#include "tfrmlistdiagpaci.h"

#include <QDate>
#include <QDateTime>
#include <QLineEdit>
#include <cmath>

namespace {

double toConsultationDate(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::QDate:
        if (v.toDate().isValid())
            return kmp::daysFromDateTime(v.toDate().startOfDay());
        break;
    case QMetaType::QDateTime:
        if (v.toDateTime().isValid())
            return kmp::daysFromDateTime(v.toDateTime());
        break;
    case QMetaType::QString: {
        const QString text = v.toString().trimmed();
        const QDate iso = QDate::fromString(text, Qt::ISODate);
        if (iso.isValid())
            return kmp::daysFromDateTime(iso.startOfDay());
        const QDate br = QDate::fromString(text, QStringLiteral("dd/MM/yyyy"));
        if (br.isValid())
            return kmp::daysFromDateTime(br.startOfDay());
        bool ok = false;
        const double d = text.toDouble(&ok);
        if (ok && std::isfinite(d))
            return d;
        break;
    }
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong: {
        const double d = v.toDouble();
        if (std::isfinite(d))
            return d;
        break;
    }
    default: break;
    }
    throw kmp::EntryArgumentsError(QStringLiteral("Data da consulta inválida na chamada do módulo: \"%1\".").arg(v.toString()));
}

QString toText(const QVariant &v, int index)
{
    if (!v.isValid() || v.isNull())
        return QString();
    if (!v.canConvert<QString>() || v.typeId() == QMetaType::QVariantList || v.typeId() == QMetaType::QVariantMap)
        throw kmp::EntryArgumentsError(QStringLiteral("O elemento %1 da chamada do módulo não é um texto.").arg(index));
    return v.toString();
}

// Initialization counters: repeated requests run a unit's steps once, and only the last
// matching finalization runs its release.
int listUnitCounter = 0;
int screenUnitCounter = 0;

void initListUnit()
{
    ++listUnitCounter;
}

void finalizeListUnit()
{
    if (listUnitCounter > 0)
        --listUnitCounter;
}

void initScreenUnit()
{
    if (screenUnitCounter++ > 0)
        return;
    BostCriado = false;
}

void finalizeScreenUnit()
{
    if (screenUnitCounter == 0 || --screenUnitCounter > 0)
        return;
    stCdPaciente.clear();
    stNmFilial.clear();
    stCdFilial.clear();
}

const kmp::PackageUnitInfo units[] = {
    {"Cli_kmp12801", &initListUnit, &finalizeListUnit},
    {"Cli_kmp12800", &initScreenUnit, &finalizeScreenUnit},
};
const kmp::PackageInfoTable packageInfo = {2, units};

} // namespace

void IniProc(QVariant args)
{
    // Copy the elements first: nothing of the context changes until all four converted.
    if (args.typeId() != QMetaType::QVariantList && args.typeId() != QMetaType::QStringList)
        throw kmp::EntryArgumentsError(QStringLiteral("A chamada do módulo espera uma lista de quatro elementos."));
    const QVariantList list = args.toList();
    if (list.size() < 4)
        throw kmp::EntryArgumentsError(
            QStringLiteral("A chamada do módulo espera quatro elementos; recebeu %1.").arg(list.size()));
    const double date = toConsultationDate(list.at(3));
    const QString patientText = toText(list.at(2), 2);
    const QString patient = toText(list.at(1), 1);
    const QString branch = toText(list.at(0), 0);
    criaDiagPaci(branch, patient, patientText, date);
}

namespace {

// The context the host reads follows the screen: written once a consultation is fully
// on screen, never before.
void publish(const kmp::Consultation &c)
{
    stCdFilial = c.branch;
    stCdPaciente = c.patient;
    dtConsulta = c.date;
    boPrimVez = true;
}

} // namespace

void criaDiagPaci(const QString &branch, const QString &patient, const QString &patientText, double consultationDate)
{
    // The host's branch stands in for an empty one before anything is loaded, so the
    // first loads and every save use the same branch.
    kmp::Consultation next;
    next.branch = kmp::Consiste::EmptyString(branch) ? kmp::Norvik::FiliProc() : branch;
    next.patient = patient;
    next.patientText = patientText;
    next.date = consultationDate;

    if (BostCriado && frmDiagPaci) {
        TfrmDiagPaci *form = frmDiagPaci;
        const bool sameConsultation = form->consultation().sameRecordsAs(next);
        // Another consultation while something is being typed: keep the screen, and what
        // was typed, on the consultation it belongs to.
        if (!sameConsultation && form->hasPendingEdit())
            throw kmp::Error(QStringLiteral("Há um registro em edição na consulta aberta. Confirme ou cancele a "
                                            "edição antes de abrir outra consulta."));
        if (sameConsultation)
            form->showPatientText(patientText); // only the host's text for the patient may differ
        else
            form->switchTo(next);
    } else {
        boHistDoen = boHistClin = boHistFam = boExamFisi = false;
        TfrmDiagPaci *form = TfrmDiagPaci::create(kmp::HostServices::instance()->application(), next);
        form->useFirstClickFlags(&boHistDoen, &boHistClin, &boHistFam, &boExamFisi);
        form->OnListingOpened = [](TfrmListDiagPaci *listing) { frmListDiagPaci = listing; };
        frmDiagPaci = form;
        BostCriado = true;
        // Only a close that really happened frees the place for a new screen; a refused
        // close keeps this one, and its flag, as they are.
        const auto released = [form] {
            if (frmDiagPaci.isNull() || frmDiagPaci.data() == form)
                BostCriado = false;
        };
        QObject::connect(form, &TfrmDiagPaci::closed, form, released);
        QObject::connect(form, &QObject::destroyed, released);
    }
    publish(frmDiagPaci->consultation());
    frmDiagPaci->showScreen();
}

void Initialize()
{
    for (int i = 0; i < packageInfo.unitCount; ++i)
        packageInfo.units[i].initialize();
}

void Finalize()
{
    for (int i = packageInfo.unitCount - 1; i >= 0; --i)
        packageInfo.units[i].finalize();
}

const kmp::PackageInfoTable *GetPackageInfoTable()
{
    return &packageInfo;
}
