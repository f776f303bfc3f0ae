#pragma once

#include <QString>

class QWidget;

namespace kmp {

// The busy indicator shown over the host's main window while a blocking call runs. It is
// painted before the call begins, so the user sees why the screen does not answer.
// Calls nest: each ActiveShowAvi needs one DeactiveShowAvi, and only the outermost one
// hides the indicator. Always switch it off, also on an exception (kmp::BusyIndicator
// does it for a scope).
//
// While it is shown, user input (keys, mouse buttons, wheel, shortcuts, context menus) is
// discarded: a click made during a call must not run once the call is over, on a screen
// that has changed under it. Input that arrived while the call blocked the event loop is
// drained and dropped before the indicator goes away. A dialog opened during the call
// (an error box, a confirmation) still takes its input. Calls from any thread but the
// user-interface thread do nothing.
namespace Showavi {

// animation: 0 connecting, 6 loading, 1 saving; others show a general text.
void ActiveShowAvi(QWidget *mainForm, int animation);
void DeactiveShowAvi();

int depth();           // how many ActiveShowAvi are still open
QString currentText(); // the text shown now, empty when hidden
QString textFor(int animation);
QWidget *overlay();    // the indicator's widget, null when never shown
int discardedInputs(); // input events dropped since the program started

// Input is let through while a pause opened after the call began is open: the toolkit's
// dialog service opens one around every box and dialog, whose input is the user's answer,
// not a stray click. A dialog that was already open when the call began stays shut.
void pauseInputDiscard();
void resumeInputDiscard();

} // namespace Showavi

// Switches the busy indicator on for a scope.
class BusyIndicator
{
public:
    BusyIndicator(QWidget *mainForm, int animation) { Showavi::ActiveShowAvi(mainForm, animation); }
    ~BusyIndicator() { Showavi::DeactiveShowAvi(); }
    BusyIndicator(const BusyIndicator &) = delete;
    BusyIndicator &operator=(const BusyIndicator &) = delete;
};

// Lets input through for a scope (a dialog shown while a call is in progress).
class InputDiscardPause
{
public:
    InputDiscardPause() { Showavi::pauseInputDiscard(); }
    ~InputDiscardPause() { Showavi::resumeInputDiscard(); }
    InputDiscardPause(const InputDiscardPause &) = delete;
    InputDiscardPause &operator=(const InputDiscardPause &) = delete;
};

} // namespace kmp
