// The test machine library as a command line, for the end-to-end bed: reads back inside a
// Wine prefix what the repair tool may have changed and sets up what a scenario needs
// (Wine 8's "sc qc" and "tasklist" print nothing). The bed's is a 64-bit program: it sees
// every process and both registry views; the 32-bit build has a 32-bit one beside it.
//
//   probe.exe OUTPUT.json COMMAND [ARGS...] [+ COMMAND [ARGS...]]...
//
// Readers: snapshot (machine::Snapshot, by part); service NAME; processes; values 32|64 KEY
// (null when the key is missing); folders (the package's paths too); shortcut-target LINK.
// Setup, each answering {"ok":true} or {"ok":false,"error":WHY}: healthy STANDINS
// [FIELD=VALUE...], the fields named as machine::Healthy's (package.missing=KEY,...,
// package.monitorNotAProgram=1, monitorValue=0, startType=N, programs=KEY,..., view=32, ...;
// KEY: monitor, service, panel, guide); behaviour WORD; run-value VIEW NAME TEXT;
// create-run-key VIEW; stop-service NAME; kill NAME; shortcut TARGET LINK; hold FILE (keeps
// it open, shared with no one, until the probe is ended, as a spreadsheet holds a report).
//
// The output is one JSON array, one element per command, written as UTF-8.
#include <stdlib.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/machine.h"

namespace {

using Args = std::vector<std::wstring>;

std::string Json(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char escaped[8];
            wsprintfA(escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

std::string Json(const std::wstring& text) { return Json(machine::Narrow(text)); }

std::string Number(unsigned long long value) { return std::to_string(value); }

std::string Hex(const std::vector<BYTE>& data)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (BYTE b : data) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

std::string Done(const machine::Failure& failure)
{
    return failure.empty() ? "{\"ok\":true}" : "{\"ok\":false,\"error\":" + Json(failure) + "}";
}

machine::View ViewOf(const std::wstring& word)
{
    return word == L"32" ? machine::kView32 : machine::kView64;
}

std::string Service(const std::wstring& name)
{
    const machine::ServiceConfig service = machine::ReadService(name.c_str());
    std::string out = std::string("{\"exists\":") + (service.exists ? "true" : "false");
    if (service.exists) {
        out += ",\"type\":" + Number(service.serviceType)
            + ",\"start\":" + Number(service.startType)
            + ",\"error_control\":" + Number(service.errorControl)
            + ",\"binary\":" + Json(service.binaryPath) + ",\"account\":" + Json(service.account)
            + ",\"display\":" + Json(service.displayName) + ",\"state\":" + Number(service.state)
            + ",\"pid\":" + Number(service.processId);
    }
    if (!service.error.empty()) {
        out += ",\"error\":" + Json(service.error);
    }
    return out + "}";
}

std::string Processes()
{
    std::string out;
    for (const std::wstring& name : machine::ProcessNames()) {
        out += (out.empty() ? "" : ",") + Json(name);
    }
    return "[" + out + "]";
}

std::string Values(const std::wstring& view, const std::wstring& key)
{
    bool exists = false;
    LONG error = ERROR_SUCCESS;
    const std::vector<machine::RegistryValue> values =
        machine::ReadValues(key.c_str(), ViewOf(view), &exists, &error);
    if (!exists) {
        return error == ERROR_FILE_NOT_FOUND
            ? "null" : "{\"error\":" + Json("RegOpenKeyEx " + Number(error)) + "}";
    }
    std::string out;
    for (const machine::RegistryValue& value : values) {
        out += (out.empty() ? "{" : ",{") + std::string("\"name\":") + Json(value.name)
            + ",\"type\":" + Number(value.type) + ",\"size\":" + Number(value.bytes.size())
            + ",\"hex\":" + Json(Hex(value.bytes));
        if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
            out += ",\"text\":" + Json(value.Text());
        }
        out += "}";
    }
    return "[" + out + "]";
}

std::string Folders()
{
    return "{\"windows\":" + Json(machine::WindowsDirectory())
        + ",\"system\":" + Json(machine::SystemDirectory())
        + ",\"common_startup\":" + Json(machine::CommonStartupFolder())
        + ",\"twain\":" + Json(machine::TwainDirectory())
        + ",\"monitor\":" + Json(machine::MonitorPath()) + ",\"panel\":" + Json(machine::PanelPath())
        + ",\"guide\":" + Json(machine::GuidePath())
        + ",\"scratch\":" + Json(machine::ScratchFolder())
        + ",\"monitor_command_line\":" + Json(machine::MonitorCommandLine()) + "}";
}

// machine::Snapshot as its printer gives it, one member a part: {"service": "...", ...}.
std::string Snapshot()
{
    std::istringstream lines(machine::Describe(machine::TakeSnapshot()));
    std::string out;
    for (std::string line; std::getline(lines, line);) {
        const size_t start = line.find_first_not_of(' ');
        const size_t colon = line.find(':');
        if (start != std::string::npos && colon != std::string::npos) {
            out += (out.empty() ? "{" : ",") + Json(line.substr(start, colon - start)) + ":"
                + Json(line.substr(colon + 1 + (line[colon + 1] == ' ')));
        }
    }
    return out + "}";
}

// Index of a program key: 0 to 2 those of kBackgroundPrograms, 3 the service, -1 none.
int ProgramKey(const std::wstring& key)
{
    static const wchar_t* const kKeys[] = {L"monitor", L"panel", L"guide", L"service"};
    for (int i = 0; i < 4; ++i) {
        if (key == kKeys[i]) {
            return i;
        }
    }
    return -1;
}

// The program keys of a comma-separated list; false when one is not a key.
bool ProgramKeys(const std::wstring& list, std::vector<int>* keys)
{
    for (size_t start = 0; start < list.size();) {
        size_t end = list.find(L',', start);
        end = end == std::wstring::npos ? list.size() : end;
        int key = ProgramKey(list.substr(start, end - start));
        if (key < 0) {
            return false;
        }
        keys->push_back(key);
        start = end + 1;
    }
    return true;
}

std::wstring ProgramPathOf(int key)
{
    const std::wstring windows = machine::WindowsDirectory();
    return key == 3 ? machine::ServicePath(windows)
                    : machine::kBackgroundPrograms[key].path(windows);
}

// Applies one "field=value" of machine::Healthy, named as there ("package.missing" for a
// field of its package); false when it names no field. Flags are 0 or 1; programs and
// package.missing are lists of program keys.
bool ApplyField(const std::wstring& option, machine::Healthy* healthy)
{
    const size_t equals = option.find(L'=');
    const std::wstring name = option.substr(0, equals);
    const std::wstring value = equals == std::wstring::npos ? L"" : option.substr(equals + 1);
    std::vector<int> keys;
    const struct {
        const wchar_t* field;
        bool* flag;
    } kFlags[] = {
        {L"package.monitorNotAProgram", &healthy->package.monitorNotAProgram},
        {L"package.serviceNotAService", &healthy->package.serviceNotAService},
        {L"monitorValue", &healthy->monitorValue},
        {L"panelValue", &healthy->panelValue},
        {L"service", &healthy->service},
        {L"serviceRunning", &healthy->serviceRunning},
        {L"shortcut", &healthy->shortcut},
        {L"shell", &healthy->shell},
    };
    for (const auto& flag : kFlags) {
        if (name == flag.field) {
            *flag.flag = value == L"1";
            return value == L"0" || value == L"1";
        }
    }
    if (name == L"behaviour") {
        healthy->behaviour = machine::Narrow(value);
    } else if (name == L"startType") {
        healthy->startType = (DWORD)_wtoi(value.c_str());
    } else if (name == L"view") {
        healthy->view = ViewOf(value);
    } else if (name == L"programs" && ProgramKeys(value, &keys)) {
        for (int i = 0; i < 3; ++i) {
            healthy->programs[i] = std::find(keys.begin(), keys.end(), i) != keys.end();
        }
    } else if (name == L"package.missing" && ProgramKeys(value, &keys)) {
        for (int key : keys) {
            healthy->package.missing.push_back(ProgramPathOf(key));
        }
    } else {
        return false;
    }
    return true;
}

// healthy: STANDINS FIELD=VALUE...
std::string Hold(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return Done("CreateFile failed with " + std::to_string(GetLastError()));
    }
    Sleep(INFINITE);
    CloseHandle(file);
    return Done("");
}

std::string Healthy(const Args& args)
{
    machine::Healthy healthy;
    healthy.standins = args[1];
    for (size_t i = 2; i < args.size(); ++i) {
        if (!ApplyField(args[i], &healthy)) {
            return Done("unknown field " + machine::Narrow(args[i]));
        }
    }
    return Done(machine::MakeHealthy(healthy));
}


const struct Command {
    const wchar_t* name;
    size_t arguments;  // at least, for those that take options
    bool options;
    std::string (*run)(const Args& args);
} kCommands[] = {
    {L"service", 1, false, [](const Args& a) { return Service(a[1]); }},
    {L"processes", 0, false, [](const Args&) { return Processes(); }},
    {L"snapshot", 0, false, [](const Args&) { return Snapshot(); }},
    {L"values", 2, false, [](const Args& a) { return Values(a[1], a[2]); }},
    {L"folders", 0, false, [](const Args&) { return Folders(); }},
    {L"shortcut-target", 1, false,
     [](const Args& a) { return Json(machine::ReadShortcut(a[1]).target); }},
    {L"healthy", 1, true, [](const Args& a) { return Healthy(a); }},
    {L"behaviour", 1, false,
     [](const Args& a) { return Done(machine::SetServiceBehaviour(machine::Narrow(a[1]))); }},
    {L"run-value", 3, false,
     [](const Args& a) { return Done(machine::WriteRunValue(a[2].c_str(), a[3], ViewOf(a[1]))); }},
    {L"create-run-key", 1, false,
     [](const Args& a) { return Done(machine::CreateRunKey(ViewOf(a[1]))); }},
    {L"stop-service", 1, false,
     [](const Args& a) { return Done(machine::StopService(a[1].c_str())); }},
    {L"kill", 1, false, [](const Args& a) { return Done(machine::KillProcesses(a[1].c_str())); }},
    {L"hold", 1, false, [](const Args& a) { return Hold(a[1]); }},
    {L"launch", 1, false, [](const Args& a) { return Done(machine::Launch(a[1])); }},
    {L"shortcut", 2, false, [](const Args& a) { return Done(machine::WriteShortcut(a[1], a[2])); }},
};

std::string Run(const Args& args)
{
    for (const Command& command : kCommands) {
        const size_t given = args.size() - 1;
        if (!args.empty() && args[0] == command.name
            && (given == command.arguments || (command.options && given > command.arguments))) {
            return command.run(args);
        }
    }
    const std::wstring name = args.empty() ? L"" : args[0];
    return "{\"error\":" + Json("bad command " + machine::Narrow(name)) + "}";
}

}  // namespace

extern "C" int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        return 2;
    }
    std::string out = "[";
    Args command;
    for (int i = 2; i <= argc; ++i) {
        if (i == argc || lstrcmpW(argv[i], L"+") == 0) {
            out += (out.size() > 1 ? ",\n" : "") + Run(command);
            command.clear();
        } else {
            command.push_back(argv[i]);
        }
    }
    out += "]\n";
    HANDLE file = CreateFileW(argv[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 3;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, out.data(), (DWORD)out.size(), &written, NULL);
    CloseHandle(file);
    return ok && written == out.size() ? 0 : 4;
}
