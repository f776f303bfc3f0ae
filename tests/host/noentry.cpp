// A library that is not a screen module: it has no IniProc.
#include <QtGlobal>

extern "C" Q_DECL_EXPORT int NotAnEntry()
{
    return 1;
}
