#pragma once

#include <string>

class CDialog;

// Texts of the desktop programs that are no device's: any front end (Qt, Win32) shows them as
// they stand.

// A stopped transfer leaves the unit's loader holding half a block; it gives that up 30 s after
// the last byte and then waits for a new block table, so the red arrow takes the block again
// from this long after the stop on (the figure the failure message gives too).
inline constexpr int kRestartAfterStopSeconds = 40;

// Asked when a person closes the programming transfer (its close box, Escape, or the main
// window's close box during the transfer); No is the default.
std::string StopProgrammingQuestion();
// Whether closing `dlg` (its close box, Escape) asks that question first: the programming
// transfer does, since a stop leaves the unit in its loader; a Stop press never asks.
bool AsksBeforeStop(const CDialog& dlg);

// Shown by a second copy of `program` that finds the working folder held; `processId` is the
// holder's (empty when the lock file does not name it).
std::string SecondCopyMessage(const std::string& program, const std::string& processId);
