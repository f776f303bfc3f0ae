#pragma once

#include <QString>

namespace kmp {

class DataSource;

namespace Pesquisa {

// A modal lookup over the rows of the data source's record set, showing its visible
// fields with their labels. titleAndEmptyText is "Title|Text shown when there are no rows".
// The search box filters as the user types, ignoring letter case and accents: a row
// matches when every word typed starts the code (the first visible field) or starts a
// word of its texts; best matches first. Enter picks, Esc cancels.
// Returns true when a row was picked, the record set then standing on it. An empty record
// set shows the empty text (when showEmptyText) and returns false.
// multiSelect is accepted for the callers' signature; one row is picked.
bool Pesquisar(kmp::DataSource *source, const QString &titleAndEmptyText, bool multiSelect = false, bool showEmptyText = true);

} // namespace Pesquisa

} // namespace kmp
