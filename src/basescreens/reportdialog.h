#pragma once

#include "hostservices.h"

#include <QObject>
#include <functional>

namespace kmp {

// The report dialog of a report screen: before a report runs it hands the report's
// parameter list to whoever fills it in.
class ReportDialog : public QObject
{
    Q_OBJECT
public:
    explicit ReportDialog(QObject *parent = nullptr) : QObject(parent) {}

    // The parameters the report defines (names, empty values) and a flag the handler may
    // clear to stop the run.
    std::function<void(ReportParams &params, bool &ok)> OnBeforeGetQueryParams;
};

} // namespace kmp
