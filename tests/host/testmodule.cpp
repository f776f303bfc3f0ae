// A screen module as small as the loader needs: IniProc opens one base screen in the host,
// titled with what it received, and refuses a patient "UNREACHABLE" the way a module does
// when its server cannot be reached.
#include "client.h"
#include "fielddef.h"
#include "hostservices.h"
#include "tfrmpadraogrid.h"

#include <QDate>
#include <QPointer>
#include <QVariant>

namespace {
QPointer<TfrmPadraoGrid> g_screen;
}

extern "C" Q_DECL_EXPORT void IniProc(QVariant args)
{
    const QVariantList list = args.toList();
    if (list.size() < 4)
        throw kmp::Error(QStringLiteral("IniProc: four elements expected"));
    // Element 3: a date, or the day count.
    const QVariant when = list.at(3);
    const QDate date = when.typeId() == QMetaType::QDate ? when.toDate() : kmp::dateTimeFromDays(when.toDouble()).date();
    if (list.at(1).toString() == QLatin1String("UNREACHABLE"))
        throw kmp::wire::ConnectionError(QStringLiteral("Connection refused"));
    if (!g_screen) {
        g_screen = new TfrmPadraoGrid(kmp::HostServices::instance()->application());
        g_screen->initialize();
    }
    g_screen->setCaption(
        QStringLiteral("Teste|%1|%2|%3|%4")
            .arg(list.at(0).toString(), list.at(1).toString(), list.at(2).toString(), date.toString(Qt::ISODate)));
    g_screen->bringToFront();
}
