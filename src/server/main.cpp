// kmp-appserver: the application server of the diagnosis screen, and its maintenance
// commands (catalogue import, demo data, audit report, backup and restore, status).

#include "appserver.h"
#include "cid10import.h"
#include "commandline.h"
#include "controlchars.h"
#include "databaseconfig.h"
#include "databasefiles.h"
#include "databaselock.h"
#include "dbconnection.h"
#include "demodata.h"
#include "error.h"
#include "frame.h"
#include "schema.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <unistd.h>
#include <vector>

using namespace kmp::server;
using namespace kmp::server::cli;

namespace {

int g_signalPipe[2] = {-1, -1};

// Signal handlers only write one byte to the pipe; the event loop does the work: 'q'
// stops the server, 'h' re-reads the key file.
void onSignal(int signal)
{
    const char c = signal == SIGHUP ? 'h' : 'q';
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &c, 1);
}

// Every log line, the server's own and Qt's, goes to stderr as "TIME TEXT": one line
// each, whole even when threads log at once, with any control character escaped so that
// nothing a client sent can forge a line or drive the terminal.
void writeLogLine(QtMsgType, const QMessageLogContext &, const QString &message)
{
    static QMutex lock;
    const QByteArray text = (QDateTime::currentDateTime().toString(Qt::ISODateWithMs) + QLatin1Char(' ')
                             + escapeControlCharacters(message) + QLatin1Char('\n'))
                                .toUtf8();
    QMutexLocker guard(&lock);
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

const QString kCommandsHelp =
    QStringLiteral("Comandos:\n"
                   "  serve          serve o módulo remoto KMP12800.rdmDiagPaci (o padrão)\n"
                   "  import-cid10   carrega no catálogo os arquivos oficiais da CID-10 de uma pasta\n"
                   "  demo           inclui a filial, o paciente, a consulta e os tipos de laudo de demonstração\n"
                   "  audit          mostra quem alterou o quê nas consultas de um paciente\n"
                   "  backup         copia o banco de dados, de forma consistente, enquanto os servidores atendem\n"
                   "  restore        devolve uma cópia a um banco novo, conferindo cada tabela\n"
                   "  verify-backup  confere um arquivo de cópia sem restaurá-lo\n"
                   "  status         diz se um servidor responde, sua versão, banco de dados e esquema\n"
                   "  upgrade        atualiza o esquema do banco para a versão deste servidor (antes, uma cópia)\n"
                   "Use 'kmp-appserver COMANDO --help' para ver as opções de um comando.");

int serve(const QStringList &args)
{
    QCommandLineParser parser;
    const QCommandLineOption db = databaseOption();
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Endereço e porta em que atender (porta 0: qualquer porta livre). "
                                                   "Padrão 127.0.0.1:21280."),
                                    QStringLiteral("HOST:PORTA"), QStringLiteral("127.0.0.1:21280"));
    const QCommandLineOption maxFrame(
        QStringLiteral("max-frame"),
        QStringLiteral("Maior requisição aceita, em bytes (padrão %1).").arg(kmp::wire::DefaultMaxFrame), QStringLiteral("BYTES"),
        QString::number(kmp::wire::DefaultMaxFrame));
    const QCommandLineOption maxConn(QStringLiteral("max-connections"),
                                     QStringLiteral("Máximo de clientes atendidos ao mesmo tempo (padrão 256)."),
                                     QStringLiteral("N"), QStringLiteral("256"));
    const QCommandLineOption quiet(QStringLiteral("quiet"),
                                   QStringLiteral("Não registra as conexões no log (as recusas continuam registradas)."));
    const QCommandLineOption keys(
        QStringLiteral("keys"),
        QStringLiteral("Arquivo de chaves de cliente: linhas NOME:SEGREDO (segredo de 16 caracteres ou mais), "
                       "# para comentários; legível só pelo usuário do servidor. Os clientes "
                       "precisam provar que têm uma dessas chaves."),
        QStringLiteral("ARQUIVO"));
    const QCommandLineOption tlsCert(QStringLiteral("tls-cert"),
                                     QStringLiteral("Certificado do servidor (PEM, com sua cadeia) para TLS."),
                                     QStringLiteral("ARQUIVO"));
    const QCommandLineOption tlsKey(QStringLiteral("tls-key"), QStringLiteral("Chave privada do certificado (PEM)."),
                                    QStringLiteral("ARQUIVO"));
    const QCommandLineOption idle(QStringLiteral("idle-timeout"),
                                  QStringLiteral("Fecha uma conexão sem requisições por este tempo (padrão 600)."),
                                  QStringLiteral("SEGUNDOS"), QStringLiteral("600"));
    const QCommandLineOption deadline(QStringLiteral("frame-deadline"),
                                      QStringLiteral("Uma requisição (e a negociação de TLS e de chave) precisa chegar inteira "
                                                     "dentro deste tempo a partir do primeiro byte (padrão 30)."),
                                      QStringLiteral("SEGUNDOS"), QStringLiteral("30"));
    const QCommandLineOption perAddress(QStringLiteral("max-per-address"),
                                        QStringLiteral("Máximo de conexões de um mesmo endereço de cliente (padrão 64); até um "
                                                       "quarto dele, e de --max-connections, pode estar ainda na negociação "
                                                       "de TLS e de chave de cliente."),
                                        QStringLiteral("N"), QStringLiteral("64"));
    const QCommandLineOption handshake(QStringLiteral("handshake-deadline"),
                                       QStringLiteral("O TLS e a chave de cliente (sem eles: a primeira requisição) precisam "
                                                      "terminar dentro deste tempo a partir da conexão (padrão 10)."),
                                       QStringLiteral("SEGUNDOS"), QStringLiteral("10"));
    const QCommandLineOption dbConnections(
        QStringLiteral("db-connections"),
        QStringLiteral("Conexões ao banco de dados compartilhadas por todos os clientes (padrão %1; "
                       "SQLite: uma delas grava, as outras leem).")
            .arg(DbPool::DefaultConnections),
        QStringLiteral("N"), QString::number(DbPool::DefaultConnections));
    const QCommandLineOption memoryBudget(
        QStringLiteral("memory-budget"),
        QStringLiteral("Memória para requisições e respostas grandes ao mesmo tempo, somando todos os "
                       "clientes, em MiB (padrão %1): uma requisição conta três vezes o seu tamanho (ela e "
                       "seus valores decodificados), uma resposta até o cliente lê-la; o que passar dele é "
                       "recusado.")
            .arg(ByteBudget::DefaultLimit / (1024 * 1024)),
        QStringLiteral("MIB"), QString::number(ByteBudget::DefaultLimit / (1024 * 1024)));
    parser.addOptions({db, listen, maxFrame, maxConn, quiet, keys, tlsCert, tlsKey, idle, deadline, perAddress, handshake,
                       dbConnections, memoryBudget});
    parseOrExit(parser, args,
                QStringLiteral("Serve o módulo remoto KMP12800.rdmDiagPaci por TCP. Escreve "
                               "'listening on HOST:PORTA' quando passa a aceitar conexões. Um endereço que não seja "
                               "o local (loopback) exige --tls-cert, --tls-key e --keys."));
    if (!parser.positionalArguments().isEmpty())
        throw kmp::Error(QStringLiteral("Argumento inesperado: %1").arg(parser.positionalArguments().first()));

    AppServer::Options options;
    options.database = DatabaseConfig::parse(parser.value(db));
    bool ok = false;
    options.maxFrame = parser.value(maxFrame).toUInt(&ok);
    if (!ok || options.maxFrame < 64)
        throw kmp::Error(QStringLiteral("--max-frame precisa ser um número de bytes (mínimo 64)."));
    options.maxConnections = parser.value(maxConn).toInt(&ok);
    if (!ok || options.maxConnections < 1)
        throw kmp::Error(QStringLiteral("--max-connections precisa ser um número positivo."));
    options.maxPerAddress = parser.value(perAddress).toInt(&ok);
    if (!ok || options.maxPerAddress < 1)
        throw kmp::Error(QStringLiteral("--max-per-address precisa ser um número positivo."));
    options.dbConnections = parser.value(dbConnections).toInt(&ok);
    if (!ok || options.dbConnections < 1 || options.dbConnections > 1000)
        throw kmp::Error(QStringLiteral("--db-connections precisa ser um número entre 1 e 1000."));
    const double budgetMib = parser.value(memoryBudget).toDouble(&ok);
    if (!ok || budgetMib < 1 || budgetMib > 1024 * 1024)
        throw kmp::Error(QStringLiteral("--memory-budget precisa ser um número de MiB (mínimo 1)."));
    options.memoryBudget = qint64(budgetMib * 1024 * 1024);
    options.quiet = parser.isSet(quiet);
    const auto secondsValue = [&](const QCommandLineOption &o, const char *name) {
        const double v = parser.value(o).toDouble(&ok);
        if (!ok || v <= 0 || v > 86400)
            throw kmp::Error(QStringLiteral("--%1 precisa ser um número de segundos entre 0 e 86400.").arg(QLatin1String(name)));
        return int(v * 1000);
    };
    options.idleTimeoutMs = secondsValue(idle, "idle-timeout");
    options.frameDeadlineMs = secondsValue(deadline, "frame-deadline");
    options.handshakeDeadlineMs = secondsValue(handshake, "handshake-deadline");
    if (parser.isSet(keys))
        options.keys = std::make_shared<const KeyRing>(KeyRing::load(parser.value(keys)));
    if (parser.isSet(tlsCert) != parser.isSet(tlsKey))
        throw kmp::Error(QStringLiteral("Informe --tls-cert e --tls-key juntos."));
    if (parser.isSet(tlsCert)) {
        QStringList warnings;
        options.tls =
            std::make_shared<const TlsIdentity>(TlsIdentity::load(parser.value(tlsCert), parser.value(tlsKey), &warnings));
        for (const QString &w : warnings)
            logLine(w);
    }

    const QString hostPort = parser.value(listen);
    const qsizetype colon = hostPort.lastIndexOf(QLatin1Char(':'));
    const uint port = colon > 0 ? hostPort.mid(colon + 1).toUInt(&ok) : 0;
    if (colon <= 0 || !ok || port > 65535)
        throw kmp::Error(QStringLiteral("--listen precisa ser HOST:PORTA, por exemplo 127.0.0.1:21280."));
    QString host = hostPort.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    QHostAddress address;
    if (host == QLatin1String("localhost"))
        address = QHostAddress::LocalHost;
    else if (!address.setAddress(host))
        throw kmp::Error(QStringLiteral("Endereço inválido em --listen: %1").arg(host));

    if (options.database.isPostgres() && !options.database.password.isEmpty())
        logLine(QStringLiteral("aviso: a senha do banco de dados está na linha de comando, que outros usuários desta "
                               "máquina podem ver (ps); use passfile=ARQUIVO no endereço ou a variável PGPASSFILE."));
    if (!options.database.isPostgres()) {
        const QStringList exposed = exposedDatabaseFiles(options.database.path);
        for (const QString &file : exposed)
            logLine(QStringLiteral("AVISO: o banco de dados %1 pode ser lido por outros usuários desta máquina: "
                                   "dados de pacientes expostos. Restrinja-o ao usuário do servidor (chmod 600 %1).")
                        .arg(file));
    }

    // SIGINT/SIGTERM end the server cleanly: listening stops and every thread is joined.
    // SIGHUP re-reads the key file: a withdrawn key is refused from its next connection on,
    // and a file that no longer reads leaves the keys in force as they were. The handlers
    // are in place before "listening on" is printed, so a supervisor that signals as soon
    // as the server is up never meets the default actions; a signal that comes before the
    // event loop waits in the pipe.
    const bool signalsPiped = ::pipe(g_signalPipe) == 0;
    if (signalsPiped) {
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        std::signal(SIGHUP, onSignal);
    } else {
        std::signal(SIGHUP, SIG_IGN);
    }
    std::signal(SIGPIPE, SIG_IGN);

    // Held while serving, before anything touches the file: a second server on the same
    // SQLite file is refused, naming the one that serves it, and a restore cannot swap the
    // file from under this one.
    std::unique_ptr<DatabaseLock> databaseLock;
    const QString &path = options.database.path;
    if (!options.database.isPostgres() && path != QLatin1String(":memory:") && !path.startsWith(QLatin1String("file:"))) {
        createPrivateDatabaseFile(path);
        QString why;
        databaseLock = DatabaseLock::tryExclusive(path, &why);
        if (!databaseLock)
            throw kmp::Error(QStringLiteral("O banco %1 não pode ser servido: %2. Um arquivo SQLite é servido por um só "
                                            "servidor; para vários, use PostgreSQL.")
                                 .arg(options.database.describe(), why));
    }
    // Buffers of several megabytes (sections, large answers) go to the system and back,
    // rather than raising the allocator's own threshold and staying in its heap after a
    // peak; smaller ones, the catalogue's among them, stay in the heap, quicker to reuse.
    mallopt(M_MMAP_THRESHOLD, 2 * 1024 * 1024);
    AppServer server(options);
    server.start(address, quint16(port));
    logLine(QStringLiteral("servindo KMP12800.rdmDiagPaci com %1; %2; %3")
                .arg(options.database.describe(), options.tls ? QStringLiteral("TLS") : QStringLiteral("sem TLS"),
                     options.keys ? QStringLiteral("%1 chave(s) de cliente").arg(options.keys->size())
                                  : QStringLiteral("sem chaves de cliente")));
    out(QStringLiteral("listening on %1:%2").arg(server.serverAddress().toString()).arg(server.serverPort()));

    const QString keyFile = parser.isSet(keys) ? parser.value(keys) : QString();
    if (signalsPiped) {
        auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &server);
        QObject::connect(notifier, &QSocketNotifier::activated, &server, [&server, keyFile]() {
            char c = 0;
            if (::read(g_signalPipe[0], &c, 1) != 1)
                return;
            if (c != 'h') {
                QCoreApplication::quit();
                return;
            }
            if (keyFile.isEmpty()) {
                logLine(QStringLiteral("SIGHUP: servidor sem arquivo de chaves (--keys); nada a recarregar"));
                return;
            }
            try {
                auto ring = std::make_shared<const KeyRing>(KeyRing::load(keyFile));
                const int count = ring->size();
                server.setKeys(std::move(ring));
                logLine(QStringLiteral("chaves de cliente recarregadas de %1: %2 chave(s)").arg(keyFile).arg(count));
            } catch (const kmp::Error &e) {
                logLine(QStringLiteral("SIGHUP: chaves mantidas como estavam; o arquivo %1 não pôde ser usado: %2")
                            .arg(keyFile, e.userMessage()));
            }
        });
    }
    const int rc = QCoreApplication::exec();
    server.stop();
    logLine(QStringLiteral("servidor encerrado"));
    return rc;
}

int importCommand(const QStringList &args)
{
    QCommandLineParser parser;
    const QCommandLineOption db = databaseOption();
    parser.addOption(db);
    parser.addPositionalArgument(QStringLiteral("PASTA"),
                                 QStringLiteral("Pasta com CID-10-CATEGORIAS.CSV e CID-10-SUBCATEGORIAS.CSV."));
    parseOrExit(parser, args,
                QStringLiteral("Carrega as categorias e subcategorias oficiais da CID-10 no catálogo de "
                               "diagnósticos. Rodar de novo não muda nada. Código de saída 3 quando alguns "
                               "itens não puderam ser gravados inteiros (eles são listados)."));
    if (parser.positionalArguments().size() != 1)
        throw kmp::Error(QStringLiteral("Informe a pasta dos arquivos da CID-10: kmp-appserver import-cid10 PASTA"));
    const DatabaseConfig config = DatabaseConfig::parse(parser.value(db));
    const auto entries = readCid10Folder(parser.positionalArguments().first());
    err(QStringLiteral("lidos %1 códigos; gravando em %2").arg(entries.size()).arg(config.describe()));
    DbConnection conn(config);
    ensureSchema(conn);
    const Cid10ImportResult r = importCid10(conn, entries, [](int done, int total) {
        err(QStringLiteral("  %1 de %2 (%3%)").arg(done).arg(total).arg(total ? done * 100 / total : 100));
    });
    for (const QString &line : r.refused)
        err(QStringLiteral("recusado: %1").arg(line));
    out(QStringLiteral("importados %1 códigos; recusados %2").arg(r.imported).arg(r.refused.size()));
    return r.refused.isEmpty() ? 0 : 3;
}

int demoCommand(const QStringList &args)
{
    QCommandLineParser parser;
    const QCommandLineOption db = databaseOption();
    parser.addOption(db);
    parseOrExit(parser, args,
                QStringLiteral("Inclui a filial de demonstração 0001, o paciente 000000000001 (Maria da Silva), uma "
                               "consulta em 2026-12-07 com diagnósticos de admissão e os tipos de laudo 001-003. "
                               "Carrega uma pequena lista própria de códigos CID-10 quando o catálogo está vazio."));
    if (!parser.positionalArguments().isEmpty())
        throw kmp::Error(QStringLiteral("Argumento inesperado: %1").arg(parser.positionalArguments().first()));
    DbConnection conn(DatabaseConfig::parse(parser.value(db)));
    loadDemo(conn, [](const QString &s) { out(s); });
    return 0;
}

// The audit report reads rich text, which lays out fonts with Qt Gui; it runs as an
// executable of its own beside this one, so that the server links neither Qt Gui nor
// Widgets. The arguments after "audit" are handed over unchanged.
int auditCommand(int argc, char **argv)
{
    // The helper sees this program's name and the arguments after "audit", as if run so.
    std::vector<char *> helperArgs{argv[0]};
    for (int i = 2; i < argc; ++i)
        helperArgs.push_back(argv[i]);
    helperArgs.push_back(nullptr);
    const QString dir = QCoreApplication::applicationDirPath();
    for (const QString &candidate :
         {dir + QStringLiteral("/kmp-appserver-audit"), dir + QStringLiteral("/../lib/kmp-appserver/kmp-appserver-audit")}) {
        const QByteArray path = QFile::encodeName(QDir::cleanPath(candidate));
        if (::access(path.constData(), X_OK) != 0)
            continue;
        ::execv(path.constData(), helperArgs.data());
        err(QStringLiteral("kmp-appserver: não foi possível iniciar %1: %2")
                .arg(QString::fromLocal8Bit(path), QString::fromLocal8Bit(std::strerror(errno))));
        return 2;
    }
    err(QStringLiteral("kmp-appserver: o relatório de auditoria (kmp-appserver-audit) não está instalado ao lado do servidor."));
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kmp-appserver"));
    installQtTranslations(app);
    qInstallMessageHandler(writeLogLine);
    QStringList args = QCoreApplication::arguments();
    QString command = QStringLiteral("serve");
    if (args.size() > 1 && !args.at(1).startsWith(QLatin1Char('-'))) {
        command = args.at(1);
        args.removeAt(1);
    } else if (args.size() == 2 && (args.at(1) == QLatin1String("--help") || args.at(1) == QLatin1String("-h"))) {
        out(QStringLiteral("Uso: kmp-appserver [COMANDO] [OPÇÕES]\n\n") + kCommandsHelp + QLatin1Char('\n'));
    }
    try {
        if (command == QLatin1String("serve"))
            return serve(args);
        if (command == QLatin1String("import-cid10"))
            return importCommand(args);
        if (command == QLatin1String("demo"))
            return demoCommand(args);
        if (command == QLatin1String("audit"))
            return auditCommand(argc, argv);
        if (command == QLatin1String("backup"))
            return backupCommand(args);
        if (command == QLatin1String("restore"))
            return restoreCommand(args);
        if (command == QLatin1String("verify-backup"))
            return verifyCommand(args);
        if (command == QLatin1String("status"))
            return statusCommand(args);
        if (command == QLatin1String("upgrade"))
            return upgradeCommand(args);
        err(QStringLiteral("Comando desconhecido: %1\n").arg(command) + kCommandsHelp);
        return 2;
    } catch (const kmp::Error &e) {
        err(QStringLiteral("kmp-appserver: %1").arg(e.userMessage()));
        return 1;
    }
}
