// The tool's messages under the one label each the tests give them, and the files in which
// the stand-ins record their starts. bed.py reads this file too, as it reads layout.h.
#pragma once
#include "console/messages.h"

struct CatalogueEntry {
    const char* label;
    const wchar_t* format;
};

static const CatalogueEntry kCatalogue[] = {
    {"checking", kMsgChecking},
    {"E01", kMsgE01},
    {"E02", kMsgE02},
    {"startup-item", kMsgStartupItem},
    {"E03", kMsgE03},
    {"E04", kMsgE04},
    {"E05", kMsgE05},
    {"service-missing", kMsgServiceMissing},
    {"service-disabled", kMsgServiceDisabled},
    {"E06", kMsgE06},
    {"E07", kMsgE07},
    {"restart", kMsgRestart},
    {"E08", kMsgE08},
    {"complete", kMsgComplete},
};

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
