// User mode of the simulated machine with published Win32 names: files and device I/O control,
// handles, events, waits, threads, critical sections, the multimedia timer, SetupAPI interface
// enumeration, the registry, modules, COM activation, message boxes and dialogs.
//
// Every call runs in the calling thread's simulated process (sim/user.h); handles are that
// process's handles. The x64 layouts of records whose bytes matter are asserted.
#pragma once

#include <win/ntdef.h>
#include <win/unknown.h>

#include <cstddef>

#define WINAPI
#define CALLBACK
#define APIENTRY
#define KV_DLL_EXPORT extern "C" __attribute__((visibility("default")))

typedef void* LPVOID;
typedef const void* LPCVOID;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef DWORD* LPDWORD;
typedef BOOL* LPBOOL;
typedef LONG HRESULT;
typedef LONG LSTATUS;
typedef BYTE* LPBYTE;
typedef const BYTE* LPCBYTE;
typedef HANDLE* LPHANDLE;
typedef struct _OVERLAPPED* LPOVERLAPPED;
typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef struct HWND__* HWND;
typedef ULONG_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef LONG_PTR INT_PTR;
typedef INT_PTR(CALLBACK* FARPROC)();
typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);
typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);
typedef PVOID HDEVINFO;
typedef ULONG ACCESS_MASK_USER;
typedef ACCESS_MASK_USER REGSAM;

// Results.
#define S_OK ((HRESULT)0L)
#define S_FALSE ((HRESULT)1L)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110L)
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111L)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154L)
#define CO_E_DLLNOTFOUND ((HRESULT)0x800401F8L)
#define CO_E_ERRORINDLL ((HRESULT)0x800401F9L)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

// Win32 error codes (GetLastError).
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_LENGTH 24L
#define ERROR_GEN_FAILURE 31L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_DLL_INIT_FAILED 1114L
#define ERROR_INVALID_USER_BUFFER 1784L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_KEY_DELETED 1018L
#define ERROR_NOT_FOUND 1168L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_PENDING 997L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L

// Files.
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_OVERLAPPED 0x40000000
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

KV_EXTERN_C HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                      LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                      DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
KV_EXTERN_C BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                                        LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                        LPOVERLAPPED lpOverlapped);
KV_EXTERN_C BOOL WINAPI CloseHandle(HANDLE hObject);
KV_EXTERN_C DWORD WINAPI GetLastError(void);
KV_EXTERN_C void WINAPI SetLastError(DWORD dwErrCode);

// Events and waits.
#define INFINITE 0xFFFFFFFFUL
#define WAIT_OBJECT_0 0x00000000UL
#define WAIT_ABANDONED 0x00000080UL
#define WAIT_TIMEOUT 0x00000102UL
#define WAIT_FAILED 0xFFFFFFFFUL
#define MAXIMUM_WAIT_OBJECTS 64

KV_EXTERN_C HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                                       LPCSTR lpName);
KV_EXTERN_C BOOL WINAPI SetEvent(HANDLE hEvent);
KV_EXTERN_C BOOL WINAPI ResetEvent(HANDLE hEvent);
KV_EXTERN_C DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
KV_EXTERN_C DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                                DWORD dwMilliseconds);
KV_EXTERN_C void WINAPI Sleep(DWORD dwMilliseconds);

// Threads.
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_ERROR_RETURN 0x7FFFFFFF

KV_EXTERN_C HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                       LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                       DWORD dwCreationFlags, LPDWORD lpThreadId);
KV_EXTERN_C BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority);
KV_EXTERN_C int WINAPI GetThreadPriority(HANDLE hThread);
KV_EXTERN_C BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
KV_EXTERN_C DWORD WINAPI GetCurrentThreadId(void);
#define STILL_ACTIVE 259

// Critical sections (the published 40-byte record; the simulation keeps its lock in LockSemaphore).
typedef struct _RTL_CRITICAL_SECTION {
    PVOID DebugInfo;
    LONG LockCount;
    LONG RecursionCount;
    HANDLE OwningThread;
    HANDLE LockSemaphore;
    ULONG_PTR SpinCount;
} RTL_CRITICAL_SECTION, CRITICAL_SECTION, *LPCRITICAL_SECTION;
static_assert(sizeof(CRITICAL_SECTION) == 40);
static_assert(offsetof(CRITICAL_SECTION, OwningThread) == 16);
static_assert(offsetof(CRITICAL_SECTION, LockSemaphore) == 24);

KV_EXTERN_C void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
KV_EXTERN_C void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
KV_EXTERN_C void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
KV_EXTERN_C void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// Milliseconds of the machine's clock.
KV_EXTERN_C DWORD WINAPI timeGetTime(void);

// Process heap.
#define HEAP_ZERO_MEMORY 0x00000008
KV_EXTERN_C HANDLE WINAPI GetProcessHeap(void);
KV_EXTERN_C LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
KV_EXTERN_C BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);

// Registry (HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes).
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_READ 0x00020019
#define KEY_WRITE 0x00020006
#define KEY_ALL_ACCESS 0x000F003F

KV_EXTERN_C LSTATUS WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
KV_EXTERN_C LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                         PHKEY phkResult);
KV_EXTERN_C LSTATUS WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
KV_EXTERN_C LSTATUS WINAPI RegCloseKey(HKEY hKey);
KV_EXTERN_C LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
KV_EXTERN_C LSTATUS WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName);
KV_EXTERN_C LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                          const BYTE* lpData, DWORD cbData);
KV_EXTERN_C LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                            LPBYTE lpData, LPDWORD lpcbData);

// SetupAPI: device interfaces of a class.
#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);  // cbSize as callers set it on x64

typedef struct _SP_DEVINFO_DATA* PSP_DEVINFO_DATA;

KV_EXTERN_C HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags);
KV_EXTERN_C BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                    const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                                    PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
KV_EXTERN_C BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet,
                                                         PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                         PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                                         DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                                         PSP_DEVINFO_DATA DeviceInfoData);
KV_EXTERN_C BOOL WINAPI SetupDiDeleteDeviceInterfaceData(HDEVINFO DeviceInfoSet,
                                                         PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
KV_EXTERN_C BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

// Modules.
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3
#define MAX_PATH 260

KV_EXTERN_C HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
KV_EXTERN_C BOOL WINAPI FreeLibrary(HMODULE hLibModule);
KV_EXTERN_C HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);
KV_EXTERN_C DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
KV_EXTERN_C FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);

// Strings.
#define CP_ACP 0
KV_EXTERN_C LPSTR WINAPI CharLowerA(LPSTR lpsz);
KV_EXTERN_C int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                           LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                                           LPBOOL lpUsedDefaultChar);

// COM.
#define CLSCTX_INPROC_SERVER 0x1
typedef const GUID& REFCLSID;

// {00000001-0000-0000-C000-000000000046}
DEFINE_GUID(IID_IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

class IClassFactory : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;

protected:
    ~IClassFactory() = default;
};

typedef HRESULT(STDMETHODCALLTYPE* LPFNGETCLASSOBJECT)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT(STDMETHODCALLTYPE* LPFNCANUNLOADNOW)();

KV_EXTERN_C HRESULT WINAPI CoInitialize(LPVOID pvReserved);
KV_EXTERN_C void WINAPI CoUninitialize(void);
KV_EXTERN_C HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                                            LPVOID* ppv);
KV_EXTERN_C void WINAPI CoFreeUnusedLibraries(void);
KV_EXTERN_C HRESULT WINAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
KV_EXTERN_C HRESULT WINAPI CLSIDFromString(const OLECHAR* lpsz, CLSID* pclsid);
KV_EXTERN_C LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb);
KV_EXTERN_C void WINAPI CoTaskMemFree(LPVOID pv);

// Windows: message boxes and the active window.
#define MB_OK 0x00000000L
#define IDOK 1
#define IDCANCEL 2
KV_EXTERN_C int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
KV_EXTERN_C HWND WINAPI GetActiveWindow(void);

// Dialogs: modal dialog boxes built from a module's dialog templates, combo boxes and messages.
#define WM_CLOSE 0x0010
#define WM_SHOWWINDOW 0x0018
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_USER 0x0400
#define CB_ADDSTRING 0x0143
#define CB_GETCOUNT 0x0146
#define CB_GETCURSEL 0x0147
#define CB_GETLBTEXT 0x0148
#define CB_GETLBTEXTLEN 0x0149
#define CB_RESETCONTENT 0x014B
#define CB_SETCURSEL 0x014E
#define CB_GETITEMDATA 0x0150
#define CB_SETITEMDATA 0x0151
#define CB_ERR (-1)
#define IDC_STATIC (-1)

#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_VSCROLL 0x00200000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define WS_EX_STATICEDGE 0x00020000L
#define DS_SETFONT 0x40L
#define DS_MODALFRAME 0x80L
#define BS_PUSHBUTTON 0x00000000L
#define BS_DEFPUSHBUTTON 0x00000001L
#define SS_LEFT 0x00000000L
#define SS_BITMAP 0x0000000EL
#define SS_CENTERIMAGE 0x00000200L
#define SS_REALSIZEIMAGE 0x00000800L
#define SS_SUNKEN 0x00001000L
#define CBS_DROPDOWNLIST 0x0003L

#define LOWORD(l) ((WORD)(((ULONG_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((ULONG_PTR)(l)) >> 16) & 0xffff))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)(((WORD)(l)) | ((DWORD)(WORD)(h)) << 16))
#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))

KV_EXTERN_C INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent,
                                           DLGPROC lpDialogFunc, LPARAM dwInitParam);
KV_EXTERN_C BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult);
KV_EXTERN_C HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem);
KV_EXTERN_C BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable);
KV_EXTERN_C BOOL WINAPI IsWindowEnabled(HWND hWnd);
KV_EXTERN_C LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
KV_EXTERN_C LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam);

// A module's dialog templates. The simulated loader finds them through the module's exported
// "KvDialogTemplates" (a null-terminated array of pointers), as the real one finds resources.
struct KV_DIALOG_ITEM {
    const char* className;  // "button", "static", "combobox"
    int id;
    const char* text;
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;  // dialog units
};
struct KV_DIALOG_TEMPLATE {
    WORD resourceId;
    const char* title;
    DWORD style;
    short x, y, cx, cy;
    const char* font;
    WORD pointSize;
    const KV_DIALOG_ITEM* items;
    int itemCount;
};
