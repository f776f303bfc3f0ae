#include "translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cstdio>

namespace kmp {

bool installQtTranslations(QCoreApplication &app)
{
    const QLocale brazil(QLocale::Portuguese, QLocale::Brazil);
    QLocale::setDefault(brazil);
    auto *translator = new QTranslator(&app);
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator->load(brazil, QStringLiteral("qtbase"), QStringLiteral("_"), folder)) {
        std::fprintf(stderr, "kmp-host: Qt's pt_BR translations not found in %s; Qt's own texts stay in English\n",
                     qPrintable(folder));
        delete translator;
        return false;
    }
    app.installTranslator(translator);
    return true;
}

} // namespace kmp
