#include "translations.h"

#include "hostlog.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace kmp {

bool installQtTranslations(QCoreApplication &app)
{
    const QLocale brazil(QLocale::Portuguese, QLocale::Brazil);
    QLocale::setDefault(brazil);
    auto *translator = new QTranslator(&app);
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator->load(brazil, QStringLiteral("qtbase"), QStringLiteral("_"), folder)) {
        qCWarning(hostLog, "traduções pt_BR do Qt não encontradas em %s; os textos do próprio Qt ficam em inglês",
                  qPrintable(folder));
        delete translator;
        return false;
    }
    app.installTranslator(translator);
    return true;
}

} // namespace kmp
