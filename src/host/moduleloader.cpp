#include "moduleloader.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFileInfo>

namespace kmp {

namespace {

QStringList candidateNames(const QString &base)
{
    const QString file = QFileInfo(base).fileName();
    const QString dir = QFileInfo(base).path();
    QStringList out;
    if (QLibrary::isLibrary(file))
        out << base;
    out << QDir(dir).filePath(QStringLiteral("lib") + file + QStringLiteral(".so"))
        << QDir(dir).filePath(file + QStringLiteral(".so"));
    return out;
}

} // namespace

ModuleLoader::ModuleLoader() = default;
ModuleLoader::~ModuleLoader()
{
    // Modules are not unloaded: a screen they built may outlive the loader's owner during
    // shutdown, and unloading code that still has windows is a crash.
    for (auto &lib : m_libraries)
        lib.release();
}

void ModuleLoader::addSearchPath(const QString &folder)
{
    if (!folder.isEmpty() && !m_paths.contains(folder))
        m_paths.append(folder);
}

QStringList ModuleLoader::searchPaths() const
{
    QStringList out = m_paths;
    const QString app = QCoreApplication::applicationDirPath();
    out << app << QDir(app).filePath(QStringLiteral("../lib"));
    return out;
}

QString ModuleLoader::locate(const QString &moduleName) const
{
    if (moduleName.isEmpty())
        return QString();
    // A name with a folder in it is taken as given.
    if (moduleName.contains(QLatin1Char('/'))) {
        for (const QString &c : candidateNames(moduleName))
            if (QFileInfo(c).isFile())
                return QFileInfo(c).absoluteFilePath();
        return QString();
    }
    for (const QString &folder : searchPaths())
        for (const QString &c : candidateNames(QDir(folder).filePath(moduleName)))
            if (QFileInfo(c).isFile())
                return QFileInfo(c).absoluteFilePath();
    return QString();
}

IniProcFn ModuleLoader::load(const QString &moduleName)
{
    const QString path = locate(moduleName);
    if (path.isEmpty())
        throw ModuleError(
            QStringLiteral("O módulo %1 não foi encontrado.").arg(moduleName),
            QStringLiteral("módulo %1 não encontrado em: %2").arg(moduleName, searchPaths().join(QStringLiteral(", "))));
    for (const auto &lib : m_libraries)
        if (lib->fileName() == path)
            if (auto fn = reinterpret_cast<IniProcFn>(lib->resolve("IniProc")))
                return fn;
    auto lib = std::make_unique<QLibrary>(path);
    if (!lib->load())
        throw ModuleError(QStringLiteral("O módulo %1 não pôde ser carregado.").arg(moduleName),
                          QStringLiteral("não foi possível carregar %1: %2").arg(path, lib->errorString()));
    auto fn = reinterpret_cast<IniProcFn>(lib->resolve("IniProc"));
    if (!fn) {
        const QString detail = QStringLiteral("%1 não tem a entrada IniProc: %2").arg(path, lib->errorString());
        lib->unload();
        throw ModuleError(QStringLiteral("O arquivo %1 não é um módulo de tela válido (falta a entrada IniProc).")
                              .arg(QFileInfo(path).fileName()),
                          detail);
    }
    m_libraries.push_back(std::move(lib));
    return fn;
}

QVariant ModuleLoader::entryArgs(const QString &branch, const QString &patient, const QString &patientText,
                                 const QDate &consultation)
{
    return QVariant(QVariantList{branch, patient, patientText, consultation});
}

void ModuleLoader::enter(const QString &moduleName, const QVariant &args)
{
    IniProcFn fn = load(moduleName);
    fn(args);
}

} // namespace kmp
