#pragma once

#include <QFlags>

namespace kmp {

// What a message box says it is: sets its icon and default title.
enum class MessageType { Warning, Error, Information, Confirmation, Custom };

// The buttons a message box offers.
enum class MessageButton {
    Yes = 0x001,
    No = 0x002,
    Ok = 0x004,
    Cancel = 0x008,
    Abort = 0x010,
    Retry = 0x020,
    Ignore = 0x040,
    All = 0x080,
    Help = 0x100,
};
Q_DECLARE_FLAGS(MessageButtons, MessageButton)
Q_DECLARE_OPERATORS_FOR_FLAGS(MessageButtons)

// The answer a message box gives. The values keep the traditional numbers (Yes is 6):
// a responder answers with them as plain ints, beside QDialog's Accepted and Rejected.
enum class MessageResult : int { None = 0, Ok = 1, Cancel = 2, Abort = 3, Retry = 4, Ignore = 5, Yes = 6, No = 7, All = 8 };

} // namespace kmp
