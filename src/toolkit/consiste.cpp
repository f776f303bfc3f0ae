#include "consiste.h"

#include "dbgrid.h"
#include "dialogs.h"
#include "exceptions.h"

#include <QApplication>

namespace kmp {

namespace Consiste {

QCborValue CheckResultServ(const kmp::wire::Response &result, bool, int)
{
    if (!result.ok) {
        QString message = result.errorMessage.trimmed();
        if (message.isEmpty())
            message = QStringLiteral("O servidor recusou a operação (código %1).").arg(result.errorCode);
        throw ServerError(result.errorCode, message);
    }
    return result.result;
}

void MensErro(const QString &text, bool showBox)
{
    if (showBox)
        kmp::Dialogs::message(QApplication::activeWindow(), kmp::MessageType::Error, text);
    throw ValidationError(text);
}

bool EmptyString(const QString &text)
{
    for (QChar c : text)
        if (!c.isSpace())
            return false;
    return true;
}

QString Ajusta(const QString &code, int width)
{
    const QString t = code.trimmed();
    // An empty code stays empty: padding it would invent code "000".
    if (t.isEmpty() || t.size() >= width)
        return t;
    return QString(width - t.size(), QLatin1Char('0')) + t;
}

int IndiceCol(DBGrid *grid, const QString &fieldName)
{
    return grid ? grid->columnOf(fieldName) : -1;
}

} // namespace Consiste

} // namespace kmp
