#include "exceptions.h"

#include "dialogs.h"
#include "toolkitlog.h"

#include <exception>

namespace kmp {

bool guarded(QWidget *context, const std::function<void()> &handler)
{
    QWidget *parent = context ? context->window() : nullptr;
    try {
        handler();
        return true;
    } catch (const EAbort &) {
        // The user declined or a step refused without a message: nothing to show.
    } catch (const EValidation &) {
        // MensErro has shown its box already.
    } catch (const kmp::Error &e) {
        Dialogs::error(parent, e.userMessage());
    } catch (const std::exception &e) {
        Dialogs::error(parent, QString::fromUtf8(e.what()));
    } catch (...) {
        qCWarning(toolkitLog, "kmp::guarded: um tratador lançou algo que não é uma exceção");
        Dialogs::error(parent, QStringLiteral("Erro inesperado."));
    }
    return false;
}

void silentAbort()
{
    throw EAbort();
}

} // namespace kmp
