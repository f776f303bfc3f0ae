#include "appicons.h"
#include "dialogs.h"
#include "error.h"
#include "exceptions.h"
#include "hostlog.h"
#include "hostoptions.h"
#include "hostservicesimpl.h"
#include "hostwindow.h"
#include "translations.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <cstdio>
#include <memory>

namespace {

// The last safety net: handlers run through the guarded dispatch, so an exception here is
// a bug somewhere. It is logged and told, and the host keeps running.
class HostApplication : public QApplication
{
public:
    using QApplication::QApplication;

    bool notify(QObject *receiver, QEvent *event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const kmp::SilentAbort &) {
            return false;
        } catch (const kmp::ValidationError &) {
            return false;
        } catch (const std::exception &e) {
            report(QString::fromUtf8(e.what()));
        } catch (...) {
            report(QStringLiteral("exceção desconhecida"));
        }
        return false;
    }

private:
    void report(const QString &what)
    {
        qCCritical(kmp::hostLog, "exceção não tratada num tratador de evento: %s", qPrintable(what));
        // Shown after the event that failed has unwound, never from inside it.
        QTimer::singleShot(0, this, [what] { kmp::Dialogs::error(QApplication::activeWindow(), what); });
    }
};

// Platforms that draw nowhere a person can look: a box there would wait forever.
bool nobodyCanSee()
{
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

// A host started from the desktop's menu writes its standard error where no one reads it:
// when it cannot start, the reason is also shown in a box, where there is a display for
// one. Without a display (or one that cannot be reached) standard error is all there is.
int refuseToStart(int &argc, char **argv, const QString &reason)
{
    std::fprintf(stderr, "kmp-host: %s\nUse kmp-host --help.\n", qPrintable(reason));
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.isEmpty()) {
        if (!qEnvironmentVariableIsSet("DISPLAY") && !qEnvironmentVariableIsSet("WAYLAND_DISPLAY"))
            return 1;
        // A display named but out of reach ends in the offscreen platform, not an abort.
        qputenv("QT_QPA_PLATFORM", "xcb;wayland;offscreen");
    }
    QApplication app(argc, argv);
    if (nobodyCanSee())
        return 1;
    app.setWindowIcon(kmp::hostIcon());
    kmp::installQtTranslations(app);
    kmp::Dialogs::message(nullptr, kmp::MessageType::Error,
                          QStringLiteral("O programa não pôde iniciar:\n\n%1\n\nCorrija a configuração e abra o programa de "
                                         "novo (kmp-host --help lista as opções e as chaves do arquivo de configuração).")
                              .arg(reason),
                          kmp::MessageButton::Ok, kmp::HostWindow::windowTitleText());
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    // Arguments first, before any display is needed: --help and bad input must work on a
    // machine without one.
    QCoreApplication::setApplicationName(QStringLiteral("kmp-host"));
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    kmp::HostOptions options;
    QString error, help;
    if (!kmp::parseHostOptions(arguments, options, error, help)) {
        if (!help.isEmpty()) {
            std::fputs(qPrintable(help), stdout);
            std::fputs(
                "\nChaves do arquivo de configuração: [server] host, port; [host] branch, activeModule; [security] keyName,\n"
                "keyFile, tls, caFile; [modules] path (lista de pastas). O arquivo de configuração só é lido; a posição\n"
                "da janela, os tamanhos dos diálogos e os horários de atualização do cache vão para o arquivo de estado.\n",
                stdout);
            return 0;
        }
        return refuseToStart(argc, argv, error);
    }
    for (const QString &warning : options.warnings)
        std::fprintf(stderr, "kmp-host: aviso: %s\n", qPrintable(warning));

    HostApplication app(argc, argv);
    // Log lines look as they did when the host wrote them itself; QT_MESSAGE_PATTERN
    // still overrides this.
    qSetMessagePattern(QStringLiteral("kmp-host: %{message}"));
    app.setApplicationName(QStringLiteral("kmp-host"));
    // No application display name: the desktop appends it to every window's title, which
    // doubled the dialogs' titles ("Confirmação — KMP - Clínica") and cut the longer ones.
    app.setWindowIcon(kmp::hostIcon());
    kmp::installQtTranslations(app);
    std::unique_ptr<kmp::HostServicesImpl> servicesOwner;
    try {
        servicesOwner = std::make_unique<kmp::HostServicesImpl>(options);
    } catch (const kmp::Error &e) {
        std::fprintf(stderr, "kmp-host: %s\n", e.what());
        if (!nobodyCanSee())
            kmp::Dialogs::error(nullptr, QString::fromUtf8(e.what()));
        return 1;
    }
    kmp::HostServicesImpl &services = *servicesOwner;
    kmp::HostServices::setInstance(&services);
    int rc;
    {
        kmp::HostWindow window(options, &services);
        const bool headless = !options.screenshot.isEmpty();
        const bool unseen = nobodyCanSee();
        window.setQuiet(headless || unseen);
        window.show();
        if (!options.warnings.isEmpty() && !headless && !unseen)
            QTimer::singleShot(0, &window, [&window, &options] {
                kmp::Dialogs::message(&window, kmp::MessageType::Warning, options.warnings.join(QLatin1Char('\n')));
            });

        if (!options.module.isEmpty()) {
            const bool ok =
                window.openModule(options.module, options.entryBranch, options.patient, options.patientText, options.date);
            // The reason is on stderr already. Where no one can answer a box, the host ends
            // rather than sit there with nothing to show.
            if (!ok && (headless || unseen)) {
                kmp::HostServices::setInstance(nullptr);
                return 2;
            }
        }
        if (headless) {
            if (options.module.isEmpty()) {
                std::fprintf(stderr, "kmp-host: --screenshot exige --module\n");
                kmp::HostServices::setInstance(nullptr);
                return 1;
            }
            // Let the screen lay itself out and paint, and the window manager frame it, then
            // take the picture: the whole screen where there is one, so that what lies off
            // it shows, with where the frame and the status bar are on it.
            QTimer::singleShot(1000, &window, [&window, &options, unseen] {
                QPixmap shot = unseen || !window.screen() ? QPixmap() : window.screen()->grabWindow(0);
                if (shot.isNull())
                    shot = window.grab();
                if (!shot.save(options.screenshot)) {
                    std::fprintf(stderr, "kmp-host: não foi possível gravar a captura de tela %s\n",
                                 qPrintable(options.screenshot));
                    QApplication::exit(3);
                    return;
                }
                std::fprintf(stdout, "screenshot: %s (%dx%d, %lld screen(s) open)\n", qPrintable(options.screenshot),
                             shot.width(), shot.height(), qlonglong(window.mdiArea()->subWindowList().size()));
                const auto rect = [](const QRect &r) {
                    return QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
                };
                const QWidget *bar = window.statusBar();
                std::fprintf(stdout, "window frame: %s; status bar: %s; screen: %s\n", qPrintable(rect(window.frameGeometry())),
                             qPrintable(rect(QRect(bar->mapToGlobal(QPoint(0, 0)), bar->size()))),
                             qPrintable(rect(window.screen() ? window.screen()->availableGeometry() : QRect())));
                QApplication::exit(0);
            });
        }
        rc = app.exec();
    }
    kmp::HostServices::setInstance(nullptr);
    return rc;
}
