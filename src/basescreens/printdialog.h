#pragma once

#include <QObject>
#include <memory>

class QPrinter;
class QWidget;

namespace kmp {

// The print dialog of a screen: its printer is built when first used and the dialog opens
// through the dialog service.
class PrintDialog : public QObject
{
    Q_OBJECT
public:
    explicit PrintDialog(QObject *parent = nullptr);
    ~PrintDialog() override;
    bool Execute(QWidget *parent = nullptr);
    QPrinter *printer();

private:
    std::unique_ptr<QPrinter> m_printer;
};

} // namespace kmp
