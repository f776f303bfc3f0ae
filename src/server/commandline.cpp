#include "commandline.h"

#include "databaseconfig.h"

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

QCommandLineOption databaseOption()
{
    return QCommandLineOption(
        {QStringLiteral("database"), QStringLiteral("d")},
        QStringLiteral("Where the data lives: sqlite:PATH (default %1) or "
                       "postgresql://USER@HOST:PORT/DB[?OPTIONS], OPTIONS being schema=NAME, sslmode=MODE, "
                       "sslrootcert=FILE, sslcert=FILE, sslkey=FILE, connect_timeout=SECONDS, passfile=FILE "
                       "joined by &. Keep the password in passfile or PGPASSFILE, not in the URL.")
            .arg(defaultDatabaseSpec()),
        QStringLiteral("URL"), defaultDatabaseSpec());
}

void parseOrExit(QCommandLineParser &parser, const QStringList &args, const QString &description)
{
    parser.setApplicationDescription(description);
    const QCommandLineOption help = parser.addHelpOption();
    if (!parser.parse(args)) {
        err(parser.errorText());
        err(QStringLiteral("Use --help to see the options."));
        std::exit(2);
    }
    if (parser.isSet(help)) {
        out(parser.helpText());
        std::exit(0);
    }
}

} // namespace kmp::server::cli
