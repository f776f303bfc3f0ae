#include "commandline.h"

#include "databaseconfig.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>

namespace kmp::server::cli {

void out(const QString &line)
{
    const QByteArray b = (line + QLatin1Char('\n')).toUtf8();
    std::fwrite(b.constData(), 1, size_t(b.size()), stdout);
    std::fflush(stdout);
}

void err(const QString &line)
{
    const QByteArray b = (line + QLatin1Char('\n')).toUtf8();
    std::fwrite(b.constData(), 1, size_t(b.size()), stderr);
    std::fflush(stderr);
}

void installQtTranslations(QCoreApplication &app)
{
    auto *translator = new QTranslator(&app);
    if (translator->load(QLocale(QLocale::Portuguese, QLocale::Brazil), QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        app.installTranslator(translator);
    else
        delete translator;
}

QCommandLineOption databaseOption()
{
    return QCommandLineOption(
        {QStringLiteral("database"), QStringLiteral("d")},
        QStringLiteral("Onde ficam os dados: sqlite:CAMINHO (padrão %1) ou "
                       "postgresql://USUÁRIO@HOST:PORTA/BANCO[?OPÇÕES], sendo OPÇÕES schema=NOME, sslmode=MODO, "
                       "sslrootcert=ARQUIVO, sslcert=ARQUIVO, sslkey=ARQUIVO, connect_timeout=SEGUNDOS, "
                       "passfile=ARQUIVO unidas por &. Guarde a senha em passfile ou PGPASSFILE, não no endereço.")
            .arg(defaultDatabaseSpec()),
        QStringLiteral("URL"), defaultDatabaseSpec());
}

void parseOrExit(QCommandLineParser &parser, const QStringList &args, const QString &description)
{
    parser.setApplicationDescription(description);
    const QCommandLineOption help = parser.addHelpOption();
    if (!parser.parse(args)) {
        err(parser.errorText());
        err(QStringLiteral("Use --help para ver as opções."));
        std::exit(2);
    }
    if (parser.isSet(help)) {
        out(parser.helpText());
        std::exit(0);
    }
}

} // namespace kmp::server::cli
