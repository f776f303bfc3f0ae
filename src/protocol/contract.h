#pragma once

// The remote module "KMP12800.rdmDiagPaci" as both sides know it: its name and identifier,
// every method with its arguments in wire order, and every table with its columns and
// widths. The station's proxy encodes its calls from here, the server checks and decodes
// the arguments from here, builds its schema from here, and kmp-call prints its help from
// here: a change made here reaches all of them, and one made anywhere else cannot.

#include "fielddef.h"

#include <QByteArray>
#include <QCborArray>
#include <QString>

#include <array>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

namespace kmp::protocol {

inline constexpr std::string_view ModuleName = "KMP12800.rdmDiagPaci";
inline constexpr std::string_view ModuleGuid = "{E745E5A3-3517-4D2D-89BC-017B5494498E}";

// ---------------------------------------------------------------------------------------
// Arguments. Each argument has a type of its own, named after what it means, so that two
// texts of different meaning (a branch and a patient) cannot change places in a call
// without the compiler noticing.

enum class ArgKind { Text, Date, Bytes };

struct Branch
{
    static constexpr std::string_view name = "filial";
    static constexpr ArgKind kind = ArgKind::Text;
    QString value;
};
struct Patient
{
    static constexpr std::string_view name = "paciente";
    static constexpr ArgKind kind = ArgKind::Text;
    QString value;
};
// Days since 30 December 1899.
struct ConsultationDate
{
    static constexpr std::string_view name = "dtConsulta";
    static constexpr ArgKind kind = ArgKind::Date;
    double value = 0;
};
struct DiagnosisCode
{
    static constexpr std::string_view name = "cdDiagnost";
    static constexpr ArgKind kind = ArgKind::Text;
    QString value;
};
struct ReportType
{
    static constexpr std::string_view name = "cdTipoLaudo";
    static constexpr ArgKind kind = ArgKind::Text;
    QString value;
};
// Which report types GetTipoLaudo lists along with the one asked for.
struct ReportTypeSelector
{
    static constexpr std::string_view name = "seletor";
    static constexpr ArgKind kind = ArgKind::Text;
    QString value;
};
// The catalogue version a station holds ("" for none).
struct CatalogueVersion
{
    static constexpr std::string_view name = "versao";
    static constexpr ArgKind kind = ArgKind::Text;
    QString value;
};
// An encoded delta (see packet.h).
struct Changes
{
    static constexpr std::string_view name = "delta";
    static constexpr ArgKind kind = ArgKind::Bytes;
    QByteArray value;
};
// The report screens: a report code lists its reports; a report runs by its id with the
// parameter values as a JSON object of name -> text.
struct ReportCode
{
    static constexpr std::string_view name = "cdRelatorio";
    static constexpr ArgKind kind = ArgKind::Text;
    QString value;
};
struct ReportId
{
    static constexpr std::string_view name = "idRelatorio";
    static constexpr ArgKind kind = ArgKind::Text;
    QString value;
};
struct ReportParameters
{
    static constexpr std::string_view name = "parametros";
    static constexpr ArgKind kind = ArgKind::Text;
    QString value;
};

// ---------------------------------------------------------------------------------------
// Methods, each with its arguments in the order they travel. The last optionalArgs of
// them a caller may leave out.

template <typename... A>
struct Method
{
    using Args = std::tuple<A...>;
    static constexpr int optionalArgs = 0;
};

struct GetDiagnost : Method<CatalogueVersion>
{
    static constexpr std::string_view name = "GetDiagnost";
    // Without the version the answer is the catalogue's packet; with it, a map with the
    // current "version" and, when that differs, the "packet".
    static constexpr int optionalArgs = 1;
};
struct GetDiagPaci : Method<Branch, Patient, ConsultationDate>
{
    static constexpr std::string_view name = "GetDiagPaci";
};
struct GetDiagAsso : Method<Branch, Patient, ConsultationDate>
{
    static constexpr std::string_view name = "GetDiagAsso";
};
// Patient first, then branch: the order the screen has always called it with. The answer
// is an array of HistorySectionCount packets.
struct GetHistGer : Method<Patient, Branch, ConsultationDate>
{
    static constexpr std::string_view name = "GetHistGer";
};
struct GetVD_Diag : Method<Branch, Patient, DiagnosisCode, ConsultationDate>
{
    static constexpr std::string_view name = "GetVD_Diag";
};
struct GetTipoLaudo : Method<ReportType, ReportTypeSelector>
{
    static constexpr std::string_view name = "GetTipoLaudo";
};
struct GetMemLaudo : Method<Branch, Patient, ReportType, ConsultationDate>
{
    static constexpr std::string_view name = "GetMemLaudo";
};
struct SetDiagPaci : Method<Changes>
{
    static constexpr std::string_view name = "SetDiagPaci";
};
struct SetMemLaudo : Method<Changes>
{
    static constexpr std::string_view name = "SetMemLaudo";
};
struct SetHistDoen : Method<Changes>
{
    static constexpr std::string_view name = "SetHistDoen";
};
struct SetHistClinProg : Method<Changes>
{
    static constexpr std::string_view name = "SetHistClinProg";
};
struct SetHistFam : Method<Changes>
{
    static constexpr std::string_view name = "SetHistFam";
};
struct SetExamFisi : Method<Changes>
{
    static constexpr std::string_view name = "SetExamFisi";
};
struct GetRelatorios : Method<ReportCode>
{
    static constexpr std::string_view name = "GetRelatorios";
};
struct ExecRelatorio : Method<ReportCode, ReportId, ReportParameters>
{
    static constexpr std::string_view name = "ExecRelatorio";
};

using Methods = std::tuple<GetDiagnost, GetDiagPaci, GetDiagAsso, GetHistGer, GetVD_Diag, GetTipoLaudo, GetMemLaudo, SetDiagPaci,
                           SetMemLaudo, SetHistDoen, SetHistClinProg, SetHistFam, SetExamFisi, GetRelatorios, ExecRelatorio>;

// GetHistGer's sections, in the order of its answer: present illness, progressive
// clinical history, family history, physical examination.
inline constexpr int HistorySectionCount = 4;

// ---------------------------------------------------------------------------------------
// Tables. A column has one width wherever it appears; a table lists its columns in the
// order of the fields in its packets, so a packet of the whole row is the table itself.

struct Column
{
    std::string_view name;
    FieldKind kind;
    int size; // maximum length of strings; 0 for the other kinds
};

namespace columns {
inline constexpr Column CDFILIAL{"CDFILIAL", FieldKind::String, 4};
inline constexpr Column NMFILIAL{"NMFILIAL", FieldKind::String, 60};
inline constexpr Column CDPACIENTE{"CDPACIENTE", FieldKind::String, 12};
inline constexpr Column NMPACIENTE{"NMPACIENTE", FieldKind::String, 60};
inline constexpr Column DTCONSPACI{"DTCONSPACI", FieldKind::DateTime, 0};
inline constexpr Column CDDIAGNOST{"CDDIAGNOST", FieldKind::String, 10};
// 300 wide: the official catalogue has names of up to 264 characters (Y112), and a name
// that does not fit would leave its code impossible to record.
inline constexpr Column NMDIAGNOST{"NMDIAGNOST", FieldKind::String, 300};
inline constexpr Column CDTABECDI{"CDTABECDI", FieldKind::String, 7};
inline constexpr Column DSABREDIAG{"DSABREDIAG", FieldKind::String, 250};
inline constexpr Column NRSEQUENCIA{"NRSEQUENCIA", FieldKind::Float, 0};
inline constexpr Column CDTIPOLAUDO{"CDTIPOLAUDO", FieldKind::String, 3};
inline constexpr Column NMTIPOLAUDO{"NMTIPOLAUDO", FieldKind::String, 30};
inline constexpr Column DSPADRLAUDO{"DSPADRLAUDO", FieldKind::Blob, 0};
inline constexpr Column DSLAUDPACI{"DSLAUDPACI", FieldKind::Blob, 0};
inline constexpr Column DSHISTDOEATU{"DSHISTDOEATU", FieldKind::Blob, 0};
inline constexpr Column DSHISTCLIPRE{"DSHISTCLIPRE", FieldKind::Blob, 0};
inline constexpr Column DSHISTFAMIL{"DSHISTFAMIL", FieldKind::Blob, 0};
inline constexpr Column DSHISTEXAFIS{"DSHISTEXAFIS", FieldKind::Blob, 0};
} // namespace columns

struct TableColumn
{
    Column column;
    bool key = false; // part of the primary key
};

struct Table
{
    std::string_view name;
    std::span<const TableColumn> columns;
};

namespace tables {
namespace c = columns;
inline constexpr TableColumn kDiagnost[] = {{c::CDDIAGNOST, true}, {c::NMDIAGNOST}, {c::CDTABECDI}, {c::DSABREDIAG}};
inline constexpr TableColumn kDiagPaci[] = {{c::CDFILIAL, true},   {c::CDPACIENTE, true}, {c::DTCONSPACI, true},
                                            {c::CDDIAGNOST, true}, {c::NMDIAGNOST},       {c::NRSEQUENCIA},
                                            {c::CDTABECDI}};
inline constexpr TableColumn kDiagAsso[] = {
    {c::CDFILIAL, true}, {c::CDPACIENTE, true}, {c::DTCONSPACI, true}, {c::CDDIAGNOST, true}, {c::NMDIAGNOST}};
inline constexpr TableColumn kTipoLaudo[] = {{c::CDTIPOLAUDO, true}, {c::NMTIPOLAUDO}, {c::DSPADRLAUDO}};
inline constexpr TableColumn kMemLaudo[] = {
    {c::CDPACIENTE, true}, {c::DTCONSPACI, true}, {c::DSLAUDPACI}, {c::CDTIPOLAUDO, true}, {c::CDFILIAL, true}};
inline constexpr TableColumn kHistDoen[] = {{c::CDPACIENTE, true}, {c::DTCONSPACI, true}, {c::DSHISTDOEATU}, {c::CDFILIAL, true}};
inline constexpr TableColumn kHistClinProg[] = {
    {c::CDPACIENTE, true}, {c::DTCONSPACI, true}, {c::DSHISTCLIPRE}, {c::CDFILIAL, true}};
inline constexpr TableColumn kHistFam[] = {{c::CDPACIENTE, true}, {c::DTCONSPACI, true}, {c::DSHISTFAMIL}, {c::CDFILIAL, true}};
inline constexpr TableColumn kExamFisi[] = {{c::CDPACIENTE, true}, {c::DTCONSPACI, true}, {c::DSHISTEXAFIS}, {c::CDFILIAL, true}};
inline constexpr TableColumn kFilial[] = {{c::CDFILIAL, true}, {c::NMFILIAL}};
inline constexpr TableColumn kPaciente[] = {{c::CDPACIENTE, true}, {c::NMPACIENTE}};
inline constexpr TableColumn kConsulta[] = {{c::CDFILIAL, true}, {c::CDPACIENTE, true}, {c::DTCONSPACI, true}};

inline constexpr Table DIAGNOST{"DIAGNOST", kDiagnost};             // the diagnosis catalogue
inline constexpr Table DIAGPACI{"DIAGPACI", kDiagPaci};             // a consultation's diagnoses
inline constexpr Table DIAGASSO{"DIAGASSO", kDiagAsso};             // a patient's admission diagnoses
inline constexpr Table TIPOLAUDO{"TIPOLAUDO", kTipoLaudo};          // report types and their templates
inline constexpr Table MEMLAUDO{"MEMLAUDO", kMemLaudo};             // the signs-and-symptoms report
inline constexpr Table HISTDOEN{"HISTDOEN", kHistDoen};             // history of the present illness
inline constexpr Table HISTCLINPROG{"HISTCLINPROG", kHistClinProg}; // progressive clinical history
inline constexpr Table HISTFAM{"HISTFAM", kHistFam};                // family history
inline constexpr Table EXAMFISI{"EXAMFISI", kExamFisi};             // physical examination
inline constexpr Table FILIAL{"FILIAL", kFilial};                   // branches
inline constexpr Table PACIENTE{"PACIENTE", kPaciente};             // patients
inline constexpr Table CONSULTA{"CONSULTA", kConsulta};             // consultations

inline constexpr std::array<const Table *, 12> all{&DIAGNOST,     &DIAGPACI, &DIAGASSO, &TIPOLAUDO, &MEMLAUDO, &HISTDOEN,
                                                   &HISTCLINPROG, &HISTFAM,  &EXAMFISI, &FILIAL,    &PACIENTE, &CONSULTA};
} // namespace tables

} // namespace kmp::protocol
