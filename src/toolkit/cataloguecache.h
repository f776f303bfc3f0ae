#pragma once

#include "tnetconnection.h"

#include <QByteArray>
#include <QString>

namespace kmp {

// A station's copy of a catalogue that rarely changes (the diagnosis catalogue), kept in
// the user's cache folder, one file per server and catalogue version. The server reports
// the catalogue's current version on every load; when it matches the copy's, the server
// sends nothing more and the copy is used, so a station on a slow link does not move the
// whole catalogue each time the screen opens.
//
// The copy is a convenience, never a source of truth: a missing, unreadable or damaged
// file (its checksum is checked) is dropped and the catalogue fetched again, and a copy
// that cannot be written only costs the next open a fetch.
class CatalogueCache
{
public:
    // server identifies the server ("host:port"); method is the remote method that loads
    // the catalogue. folder defaults to the user's cache location.
    CatalogueCache(const QString &server, const QString &method, const QString &folder = QString());

    // The copy held for this server: its version and packet, or false.
    bool read(QString *version, QByteArray *packet) const;
    // Replaces the copy (written whole to a temporary file, then renamed), and removes
    // copies of older versions. Returns false, with a warning in the log, when it cannot.
    bool write(const QString &version, const QByteArray &packet) const;
    void remove() const;

    // Loads the catalogue through the connection: asks with the version held, and gets
    // either "unchanged" or the new catalogue and version (then kept). A server that does
    // not know versions is asked the plain way. Failures raise as any remote call does.
    QByteArray fetch(TNetConnection &net) const;

    // fetch() in two halves, for a load sent together with other calls
    // (TNetConnection::callAll): the call to make, asking with the version held, and then
    // the catalogue from the server's answer to it.
    //
    // prepare() reads only the copy's version; the copy itself is unpacked by readCopy(),
    // which the caller may run while the request travels, or else by finish() when the
    // server says the copy is current. A copy found damaged then is dropped and the
    // catalogue asked for again in full.
    struct Load
    {
        TNetConnection::Call call;
        QString file;      // the copy's file
        QString held;      // the version of the copy, empty without one
        QByteArray copy;   // the copy's packet, once read
        bool read = false; // readCopy() ran
    };
    Load prepare() const;
    void readCopy(Load &load) const;
    QByteArray finish(Load load, const kmp::wire::Response &answer, TNetConnection &net) const;

private:
    QString filePrefix() const;
    // The newest copy's file and the version its header names, or false.
    bool newestCopy(QString *file, QString *version) const;
    // The packet of a copy whose header names held; empty (the file removed) when it is
    // unreadable or damaged.
    QByteArray unpack(const QString &file, const QString &held) const;
    // The catalogue in full, asked without a version (and kept).
    QByteArray fetchWhole(TNetConnection &net) const;

    QString m_server;
    QString m_method;
    QString m_folder;
};

} // namespace kmp
