// Everything the tool says to the user. E01, E06, E07 and the completion message take
// the product's display name as their one argument.
#pragma once

static const wchar_t kMsgChecking[] = L"正在检测问题，请稍候……\n\n";
static const wchar_t kMsgE01[] = L"请重新安装 %s 驱动程序。(E01)\n\n";
static const wchar_t kMsgE02[] = L"无法访问系统注册表，请使用管理员权限运行本工具。(E02)\n\n";
static const wchar_t kMsgStartupItem[] =
    L"检测到：驱动所需的系统启动项被禁用，正在尝试修复，请稍候……\n\n";
static const wchar_t kMsgE03[] =
    L"修复启动项失败，请退出本机的杀毒软件，如360安全卫士等，再尝试重新运行本工具。(E03)\n\n";
static const wchar_t kMsgE04[] = L"无法访问服务管理器，请使用管理员权限运行本工具。(E04)\n\n";
static const wchar_t kMsgE05[] = L"无法访问扫描服务，请使用管理员权限运行本工具。(E05)\n\n";
static const wchar_t kMsgServiceMissing[] =
    L"检测到：驱动所需的扫描服务未安装，正在尝试修复，请稍候……\n\n";
// Printed for an installed scan service that is not running, whatever its state (stopped,
// paused, pending, unreadable) or start type, although its fixed text says "disabled".
static const wchar_t kMsgServiceDisabled[] =
    L"检测到：驱动所需的扫描服务被禁用，正在尝试修复，请稍候……\n\n";
static const wchar_t kMsgE06[] = L"修复扫描服务失败，请尝试重新安装 %s 驱动程序。(E06)\n\n";
static const wchar_t kMsgE07[] = L"启动扫描服务失败，请尝试重新安装 %s 驱动程序。(E07)\n\n";
static const wchar_t kMsgRestart[] = L"正在尝试重启后台程序，请稍候……\n\n";
static const wchar_t kMsgE08[] = L"无法启动后台程序，请尝试重启操作系统来完成修复。(E08)\n\n";
static const wchar_t kMsgComplete[] = L"已完成 %s 驱动程序修复。\n\n";
