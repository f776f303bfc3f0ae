#pragma once

// Message-box types, buttons and answers as the screens know them. The answers keep the
// traditional numbers (mrYes is 6) because screens compare against them.

enum TMsgDlgType : int { mtWarning = 0, mtError = 1, mtInformation = 2, mtConfirmation = 3, mtCustom = 4 };

enum TMsgDlgBtn : int {
    mbYes = 0x001,
    mbNo = 0x002,
    mbOK = 0x004,
    mbCancel = 0x008,
    mbAbort = 0x010,
    mbRetry = 0x020,
    mbIgnore = 0x040,
    mbAll = 0x080,
    mbHelp = 0x100,
};
// A set of buttons: TMsgDlgBtn values or-ed together (mbYes | mbNo).
using TMsgDlgButtons = int;

inline constexpr int mbYesNo = mbYes | mbNo;
inline constexpr int mbYesNoCancel = mbYes | mbNo | mbCancel;
inline constexpr int mbOKCancel = mbOK | mbCancel;

inline constexpr int mrNone = 0;
inline constexpr int mrOk = 1;
inline constexpr int mrCancel = 2;
inline constexpr int mrAbort = 3;
inline constexpr int mrRetry = 4;
inline constexpr int mrIgnore = 5;
inline constexpr int mrYes = 6;
inline constexpr int mrNo = 7;
inline constexpr int mrAll = 8;
