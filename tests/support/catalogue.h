// The files in which the stand-ins record their starts and take their orders.
#pragma once

// "<program>" + one of these: a background program's command line, one line per start; the
// service's starts, one behaviour word each; the service's behaviour; a program's order to
// end at once after recording.
static const wchar_t kCommandLineRecord[] = L".cmdline";
static const wchar_t kStartsRecord[] = L".starts";
static const wchar_t kBehaviourFile[] = L".behaviour";
static const wchar_t kExitFile[] = L".exit";
// What a stand-in program recorded of its own token (tests/support/token_record.h).
static const wchar_t kTokenRecord[] = L".token";
// The service's order to run a program (its path), what that program wrote, and how it ended.
static const wchar_t kToolFile[] = L".tool";
static const wchar_t kToolOutput[] = L".tool-output";
static const wchar_t kToolExit[] = L".tool-exit";
