// kmp-call: calls one remote method of the application server from the command line and
// prints the result as JSON. Meant for scripts, checks and support.

#include "client.h"
#include "jsonvalues.h"
#include "methods.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cstdio>

namespace {

void print(FILE *to, const QString &text)
{
    const QByteArray b = (text + QLatin1Char('\n')).toUtf8();
    std::fwrite(b.constData(), 1, size_t(b.size()), to);
    std::fflush(to);
}

// The module's methods with their arguments in order, as the help lists them.
QString methodList()
{
    QString out = QStringLiteral("Métodos (argumentos em ordem, os opcionais entre colchetes; dtConsulta é uma contagem\n"
                                 "de dias, delta um @ARQUIVO):\n");
    for (const kmp::protocol::MethodInfo &m : kmp::protocol::methods())
        out += QStringLiteral("  ") + kmp::protocol::signature(m) + QLatin1Char('\n');
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kmp-call"));
    // Qt's own texts in the help and in option errors in Portuguese, like the rest.
    auto *translator = new QTranslator(&app);
    if (translator->load(QLocale(QLocale::Portuguese, QLocale::Brazil), QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        app.installTranslator(translator);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Chama um método do módulo remoto %1 e mostra o resultado em JSON.\n"
                       "Os argumentos são valores JSON: datas como contagem de dias (46363), texto entre aspas (\"0001\") ou\n"
                       "como palavra solta, e o delta dos métodos Set... de um arquivo JSON com @ARQUIVO:\n"
                       "  {\"fields\":[[\"CDFILIAL\",\"string\",4],...],\n"
                       "   \"changes\":[{\"kind\":\"insert|modify|delete\",\"old\":[...],\"new\":[...]}]}\n"
                       "Um servidor com chaves de cliente exige --key-name com --key-file, ou --key NOME:SEGREDO (ou a\n"
                       "variável de ambiente KMP_CALL_KEY=NOME:SEGREDO, que deixa o segredo fora da lista de processos);\n"
                       "um servidor com TLS exige --tls e --ca.\n"
                       "Código de saída: 0 sucesso, 1 recusado pelo servidor (a mensagem dele na saída de erro), 2 uso\n"
                       "incorreto, 3 o servidor não foi alcançado, recusou a chave ou o certificado, ou não respondeu.\n\n")
            .arg(kmp::protocol::moduleName())
        + methodList());
    parser.addHelpOption();
    const QCommandLineOption server(QStringLiteral("server"), QStringLiteral("Endereço do servidor (padrão 127.0.0.1:21280)."),
                                    QStringLiteral("HOST:PORTA"), QStringLiteral("127.0.0.1:21280"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QStringLiteral("Segundos de espera pela resposta (padrão 30)."),
                                     QStringLiteral("SEGUNDOS"), QStringLiteral("30"));
    const QCommandLineOption module(QStringLiteral("module"), QStringLiteral("Nome do módulo remoto."), QStringLiteral("NOME"),
                                    kmp::protocol::moduleName());
    const QCommandLineOption guid(QStringLiteral("guid"), QStringLiteral("Identificador do módulo remoto."),
                                  QStringLiteral("GUID"), kmp::protocol::moduleGuid());
    const QCommandLineOption keyName(QStringLiteral("key-name"), QStringLiteral("Nome da chave de cliente (com --key-file)."),
                                     QStringLiteral("NOME"));
    const QCommandLineOption keyFile(QStringLiteral("key-file"),
                                     QStringLiteral("Arquivo com o segredo da chave de cliente (uma linha)."),
                                     QStringLiteral("ARQUIVO"));
    const QCommandLineOption key(QStringLiteral("key"),
                                 QStringLiteral("Chave de cliente como NOME:SEGREDO (padrão: $KMP_CALL_KEY)."),
                                 QStringLiteral("NOME:SEGREDO"));
    const QCommandLineOption tls(QStringLiteral("tls"),
                                 QStringLiteral("Conecta com TLS, verificando o certificado do servidor."));
    const QCommandLineOption ca(QStringLiteral("ca"),
                                QStringLiteral("Certificado da autoridade (PEM) que deve ter assinado o do servidor; a única "
                                               "raiz aceita. Sem ele, as raízes do sistema."),
                                QStringLiteral("ARQUIVO"));
    parser.addOptions({server, timeout, module, guid, keyName, keyFile, key, tls, ca});
    parser.addPositionalArgument(QStringLiteral("MÉTODO"), QStringLiteral("Método remoto, por exemplo GetDiagPaci."));
    parser.addPositionalArgument(QStringLiteral("ARG"), QStringLiteral("Argumentos na ordem do método."),
                                 QStringLiteral("[ARG...]"));
    // Negative day counts and the like must stay arguments, not options.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    parser.process(app);

    const QStringList pos = parser.positionalArguments();
    if (pos.isEmpty()) {
        print(stderr, QStringLiteral("kmp-call: informe o método. Use --help."));
        return 2;
    }
    const QString hostPort = parser.value(server);
    const qsizetype colon = hostPort.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const uint port = colon > 0 ? hostPort.mid(colon + 1).toUInt(&ok) : 0;
    if (colon <= 0 || !ok || port == 0 || port > 65535) {
        print(stderr, QStringLiteral("kmp-call: --server precisa ser HOST:PORTA."));
        return 2;
    }
    const double seconds = parser.value(timeout).toDouble(&ok);
    if (!ok || seconds <= 0) {
        print(stderr, QStringLiteral("kmp-call: --timeout precisa ser um número de segundos."));
        return 2;
    }

    kmp::wire::Request request;
    request.module = parser.value(module);
    request.guid = parser.value(guid);
    request.method = pos.first();
    try {
        for (qsizetype i = 1; i < pos.size(); ++i)
            request.args.append(kmp::call::argumentFromText(pos.at(i)));
    } catch (const kmp::Error &e) {
        print(stderr, QStringLiteral("kmp-call: %1").arg(e.userMessage()));
        return 2;
    }

    QString credentialName;
    QByteArray credentialSecret;
    const QString keyText = parser.isSet(key) ? parser.value(key) : qEnvironmentVariable("KMP_CALL_KEY");
    if (parser.isSet(keyName) || parser.isSet(keyFile)) {
        if (!parser.isSet(keyName) || !parser.isSet(keyFile) || parser.isSet(key)) {
            print(stderr, QStringLiteral("kmp-call: use --key-name com --key-file, ou --key NOME:SEGREDO."));
            return 2;
        }
        QFile f(parser.value(keyFile));
        if (!f.open(QIODevice::ReadOnly)) {
            print(stderr, QStringLiteral("kmp-call: não foi possível ler %1: %2").arg(f.fileName(), f.errorString()));
            return 2;
        }
        credentialName = parser.value(keyName);
        credentialSecret = f.readAll().trimmed();
    } else if (!keyText.isEmpty()) {
        const qsizetype sep = keyText.indexOf(QLatin1Char(':'));
        if (sep <= 0) {
            print(stderr, QStringLiteral("kmp-call: --key precisa ser NOME:SEGREDO."));
            return 2;
        }
        credentialName = keyText.left(sep);
        credentialSecret = keyText.mid(sep + 1).toUtf8();
    }
    if (parser.isSet(ca) && !parser.isSet(tls)) {
        print(stderr, QStringLiteral("kmp-call: --ca só vale com --tls."));
        return 2;
    }

    kmp::wire::Client client;
    client.setEndpoint(hostPort.left(colon), quint16(port));
    client.setCredentials(credentialName, credentialSecret);
    client.setTls(parser.isSet(tls), parser.value(ca));
    client.setTimeouts(5000, int(seconds * 1000));
    kmp::wire::Response response;
    try {
        response = client.call(request);
    } catch (const kmp::Error &e) {
        print(stderr, QStringLiteral("kmp-call: %1").arg(e.userMessage()));
        // A refused key is the server's answer, like any other refusal (the client says it
        // in these words whatever the server sent); the rest is a server that could not be
        // reached or did not answer.
        return e.userMessage() == QLatin1String("Chave de cliente recusada pelo servidor.") ? 1 : 3;
    }
    client.disconnectFromServer();
    if (!response.ok) {
        print(stderr, QStringLiteral("kmp-call: %1 (código %2)").arg(response.errorMessage).arg(response.errorCode));
        return 1;
    }
    const QJsonValue json = kmp::call::resultToJson(response.result);
    if (json.isArray()) {
        print(stdout, QString::fromUtf8(QJsonDocument(json.toArray()).toJson(QJsonDocument::Indented)).trimmed());
    } else if (json.isObject()) {
        print(stdout, QString::fromUtf8(QJsonDocument(json.toObject()).toJson(QJsonDocument::Indented)).trimmed());
    } else {
        // A bare value: wrap it to serialise, then drop the brackets.
        const QString wrapped = QString::fromUtf8(QJsonDocument(QJsonArray{json}).toJson(QJsonDocument::Compact));
        print(stdout, wrapped.mid(1, wrapped.size() - 2));
    }
    return 0;
}
