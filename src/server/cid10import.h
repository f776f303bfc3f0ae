#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

namespace kmp::server {

class DbConnection;

// One catalogue entry as read from the official files.
struct Cid10Entry
{
    QString code;         // without the dot, as in the files: "A000", "I10"
    QString name;         // DESCRICAO
    QString abbreviation; // DESCRABREV
};

// Reads one official CID-10 file (categories or subcategories): Latin-1, ';' separated,
// no quoting (a '"' is an ordinary character), a trailing ';' on every line. Columns are
// found by their header names, so either file works. Throws kmp::Error when the file
// cannot be read or lacks the columns.
std::vector<Cid10Entry> readCid10File(const QString &path);
std::vector<Cid10Entry> parseCid10(const QByteArray &latin1Contents, const QString &fileName);

struct Cid10ImportResult
{
    int imported = 0;    // entries written (inserted or updated)
    QStringList refused; // one readable line per entry that could not be stored whole
};

// Writes entries into the catalogue, code as key, with the table tag "CID10": new codes
// are added, known ones updated, so running it twice changes nothing. An entry whose
// text does not fit its column is refused and listed, never cut. One transaction.
Cid10ImportResult importCid10(DbConnection &db, const std::vector<Cid10Entry> &entries,
                              const std::function<void(int done, int total)> &progress = {});

// The catalogue's current version (see KMP_CATALOGUE_VERSION); empty when it has none.
QString catalogueVersion(DbConnection &db);
// Gives the catalogue a new version; call inside the transaction that changes it.
void bumpCatalogueVersion(DbConnection &db);

// The two official files of a folder: categories, then subcategories (which win where a
// code is in both, being the finer list).
std::vector<Cid10Entry> readCid10Folder(const QString &dir);

} // namespace kmp::server
