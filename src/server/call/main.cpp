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
    QString out = QStringLiteral("Methods (arguments in order, optional ones in brackets; dtConsulta is a day count,\n"
                                 "delta a @FILE):\n");
    for (const kmp::protocol::MethodInfo &m : kmp::protocol::methods())
        out += QStringLiteral("  ") + kmp::protocol::signature(m) + QLatin1Char('\n');
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kmp-call"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Calls a method of the remote module %1 and prints the result as JSON.\n"
        "Arguments are JSON values: dates as the day count (46363), text in quotes (\"0001\") or as a\n"
        "bare word, and a delta for the Set... methods from a JSON file with @FILE:\n"
        "  {\"fields\":[[\"CDFILIAL\",\"string\",4],...],\n"
        "   \"changes\":[{\"kind\":\"insert|modify|delete\",\"old\":[...],\"new\":[...]}]}\n"
        "A server with client keys needs --key-name with --key-file, or --key NAME:SECRET (or the\n"
        "environment variable KMP_CALL_KEY=NAME:SECRET, which keeps the secret out of the process list);\n"
        "a server with TLS needs --tls and --ca.\n"
        "Exit status: 0 success, 1 refused by the server (its message on stderr), 2 bad usage,\n"
        "3 the server could not be reached, refused the key or certificate, or did not answer.\n\n")
        .arg(kmp::protocol::moduleName()) + methodList());
    parser.addHelpOption();
    const QCommandLineOption server(QStringLiteral("server"), QStringLiteral("Server address (default 127.0.0.1:21280)."),
                                    QStringLiteral("HOST:PORT"), QStringLiteral("127.0.0.1:21280"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QStringLiteral("Seconds to wait for the answer (default 30)."),
                                     QStringLiteral("SECONDS"), QStringLiteral("30"));
    const QCommandLineOption module(QStringLiteral("module"), QStringLiteral("Remote module name."), QStringLiteral("NAME"),
                                    kmp::protocol::moduleName());
    const QCommandLineOption guid(QStringLiteral("guid"), QStringLiteral("Remote module identifier."), QStringLiteral("GUID"),
                                  kmp::protocol::moduleGuid());
    const QCommandLineOption keyName(QStringLiteral("key-name"), QStringLiteral("Client key name (with --key-file)."),
                                     QStringLiteral("NAME"));
    const QCommandLineOption keyFile(QStringLiteral("key-file"),
                                     QStringLiteral("File holding the client key's secret (one line)."), QStringLiteral("FILE"));
    const QCommandLineOption key(QStringLiteral("key"), QStringLiteral("Client key as NAME:SECRET (default: $KMP_CALL_KEY)."),
                                 QStringLiteral("NAME:SECRET"));
    const QCommandLineOption tls(QStringLiteral("tls"), QStringLiteral("Connect with TLS, verifying the server's certificate."));
    const QCommandLineOption ca(QStringLiteral("ca"),
                                QStringLiteral("CA certificate (PEM) the server's certificate must be signed by; the only "
                                               "root trusted. Without it, the system's roots."),
                                QStringLiteral("FILE"));
    parser.addOptions({server, timeout, module, guid, keyName, keyFile, key, tls, ca});
    parser.addPositionalArgument(QStringLiteral("METHOD"), QStringLiteral("Remote method, e.g. GetDiagPaci."));
    parser.addPositionalArgument(QStringLiteral("ARG"), QStringLiteral("Arguments in the method's order."), QStringLiteral("[ARG...]"));
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
        return 3;
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
