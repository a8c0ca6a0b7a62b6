// The first act of each of the package's programs, which are often started from a download
// folder: nothing loaded or started by a bare name may come from there.
#pragma once

// System32 becomes the current directory, and the DLL search is confined to System32 where
// Windows can; elsewhere the DLLs loaded late by bare name are loaded from System32 first.
void RestrictSearchToSystem32(void);
