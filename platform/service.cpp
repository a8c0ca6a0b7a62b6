#include "repair/operations.h"

// The record's size is what Windows expects in QueryServiceStatusEx's buffer size.
static_assert(sizeof(SERVICE_STATUS_PROCESS) == 36, "SERVICE_STATUS_PROCESS is not 36 bytes");

// Bounds of the pause between two status polls of a starting service, in milliseconds.
static const DWORD kMinPollPause = 1000;
static const DWORD kMaxPollPause = 10000;

static int SetStartTypeAutomatic(SC_HANDLE service, const QUERY_SERVICE_CONFIGW* config)
{
    if (config->dwStartType == SERVICE_AUTO_START) {
        return 1;
    }
    // Only the start type changes; the delayed-start setting is a separate record.
    return ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE,
                                NULL, NULL, NULL, NULL, NULL, NULL, NULL) != 0;
}

int EnsureAutoStart(SC_HANDLE service)
{
    DWORD needed = 0;
    QueryServiceConfigW(service, NULL, 0, &needed);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return 0;
    }
    QUERY_SERVICE_CONFIGW* config = (QUERY_SERVICE_CONFIGW*)LocalAlloc(LMEM_FIXED, needed);
    if (config == NULL) {
        return 0;
    }
    int result = QueryServiceConfigW(service, config, needed, &needed)
        && SetStartTypeAutomatic(service, config);
    LocalFree(config);
    return result;
}

static int QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status)
{
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (LPBYTE)status,
                                sizeof *status, &needed) != 0;
}

static DWORD ComputePollPause(DWORD waitHint)
{
    DWORD pause = waitHint / 10;
    if (pause < kMinPollPause) {
        return kMinPollPause;
    }
    return pause > kMaxPollPause ? kMaxPollPause : pause;
}

int StartServiceAndWait(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status;
    if (!StartServiceW(service, 0, NULL) || !QueryStatus(service, &status)) {
        return 0;
    }
    DWORD lastCheckPoint = status.dwCheckPoint;
    DWORD progressTick = GetTickCount();
    while (status.dwCurrentState == SERVICE_START_PENDING) {
        Sleep(ComputePollPause(status.dwWaitHint));
        // A failed poll leaves the record as it was; the time-out below still ends the wait.
        QueryStatus(service, &status);
        if (status.dwCheckPoint > lastCheckPoint) {
            lastCheckPoint = status.dwCheckPoint;
            progressTick = GetTickCount();
        } else if (GetTickCount() - progressTick > status.dwWaitHint) {
            break;
        }
    }
    return status.dwCurrentState == SERVICE_RUNNING;
}
