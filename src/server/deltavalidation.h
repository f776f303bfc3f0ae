#pragma once

#include "packet.h"
#include "schema.h"

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

} // namespace kmp::server
