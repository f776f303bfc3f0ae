#pragma once

#include "packet.h"
#include "schema.h"

#include <optional>

namespace kmp::server {

class DbConnection;

// Values no screen sends are refused before a save touches the database, each with a
// ServiceError (422) that names the field and never quotes the value:
// - a modify that changes a key column (the row would move to another patient, day,
//   code or report type, and its history would lose track of it);
// - control characters (NUL among them) in any text value, original or new;
// - a date outside 1900-01-01 .. 2200-12-31, a sequence number that is not a whole
//   number from 1 to MaxSequence;
// - a diagnosis code missing from the catalogue, a report type not registered.
// The name of a diagnosis row is the catalogue's, whatever the client sent (the screen
// sends the one it looked up, so nothing changes for it); a modify of a row whose code has
// since left the catalogue keeps the name it had. Fields the table does not know are left for applyDelta to refuse.
// Returns the delta as it is to be stored.
Delta checkedDelta(DbConnection &db, const TableDef &table, const Delta &delta);

// The range of dates accepted in a delta, as day counts (days since 1899-12-30).
double earliestDate(); // 1900-01-01
double latestDate();   // 2200-12-31

inline constexpr double MaxSequence = 999999;

// A delta's size in rows and columns, read from its first bytes without decoding it, so
// that one larger than any screen sends is refused before it takes the memory its rows
// would; nothing when those bytes do not start a delta (decoding it then says why).
struct DeltaShape
{
    qint64 fields = 0;
    qint64 changes = 0;
};
std::optional<DeltaShape> peekDeltaShape(const QByteArray &bytes);

// The most changes one save may carry: a section or report is saved one row at a time; a
// consultation's diagnoses are a list a clinician keeps by hand, moved a few rows at once.
inline constexpr qint64 MaxDiagnosisChanges = 2000;
inline constexpr qint64 MaxSectionChanges = 1;

// The memory a decoded delta of this shape takes beyond twice its bytes (which its text,
// held as UTF-16, may take): every value and every change carries its own bookkeeping,
// which for many small values is many times their bytes.
qint64 decodedOverheadBytes(const DeltaShape &shape);

// The most fields a delta may declare: several times the widest table, so that a field a
// table does not know is still refused by name.
inline constexpr qint64 MaxDeltaFields = 64;

} // namespace kmp::server
