#pragma once

#include "message.h"

#include <QCborValue>
#include <QString>

namespace kmp {

class DBGrid;

// Validation and result-checking helpers the screens call by name.
namespace Consiste {

// Returns the payload of a server result; raises ServerError carrying the server's code
// and message when the server answered with an error. showError and helpContext are kept
// for the callers' signature: the error travels as the exception and is shown once, by
// the guarded dispatch that ends the command.
QCborValue CheckResultServ(const kmp::wire::Response &result, bool showError = true, int helpContext = 0);

// Shows text in an error box, then raises ValidationError, which ends the operation that asked
// for the validation (a column exit, a post, a panel entry) without a second message.
[[noreturn]] void MensErro(const QString &text, bool showBox = true);

// True when text is empty or holds only blanks.
bool EmptyString(const QString &text);

// The code padded on the left with zeros to width ("1" -> "001"); codes already as long
// or longer come back unchanged. Blanks around the code are dropped first; an empty code
// stays empty.
QString Ajusta(const QString &code, int width);

// Index of the grid column bound to fieldName (letter case ignored), -1 when none is.
int IndiceCol(DBGrid *grid, const QString &fieldName);

} // namespace Consiste

} // namespace kmp
