// The administrator's commands of kmp-appserver: backup, restore, verify-backup, status.

#include "auth.h"
#include "backup.h"
#include "commandline.h"
#include "dbconnection.h"
#include "error.h"
#include "frame.h"
#include "ping.h"
#include "schema.h"

#include <QCborMap>
#include <QElapsedTimer>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <memory>

namespace kmp::server::cli {

namespace {

void noPositionals(const QCommandLineParser &parser)
{
    if (!parser.positionalArguments().isEmpty())
        throw kmp::Error(QStringLiteral("Argumento inesperado: %1").arg(parser.positionalArguments().first()));
}

void printManifest(const BackupManifest &m)
{
    for (const auto &[table, rows] : m.rowCounts)
        out(QStringLiteral("  %1 %2").arg(table + QLatin1Char(':'), -21).arg(rows));
}

} // namespace

int backupCommand(const QStringList &args)
{
    QCommandLineParser parser;
    const QCommandLineOption db = databaseOption();
    const QCommandLineOption to(QStringLiteral("to"), QStringLiteral("O arquivo da cópia a gravar (não pode existir)."),
                                QStringLiteral("ARQUIVO"));
    parser.addOptions({db, to});
    parseOrExit(parser, args,
                QStringLiteral("Grava uma cópia consistente do banco de dados em ARQUIVO (um arquivo SQLite) enquanto "
                               "os servidores continuam atendendo. SQLite: o banco como estava num único momento "
                               "(VACUUM INTO). PostgreSQL: todas as tabelas lidas num mesmo instantâneo (o banco "
                               "precisa estar na versão de esquema deste servidor). A cópia é conferida antes de "
                               "receber seu nome. Código de saída 0 quando a cópia está completa e conferida, 1 se não."));
    noPositionals(parser);
    if (!parser.isSet(to))
        throw kmp::Error(QStringLiteral("Informe o arquivo da cópia: kmp-appserver backup --to ARQUIVO"));
    const DatabaseConfig config = DatabaseConfig::parse(parser.value(db));
    QElapsedTimer timer;
    timer.start();
    const BackupManifest m = backupDatabase(config, parser.value(to));
    out(QStringLiteral("cópia de %1 gravada em %2: esquema versão %3, %4 linha(s) em %5 tabela(s), %6 s")
            .arg(config.describe(), parser.value(to))
            .arg(m.schemaVersion)
            .arg(m.totalRows())
            .arg(m.rowCounts.size())
            .arg(QString::number(timer.elapsed() / 1000.0, 'f', 1)));
    return 0;
}

int verifyCommand(const QStringList &args)
{
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("ARQUIVO"), QStringLiteral("O arquivo da cópia."));
    parseOrExit(parser, args,
                QStringLiteral("Confere um arquivo de cópia sem restaurá-lo: sua integridade, sua descrição, sua "
                               "versão de esquema e o número de linhas de cada tabela. Código de saída 0 quando está íntegro."));
    if (parser.positionalArguments().size() != 1)
        throw kmp::Error(QStringLiteral("Informe o arquivo da cópia: kmp-appserver verify-backup ARQUIVO"));
    const BackupManifest m = verifyBackup(parser.positionalArguments().first());
    out(QStringLiteral("cópia íntegra: feita em %1 de um banco %2, esquema versão %3, %4 linha(s)")
            .arg(m.createdAt, m.sourceKind)
            .arg(m.schemaVersion)
            .arg(m.totalRows()));
    if (m.digests.empty())
        out(QStringLiteral("aviso: cópia de formato antigo, sem resumo do conteúdo: conferidas só as contagens de linhas"));
    printManifest(m);
    return 0;
}

int restoreCommand(const QStringList &args)
{
    QCommandLineParser parser;
    const QCommandLineOption db(QStringLiteral("database"),
                                QStringLiteral("O banco de dados em que restaurar: sqlite:CAMINHO (um arquivo novo, ou um "
                                               "existente com --replace) ou postgresql://... (um banco ou esquema sem "
                                               "linhas)."),
                                QStringLiteral("URL"));
    const QCommandLineOption from(QStringLiteral("from"), QStringLiteral("O arquivo da cópia."), QStringLiteral("ARQUIVO"));
    const QCommandLineOption replace(
        QStringLiteral("replace"),
        QStringLiteral("SQLite: substitui um arquivo de banco existente, que fica guardado ao lado como "
                       "CAMINHO.substituido-DATA-HORA. Recusado enquanto um servidor o tiver aberto."));
    parser.addOptions({db, from, replace});
    parseOrExit(parser, args,
                QStringLiteral("Restaura uma cópia feita por 'kmp-appserver backup': confere antes a cópia (integridade, "
                               "versão de esquema, número de linhas), grava-a no banco de dados e confere ali o número "
                               "de linhas. Nunca grava sobre um banco em uso. Código de saída 0 só quando todas as "
                               "tabelas foram conferidas."));
    noPositionals(parser);
    if (!parser.isSet(db) || !parser.isSet(from))
        throw kmp::Error(QStringLiteral("Informe --from ARQUIVO e --database URL."));
    RestoreOptions options;
    options.replace = parser.isSet(replace);
    const BackupManifest m = restoreDatabase(parser.value(from), DatabaseConfig::parse(parser.value(db)), options,
                                             [](const QString &line) { err(line); });
    out(QStringLiteral("restauração concluída: esquema versão %1, %2 linha(s) conferidas em %3 tabela(s)")
            .arg(m.schemaVersion)
            .arg(m.totalRows())
            .arg(m.rowCounts.size()));
    printManifest(m);
    return 0;
}

int upgradeCommand(const QStringList &args)
{
    QCommandLineParser parser;
    const QCommandLineOption db = databaseOption();
    parser.addOption(db);
    parseOrExit(parser, args,
                QStringLiteral("Atualiza o esquema do banco de dados para a versão deste kmp-appserver, numa só "
                               "transação. SQLite: faz antes uma cópia conferida ao lado do arquivo "
                               "(CAMINHO.esquema-N-DATA-HORA.bak). PostgreSQL: faça antes sua cópia (pg_dump); os "
                               "servidores recusam um banco de versão anterior até que ele seja atualizado."));
    noPositionals(parser);
    const DatabaseConfig config = DatabaseConfig::parse(parser.value(db));
    DbConnection conn(config);
    const int before = schemaVersion(conn);
    if (config.isPostgres() && before == 0)
        throw kmp::Error(missingTablesMessage(conn));
    const QString copy = upgradeSchema(conn);
    if (!copy.isEmpty())
        out(QStringLiteral("cópia de antes da atualização: %1").arg(copy));
    out(QStringLiteral("banco %1: esquema versão %2 (era %3)").arg(config.describe()).arg(schemaVersion(conn)).arg(before));
    return 0;
}

int statusCommand(const QStringList &args)
{
    QCommandLineParser parser;
    const QCommandLineOption server(QStringLiteral("server"), QStringLiteral("Endereço do servidor (padrão 127.0.0.1:21280)."),
                                    QStringLiteral("HOST:PORTA"), QStringLiteral("127.0.0.1:21280"));
    const QCommandLineOption tls(QStringLiteral("tls"), QStringLiteral("Conecta com TLS, verificando o certificado."));
    const QCommandLineOption ca(QStringLiteral("ca"), QStringLiteral("Certificado da autoridade certificadora (PEM) para --tls."),
                                QStringLiteral("ARQUIVO"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QStringLiteral("Segundos de espera (padrão 10)."),
                                     QStringLiteral("SEGUNDOS"), QStringLiteral("10"));
    parser.addOptions({server, tls, ca, timeout});
    parseOrExit(parser, args,
                QStringLiteral("Pergunta a um servidor se está saudável (sem precisar de chave de cliente, nada sobre "
                               "pacientes é dito): sua versão, o tipo de banco e a versão de esquema. Código de saída: "
                               "0 saudável, 1 o servidor responde mas seu banco não (ou tem outra versão de esquema), "
                               "3 sem resposta."));
    noPositionals(parser);
    const QString hostPort = parser.value(server);
    const qsizetype colon = hostPort.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const uint port = colon > 0 ? hostPort.mid(colon + 1).toUInt(&ok) : 0;
    if (colon <= 0 || !ok || port == 0 || port > 65535)
        throw kmp::Error(QStringLiteral("--server precisa ser HOST:PORTA, por exemplo 127.0.0.1:21280."));
    const QString host = hostPort.left(colon);
    const int ms = int(parser.value(timeout).toDouble(&ok) * 1000);
    if (!ok || ms <= 0)
        throw kmp::Error(QStringLiteral("--timeout precisa ser um número de segundos."));

    const auto noAnswer = [&](const QString &why) {
        out(QStringLiteral("%1: sem resposta (%2)").arg(hostPort, why));
        return 3;
    };
    std::unique_ptr<QTcpSocket> socket;
    if (parser.isSet(tls)) {
        auto ssl = std::make_unique<QSslSocket>();
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        if (parser.isSet(ca)) {
            const auto roots = QSslCertificate::fromPath(parser.value(ca), QSsl::Pem);
            if (roots.isEmpty())
                throw kmp::Error(QStringLiteral("Nenhum certificado em %1.").arg(parser.value(ca)));
            conf.setCaCertificates(roots);
        }
        conf.setPeerVerifyMode(QSslSocket::VerifyPeer);
        conf.setProtocol(QSsl::TlsV1_2OrLater);
        ssl->setSslConfiguration(conf);
        ssl->connectToHostEncrypted(host, quint16(port));
        if (!ssl->waitForEncrypted(ms))
            return noAnswer(ssl->sslHandshakeErrors().isEmpty() ? ssl->errorString()
                                                                : ssl->sslHandshakeErrors().first().errorString());
        socket = std::move(ssl);
    } else {
        socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(host, quint16(port));
        if (!socket->waitForConnected(ms))
            return noAnswer(socket->errorString());
    }
    socket->write(wire::frame(wire::encodeRequest(Ping::request())));
    wire::FrameReader reader(1024 * 1024);
    QElapsedTimer timer;
    timer.start();
    std::optional<wire::Response> response;
    while (!response) {
        if (timer.elapsed() > ms)
            return noAnswer(QStringLiteral("tempo esgotado"));
        if (!socket->waitForReadyRead(200) && socket->state() != QAbstractSocket::ConnectedState && socket->bytesAvailable() == 0)
            return noAnswer(QStringLiteral("o servidor fechou a conexão"));
        reader.append(socket->readAll());
        while (auto body = reader.next()) {
            // A server with client keys greets with its challenge first; the probe skips it.
            if (wire::auth::decodeChallenge(*body))
                continue;
            try {
                response = wire::decodeResponse(*body);
            } catch (const kmp::Error &) {
                return noAnswer(QStringLiteral("resposta ilegível"));
            }
            break;
        }
        if (reader.isBroken())
            return noAnswer(QStringLiteral("resposta grande demais"));
    }
    if (!response->ok)
        return noAnswer(QStringLiteral("recusou o pedido: %1").arg(response->errorMessage));
    const QCborMap m = response->result.toMap();
    const bool dbOk = m.value(QStringLiteral("databaseOk")).toBool();
    const qint64 schema = m.value(QStringLiteral("schema")).toInteger();
    const qint64 expected = m.value(QStringLiteral("schemaExpected")).toInteger();
    out(QStringLiteral("%1: %2 %3 respondendo")
            .arg(hostPort, m.value(QStringLiteral("server")).toString(), m.value(QStringLiteral("version")).toString()));
    if (!dbOk) {
        out(QStringLiteral("banco %1: indisponível").arg(m.value(QStringLiteral("database")).toString()));
        return 1;
    }
    out(QStringLiteral("banco %1: esquema versão %2 (este servidor usa a %3)")
            .arg(m.value(QStringLiteral("database")).toString())
            .arg(schema)
            .arg(expected));
    return schema == expected ? 0 : 1;
}

} // namespace kmp::server::cli
