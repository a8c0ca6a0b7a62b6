#include "repair/operations.h"

#include <objbase.h>
#include <shobjidl.h>

#include "platform/explorer.h"

static const CLSID kClsidShellLink =
    {0x00021401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
static const IID kIidShellLinkW =
    {0x000214F9, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
static const IID kIidPersistFile =
    {0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// IPersistFile::Save's "remember" flag; any non-zero value reads as true.
static const BOOL kRememberSavedFile = 2;

static int SaveLink(IShellLinkW* link, const wchar_t* target, const wchar_t* linkPath)
{
    link->SetPath(target);
    IPersistFile* file = NULL;
    if (FAILED(link->QueryInterface(kIidPersistFile, (void**)&file))) {
        return 0;
    }
    file->Save(linkPath, kRememberSavedFile);
    file->Release();
    return 1;
}

int CreateShortcutFile(const wchar_t* target, const wchar_t* linkPath)
{
    // An initialisation that failed (another threading model already set) must not be
    // balanced by an uninitialisation.
    HRESULT initialised = CoInitialize(NULL);
    IShellLinkW* link = NULL;
    int result = 0;
    // The link object is in-process, but the run's first COM use fixes the security of the
    // process, Explorer's calls later included: no object before it is set.
    if (SecureComForProcess()
        && SUCCEEDED(CoCreateInstance(kClsidShellLink, NULL, CLSCTX_INPROC_SERVER, kIidShellLinkW,
                                      (void**)&link))) {
        result = SaveLink(link, target, linkPath);
        link->Release();
    }
    if (SUCCEEDED(initialised)) {
        CoUninitialize();
    }
    return result;
}
