#pragma once

#include "packet.h"

#include <QCborValue>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

namespace kmp::call {

// Turns one command-line argument into the value sent to the server:
//  - "@FILE": a delta read from a JSON file, sent as its encoded bytes;
//  - a JSON value: 46363 (a date as the day count), "0001" (text), true, null;
//  - anything else (a bare word): the word as text.
// Throws kmp::Error with a readable message.
QCborValue argumentFromText(const QString &text);

// JSON form of a delta:
// {"fields":[["CDFILIAL","string",4],...],
//  "changes":[{"kind":"insert|modify|delete","old":[...],"new":[...]}]}
// Kinds may be given by name or by number; blob values are text (stored as UTF-8) or
// {"base64":"..."}.
Delta deltaFromJson(const QJsonObject &json);

// A result as JSON: a packet becomes {"fields":[[name,kind,size]...],"rows":[...]}; an
// array of packets a JSON array; null stays null. Blob values are text when they are
// valid UTF-8, otherwise {"base64":"..."}.
QJsonValue resultToJson(const QCborValue &result);
QJsonObject packetToJson(const Packet &packet);

} // namespace kmp::call
