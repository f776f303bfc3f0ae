#pragma once

#include <QObject>
#include <memory>

class QPrinter;
class QWidget;

namespace kmp {

// The printer set-up dialog of a screen: its printer is built when first used and the
// dialog opens through the dialog service.
class PrinterSetupDialog : public QObject
{
    Q_OBJECT
public:
    explicit PrinterSetupDialog(QObject *parent = nullptr);
    ~PrinterSetupDialog() override;
    bool Execute(QWidget *parent = nullptr);
    QPrinter *printer();

private:
    std::unique_ptr<QPrinter> m_printer;
};

} // namespace kmp
