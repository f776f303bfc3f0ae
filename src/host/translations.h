#pragma once

class QCoreApplication;

namespace kmp {

// Loads Qt's own Brazilian Portuguese texts (dialog buttons, editor context menus, the
// print dialogs) into the application, so that no English reaches the clinic's staff,
// and makes pt_BR the default locale. Returns false when the catalogue is not installed
// (the host then runs with Qt's English texts and says so in its log).
bool installQtTranslations(QCoreApplication &app);

} // namespace kmp
