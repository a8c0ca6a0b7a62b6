// ScarvelCheck.exe: every stage of the repair run read, nothing changed, one line of findings.
#pragma once

// The longest line the check writes, its line end aside: what Intune's Remediations report.
static const int kCheckLineChars = 2048;

// Reads every stage as the repair run judges it and writes one ASCII line to standard output:
// "<product>: healthy", or the findings, each by the tool's code. Returns the exit status:
// 0 when healthy, 1 when a repair is needed or a stage cannot be read.
int RunCheck(void);
