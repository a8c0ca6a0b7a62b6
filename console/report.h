// The console side of a run: the character-type locale under which the messages
// (console/messages.h) are converted to the console's encoding, their printing and the pause.
#pragma once

// Saves the current character-type locale and switches it to Chinese (Simplified, PRC),
// code page 936. Returns the saved name, a heap copy that EndReport releases, or NULL.
wchar_t* BeginReport(void);

// Writes one message of the catalogue to standard output.
void PrintMessage(const wchar_t* format, ...);

// Restores the saved locale, releases its copy, writes the text out and, where someone can
// press a key, waits for one through System32's cmd.exe "pause".
void EndReport(wchar_t* savedLocale);
