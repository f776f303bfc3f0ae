#pragma once

// Encoding and decoding the arguments of the remote module's methods, and a description of
// them read at run time (argument checks, help texts), all derived from contract.h.

#include "contract.h"

#include <QCborValue>
#include <QStringList>
#include <QStringView>

#include <cstddef>
#include <utility>

namespace kmp::protocol {

struct ArgInfo
{
    QString name;
    ArgKind kind = ArgKind::Text;
};

struct MethodInfo
{
    QString name;
    std::vector<ArgInfo> args; // in wire order
    int optionalArgs = 0;      // how many of the last arguments a caller may leave out

    int requiredArgs() const { return int(args.size()) - optionalArgs; }
};

QString toQString(std::string_view text);

QString moduleName();
QString moduleGuid();

// Every method of the module, in the order of Methods.
const std::vector<MethodInfo> &methods();
// nullptr for a name the module does not have (names are case-sensitive).
const MethodInfo *findMethod(QStringView name);

// Whether a value sent for an argument is of the argument's kind. A date is a finite
// number; an integer counts as one.
bool argMatches(ArgKind kind, const QCborValue &value);
// The kind as the server's refusals name it to the station ("texto", ...).
QString argKindText(ArgKind kind);
// "GetHistGer paciente filial dtConsulta", optional arguments in brackets.
QString signature(const MethodInfo &method);

namespace detail {

template <typename Prefix, typename Full>
struct IsPrefix : std::false_type
{
};
template <typename... Full>
struct IsPrefix<std::tuple<>, std::tuple<Full...>> : std::true_type
{
};
template <typename P, typename... Ps, typename F, typename... Fs>
struct IsPrefix<std::tuple<P, Ps...>, std::tuple<F, Fs...>>
    : std::bool_constant<std::is_same_v<P, F> && IsPrefix<std::tuple<Ps...>, std::tuple<Fs...>>::value>
{
};

inline QCborValue toCbor(const QString &v)
{
    return QCborValue(v);
}
inline QCborValue toCbor(double v)
{
    return QCborValue(v);
}
inline QCborValue toCbor(const QByteArray &v)
{
    return QCborValue(v);
}

inline void fromCbor(const QCborValue &v, QString &out)
{
    out = v.toString();
}
inline void fromCbor(const QCborValue &v, double &out)
{
    out = v.isInteger() ? double(v.toInteger()) : v.toDouble();
}
inline void fromCbor(const QCborValue &v, QByteArray &out)
{
    out = v.toByteArray();
}

template <typename A>
A decodeArg(const QCborArray &args, qsizetype i)
{
    A a{};
    if (i < args.size())
        fromCbor(args.at(i), a.value);
    return a;
}

template <typename Tuple, std::size_t... I>
std::vector<ArgInfo> argInfos(std::index_sequence<I...>)
{
    return {ArgInfo{toQString(std::tuple_element_t<I, Tuple>::name), std::tuple_element_t<I, Tuple>::kind}...};
}

} // namespace detail

template <typename M>
QString methodName()
{
    return toQString(M::name);
}

template <typename M>
MethodInfo describe()
{
    using Args = typename M::Args;
    return {methodName<M>(), detail::argInfos<Args>(std::make_index_sequence<std::tuple_size_v<Args>>{}), M::optionalArgs};
}

// The arguments of a call to M, in wire order. They must be given as the method's own
// argument types in its order (a branch where the patient goes does not compile); only
// optional arguments may be left out.
template <typename M, typename... A>
QCborArray encodeArgs(const A &...args)
{
    using Args = typename M::Args;
    static_assert(detail::IsPrefix<std::tuple<A...>, Args>::value,
                  "the arguments must be the method's own, in the method's order");
    static_assert(sizeof...(A) + std::size_t(M::optionalArgs) >= std::tuple_size_v<Args>,
                  "an argument the method needs is missing");
    return QCborArray{detail::toCbor(args.value)...};
}

// The arguments of a request for M, already checked against describe<M>(); an optional
// argument left out comes back empty.
template <typename M>
typename M::Args decodeArgs(const QCborArray &args)
{
    using Args = typename M::Args;
    return [&]<std::size_t... I>(std::index_sequence<I...>)
    {
        return Args{detail::decodeArg<std::tuple_element_t<I, Args>>(args, qsizetype(I))...};
    }
    (std::make_index_sequence<std::tuple_size_v<Args>>{});
}

// The value of one argument of a decoded call, picked by its type, so that the order of a
// method's arguments is written down only in contract.h.
template <typename A, typename... All>
const auto &arg(const std::tuple<All...> &args)
{
    return std::get<A>(args).value;
}

} // namespace kmp::protocol
