#include "methods.h"

#include <cmath>

namespace kmp::protocol {

QString toQString(std::string_view text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

QString moduleName()
{
    return toQString(ModuleName);
}

QString moduleGuid()
{
    return toQString(ModuleGuid);
}

const std::vector<MethodInfo> &methods()
{
    static const std::vector<MethodInfo> all = []<typename... M>(std::tuple<M...> *) {
        return std::vector<MethodInfo>{describe<M>()...};
    }(static_cast<Methods *>(nullptr));
    return all;
}

const MethodInfo *findMethod(QStringView name)
{
    for (const MethodInfo &m : methods())
        if (m.name == name)
            return &m;
    return nullptr;
}

bool argMatches(ArgKind kind, const QCborValue &value)
{
    switch (kind) {
    case ArgKind::Text: return value.isString();
    case ArgKind::Date:
        if (value.isInteger())
            return true;
        return value.isDouble() && std::isfinite(value.toDouble());
    case ArgKind::Bytes: return value.isByteArray();
    }
    return false;
}

QString argKindText(ArgKind kind)
{
    switch (kind) {
    case ArgKind::Text: return QStringLiteral("texto");
    case ArgKind::Date: return QStringLiteral("data (número de dias)");
    case ArgKind::Bytes: return QStringLiteral("alterações (bytes)");
    }
    return {};
}

QString signature(const MethodInfo &method)
{
    QString out = method.name;
    for (int i = 0; i < int(method.args.size()); ++i) {
        const bool optional = i >= method.requiredArgs();
        out +=
            optional ? QStringLiteral(" [%1]").arg(method.args[size_t(i)].name) : QLatin1Char(' ') + method.args[size_t(i)].name;
    }
    return out;
}

} // namespace kmp::protocol
