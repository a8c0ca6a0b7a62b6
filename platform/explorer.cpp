#include "platform/explorer.h"

#include <exdisp.h>
#include <objbase.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <string.h>
#include <wchar.h>

#include "package/layout.h"
#include "platform/session.h"
#include "platform/system_calls.h"

// Defined here, so that the image holds these and not a library's whole table of GUIDs.
static const CLSID kClsidShellWindows =
    {0x9BA05972, 0xF6A8, 0x11CF, {0xA4, 0x42, 0x00, 0xA0, 0xC9, 0x0A, 0x8F, 0x39}};
static const IID kIidShellWindows =
    {0x85CB6900, 0x4D95, 0x11CF, {0x96, 0x0C, 0x00, 0x80, 0xC7, 0xF4, 0xEE, 0x85}};
static const IID kIidServiceProvider =
    {0x6D5140C1, 0x7436, 0x11CE, {0x80, 0x34, 0x00, 0xAA, 0x00, 0x60, 0x09, 0xFA}};
static const GUID kSidTopLevelBrowser =
    {0x4C96BE40, 0x915C, 0x11CF, {0x99, 0xD3, 0x00, 0xAA, 0x00, 0x4A, 0xE8, 0x37}};
static const IID kIidShellBrowser =
    {0x000214E2, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
static const IID kIidDispatch =
    {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
static const IID kIidShellFolderViewDual =
    {0xE7A1AF80, 0x4D96, 0x11CF, {0x96, 0x0C, 0x00, 0x80, 0xC7, 0xF4, 0xEE, 0x85}};
static const IID kIidShellDispatch2 =
    {0xA4C6892C, 0x3BA9, 0x11D2, {0x9D, 0xEA, 0x00, 0xC0, 0x4F, 0xB1, 0x61, 0x62}};

static const wchar_t kOpenVerb[] = L"open";

// What the worker is asked to start; it makes its own copy, then sets `copied`.
struct ExplorerRequest {
    wchar_t file[PATH_UNITS];
    wchar_t arguments[PATH_UNITS];
    wchar_t folder[PATH_UNITS];  // the program's own, its current directory
    HANDLE copied;
};

static void Release(IUnknown* object)
{
    if (object != NULL) {
        object->Release();
    }
}

// The program path and the arguments of a command line as the run composes them: the path,
// quoted when it holds a space, then one space and the arguments.
static int SplitCommandLine(const wchar_t* commandLine, ExplorerRequest* request)
{
    const int quoted = commandLine[0] == L'"';
    const wchar_t* file = commandLine + quoted;
    const wchar_t* end = wcschr(file, quoted ? L'"' : L' ');
    size_t length = end != NULL ? static_cast<size_t>(end - file) : wcslen(file);
    if (length == 0 || length >= PATH_UNITS || (quoted && end == NULL)) {
        return 0;
    }
    memcpy(request->file, file, length * sizeof(wchar_t));
    memcpy(request->folder, file, length * sizeof(wchar_t));
    wchar_t* name = wcsrchr(request->folder, L'\\');
    if (name == NULL) {
        return 0;
    }
    *name = L'\0';
    const wchar_t* arguments = end == NULL ? L"" : end + 1;
    if (quoted && *arguments == L' ') {
        ++arguments;
    }
    return wcslen(arguments) < PATH_UNITS && wcscpy(request->arguments, arguments) != NULL;
}

// Explorer's own ShellExecute, given the strings as BSTRs from oleaut32's System32 copy.
static int ShellExecuteIn(IShellDispatch2* shell, const ExplorerRequest* request)
{
    HMODULE oleaut = LoadSystemLibrary(L"oleaut32.dll");
    SysAllocStringCall allocate = LOOK_UP_IN(oleaut, SysAllocString);
    SysFreeStringCall release = LOOK_UP_IN(oleaut, SysFreeString);
    int executed = 0;
    if (allocate != NULL && release != NULL) {
        BSTR file = allocate(request->file);
        VARIANT arguments = {}, folder = {}, verb = {}, show = {};
        arguments.vt = folder.vt = verb.vt = VT_BSTR;
        arguments.bstrVal = allocate(request->arguments);
        folder.bstrVal = allocate(request->folder);
        verb.bstrVal = allocate(kOpenVerb);
        show.vt = VT_I4;
        show.lVal = SW_SHOWNORMAL;
        executed = file != NULL && arguments.bstrVal != NULL && folder.bstrVal != NULL
            && verb.bstrVal != NULL
            && SUCCEEDED(shell->ShellExecute(file, arguments, folder, verb, show));
        release(verb.bstrVal);
        release(folder.bstrVal);
        release(arguments.bstrVal);
        release(file);
    }
    if (oleaut != NULL) {
        FreeLibrary(oleaut);
    }
    return executed;
}

// The desktop view's background object, its Application (the shell's dispatch object).
static int ExecuteThroughFolderView(IDispatch* background, const ExplorerRequest* request)
{
    IShellFolderViewDual* view = NULL;
    IDispatch* application = NULL;
    IShellDispatch2* shell = NULL;
    int executed =
        SUCCEEDED(background->QueryInterface(kIidShellFolderViewDual, (void**)&view))
        && SUCCEEDED(view->get_Application(&application)) && application != NULL
        && SUCCEEDED(application->QueryInterface(kIidShellDispatch2, (void**)&shell))
        && ShellExecuteIn(shell, request);
    Release(shell);
    Release(application);
    Release(view);
    return executed;
}

// From the desktop window's object to its browser, its active view and the view's background.
static int ExecuteThroughBrowser(IDispatch* desktop, const ExplorerRequest* request)
{
    IServiceProvider* provider = NULL;
    IShellBrowser* browser = NULL;
    IShellView* view = NULL;
    IDispatch* background = NULL;
    int executed =
        SUCCEEDED(desktop->QueryInterface(kIidServiceProvider, (void**)&provider))
        && SUCCEEDED(provider->QueryService(kSidTopLevelBrowser, kIidShellBrowser, (void**)&browser))
        && SUCCEEDED(browser->QueryActiveShellView(&view))
        && SUCCEEDED(view->GetItemObject(SVGIO_BACKGROUND, kIidDispatch, (void**)&background))
        && ExecuteThroughFolderView(background, request);
    Release(background);
    Release(view);
    Release(browser);
    Release(provider);
    return executed;
}

// This session's desktop window, whichever account's Explorer shows it: with an
// administrator's password typed for a standard user, that user's.
static int ExecuteOnSessionDesktop(IShellWindows* windows, const ExplorerRequest* request)
{
    VARIANT desktopFolder = {}, noRoot = {};
    desktopFolder.vt = VT_I4;
    desktopFolder.lVal = CSIDL_DESKTOP;
    long window = 0;
    IDispatch* desktop = NULL;
    int executed = windows->FindWindowSW(&desktopFolder, &noRoot, SWC_DESKTOP, &window,
                                         SWFO_NEEDDISPATCH, &desktop) == S_OK
        && desktop != NULL
        && IsWindowInOwnSession(reinterpret_cast<HWND>(static_cast<LONG_PTR>(window)))
        && ExecuteThroughBrowser(desktop, request);
    Release(desktop);
    return executed;
}

// Explorer runs with the user's rights, which any of the user's programs share: it may only
// identify the tool, never act as it, and nothing it hands back may bring a marshaller of
// its own (a DLL of its choosing) into the tool. COM takes these once per process, and the
// run makes no object before they are set, so RPC_E_TOO_LATE means that the tool's own
// call set them earlier in the run.
int SecureComForProcess(void)
{
    HRESULT secured = CoInitializeSecurity(NULL, -1, NULL, NULL, RPC_C_AUTHN_LEVEL_DEFAULT,
                                           RPC_C_IMP_LEVEL_IDENTIFY, NULL,
                                           EOAC_NO_CUSTOM_MARSHAL, NULL);
    return SUCCEEDED(secured) || secured == RPC_E_TOO_LATE;
}

// The worker: an apartment of its own, the shell's windows, this session's desktop.
static DWORD WINAPI StartInWorker(void* parameter)
{
    const ExplorerRequest request = *static_cast<const ExplorerRequest*>(parameter);
    SetEvent(request.copied);
    HRESULT initialised = CoInitialize(NULL);
    IShellWindows* windows = NULL;
    int started = SUCCEEDED(initialised) && SecureComForProcess()
        && SUCCEEDED(CoCreateInstance(kClsidShellWindows, NULL, CLSCTX_LOCAL_SERVER,
                                      kIidShellWindows, (void**)&windows))
        && ExecuteOnSessionDesktop(windows, &request);
    Release(windows);
    if (SUCCEEDED(initialised)) {
        CoUninitialize();
    }
    return started ? 1 : 0;
}

int StartThroughExplorer(const wchar_t* commandLine, int* workerLeft)
{
    ExplorerRequest request = {};
    if (!SplitCommandLine(commandLine, &request)) {
        return 0;
    }
    request.copied = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (request.copied == NULL) {
        return 0;
    }
    DWORD started = 0;
    HANDLE worker = CreateThread(NULL, 0, StartInWorker, &request, 0, NULL);
    if (worker != NULL) {
        const DWORD waited = WaitForSingleObject(worker, kExplorerDeadlineMilliseconds);
        if (waited != WAIT_OBJECT_0 || !GetExitCodeThread(worker, &started)) {
            started = 0;
        }
        // A worker held by a hung Explorer is left to end with the process; the request
        // it copied at its start is all it reads of the run.
        *workerLeft = *workerLeft || waited != WAIT_OBJECT_0;
        WaitForSingleObject(request.copied, INFINITE);
        CloseHandle(worker);
    }
    CloseHandle(request.copied);
    return started == 1;
}
