// The control panel: a modal dialog with the device's sample types and latencies, a refresh
// thread that keeps the selections in step with changes made elsewhere, and the choices sent to
// the driver on OK.
#include "ControlPanel.h"

#include <cstdio>

namespace kv380dasio {

namespace {

constexpr int kBitDepthCombo = 1001;
constexpr int kLatencyCombo = 1002;
constexpr UINT kRefreshMessage = WM_USER + 1;
constexpr UINT kEnableMessage = WM_USER + 2;

// Panel state, one per loaded library.
HMODULE g_panelModule = nullptr;
CAsioDevice* g_panelDevice = nullptr;
HWND g_panelWindow = nullptr;
HANDLE g_refreshEvent = nullptr;
HANDLE g_quitEvent = nullptr;
HANDLE g_threadEnded = nullptr;
HANDLE g_refreshThread = nullptr;
LONG g_chosenBitDepth = 0;  // position in the driver's sample-type list
LONG g_chosenLatency = 0;   // index into the driver's latency list

const char* LabelOf(ULONG type) {
    switch (type) {
        case ASIOSTInt16LSB:
            return "16/16 Bits";
        case ASIOSTInt24LSB:
            return "24/24 Bits";
        case ASIOSTInt32LSB:
            return "32/32 Bits";
        case ASIOSTInt32LSB16:
            return "32/16 Bits";
        case ASIOSTInt32LSB18:
            return "32/18 Bits";
        case ASIOSTInt32LSB20:
            return "32/20 Bits";
        case ASIOSTInt32LSB24:
            return "32/24 Bits";
        default:
            return nullptr;
    }
}

// A list fetched with its own size query into a temporary heap buffer.
struct ListBuffer {
    BYTE* bytes = nullptr;
    ULONG size = 0;
    ~ListBuffer() {
        if (bytes != nullptr) HeapFree(GetProcessHeap(), 0, bytes);
    }
    bool Fetch(CAsioDevice* device, bool latencies) {
        if (device == nullptr) return false;
        size = latencies ? device->QueryLatencyChoices(nullptr, 0) : device->QueryBitDepths(nullptr, 0);
        if (size < 8) return false;
        bytes = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
        if (bytes == nullptr) return false;
        ULONG got = latencies ? device->QueryLatencyChoices(bytes, size) : device->QueryBitDepths(bytes, size);
        if (got < 8) return false;
        // The count must fit the bytes returned.
        const ULONG count = Word(1);
        return count <= (got - 8) / 4;
    }
    ULONG Word(ULONG index) const {
        ULONG value = 0;
        for (int b = 0; b < 4; ++b) value |= static_cast<ULONG>(bytes[index * 4 + b]) << (8 * b);
        return value;
    }
    ULONG Count() const { return Word(1); }
    ULONG Entry(ULONG index) const { return Word(2 + index); }
};

// Selects the selected type's list position and the current latency; false when a read fails.
bool ReadChoices(LONG* bitDepthPosition, LONG* latencyIndex) {
    ListBuffer types;
    if (!types.Fetch(g_panelDevice, false)) return false;
    for (ULONG i = 0; i < types.Count(); ++i) {
        if (types.Entry(i) == types.Word(0)) *bitDepthPosition = static_cast<LONG>(i);
    }
    ListBuffer latencies;
    if (!latencies.Fetch(g_panelDevice, true)) return false;
    *latencyIndex = static_cast<LONG>(latencies.Word(0));
    return true;
}

void FillLists(HWND dialog) {
    ListBuffer types;
    if (!types.Fetch(g_panelDevice, false)) return;
    HWND bitDepths = GetDlgItem(dialog, kBitDepthCombo);
    for (ULONG i = 0; i < types.Count(); ++i) {
        const char* label = LabelOf(types.Entry(i));
        if (label == nullptr) continue;
        // The item data carries the list position, so an unlabelled type never shifts the choice.
        LRESULT item = SendMessageA(bitDepths, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(label));
        SendMessageA(bitDepths, CB_SETITEMDATA, static_cast<WPARAM>(item), static_cast<LPARAM>(i));
        if (types.Entry(i) == types.Word(0)) g_chosenBitDepth = static_cast<LONG>(i);
    }
    SelectPosition(bitDepths, g_chosenBitDepth);

    ListBuffer latencies;
    if (!latencies.Fetch(g_panelDevice, true)) return;
    HWND latencyBox = GetDlgItem(dialog, kLatencyCombo);
    for (ULONG i = 0; i < latencies.Count(); ++i) {
        char text[20];
        std::snprintf(text, sizeof(text), "%2d ms", static_cast<int>(latencies.Entry(i)));
        SendMessageA(latencyBox, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    }
    g_chosenLatency = static_cast<LONG>(latencies.Word(0));
    SendMessageA(latencyBox, CB_SETCURSEL, static_cast<WPARAM>(g_chosenLatency), 0);
    g_panelWindow = dialog;
    EnableWindow(bitDepths, TRUE);
    EnableWindow(latencyBox, TRUE);
}

}  // namespace

// The combo entry whose item data is the list position.
void SelectPosition(HWND combo, LONG position) {
    LRESULT count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT item = 0; item < count; ++item) {
        if (SendMessageA(combo, CB_GETITEMDATA, static_cast<WPARAM>(item), 0) == position) {
            SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(item), 0);
            return;
        }
    }
}

INT_PTR CALLBACK ControlPanelDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    UNREFERENCED_PARAMETER(lParam);
    switch (message) {
        case WM_INITDIALOG:
            FillLists(dialog);
            return TRUE;
        case WM_SHOWWINDOW:
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) {
                if (g_panelDevice != nullptr) g_panelDevice->UnregisterPanelEvent();
                LRESULT item = SendDlgItemMessageA(dialog, kBitDepthCombo, CB_GETCURSEL, 0, 0);
                if (item != CB_ERR) {
                    g_chosenBitDepth = static_cast<LONG>(SendDlgItemMessageA(dialog, kBitDepthCombo, CB_GETITEMDATA,
                                                                             static_cast<WPARAM>(item), 0));
                }
                LRESULT latency = SendDlgItemMessageA(dialog, kLatencyCombo, CB_GETCURSEL, 0, 0);
                if (latency != CB_ERR) g_chosenLatency = static_cast<LONG>(latency);
                g_panelWindow = nullptr;
                EndDialog(dialog, IDOK);
                return TRUE;
            }
            if (LOWORD(wParam) == IDCANCEL) {
                if (g_panelDevice != nullptr) g_panelDevice->UnregisterPanelEvent();
                g_panelWindow = nullptr;
                EndDialog(dialog, IDCANCEL);
                return TRUE;
            }
            return FALSE;
        case kRefreshMessage: {
            LONG position = g_chosenBitDepth;
            LONG latency = g_chosenLatency;
            ListBuffer types;
            if (types.Fetch(g_panelDevice, false)) {
                for (ULONG i = 0; i < types.Count(); ++i) {
                    if (types.Entry(i) == types.Word(0)) position = static_cast<LONG>(i);
                }
                g_chosenBitDepth = position;
                SelectPosition(GetDlgItem(dialog, kBitDepthCombo), position);
                if (ReadChoices(&position, &latency)) {
                    g_chosenLatency = latency;
                    SendDlgItemMessageA(dialog, kLatencyCombo, CB_SETCURSEL, static_cast<WPARAM>(latency), 0);
                    g_panelWindow = dialog;
                }
            }
            return TRUE;
        }
        case kEnableMessage:
            EnableWindow(GetDlgItem(dialog, kBitDepthCombo), TRUE);
            EnableWindow(GetDlgItem(dialog, kLatencyCombo), TRUE);
            return FALSE;
        default:
            return FALSE;
    }
}

DWORD WINAPI PanelRefreshThread(LPVOID parameter) {
    UNREFERENCED_PARAMETER(parameter);
    const HANDLE events[2] = {g_refreshEvent, g_quitEvent};
    for (;;) {
        DWORD result = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0) {
            SendMessageA(g_panelWindow, kRefreshMessage, 0, 0);
        } else if (result == WAIT_OBJECT_0 + 1) {
            break;
        }
    }
    SetEvent(g_threadEnded);
    return 0;
}

namespace {

void CloseIfOpen(HANDLE* handle) {
    if (*handle != nullptr) CloseHandle(*handle);
    *handle = nullptr;
}

void ApplyChoices() {
    ListBuffer types;
    if (!types.Fetch(g_panelDevice, false)) return;
    if (g_chosenBitDepth < 0 || static_cast<ULONG>(g_chosenBitDepth) >= types.Count()) return;
    ULONG chosen = types.Entry(static_cast<ULONG>(g_chosenBitDepth));
    if (chosen != types.Word(0) && !g_panelDevice->SendBitDepth(chosen)) return;
    ListBuffer latencies;
    if (!latencies.Fetch(g_panelDevice, true)) return;
    if (static_cast<ULONG>(g_chosenLatency) != latencies.Word(0)) g_panelDevice->SendLatency(static_cast<ULONG>(g_chosenLatency));
}

}  // namespace

bool PanelOpen() { return g_panelModule != nullptr || g_panelDevice != nullptr; }

int RunControlPanel(HMODULE module, CAsioDevice* device) {
    // One panel at a time: a second call while one is open leaves it alone.
    if (g_panelModule != nullptr || g_panelDevice != nullptr) return 1;
    if (device == nullptr) return 1;
    bool ready = (g_threadEnded = CreateEventA(nullptr, TRUE, FALSE, nullptr)) != nullptr &&
                 (g_quitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr)) != nullptr &&
                 (g_refreshEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr)) != nullptr &&
                 (g_refreshThread = CreateThread(nullptr, 0, PanelRefreshThread, nullptr, 0, nullptr)) != nullptr;
    if (ready) {
        g_panelModule = module;
        g_panelDevice = device;
        device->RegisterPanelEvent(g_refreshEvent);
        INT_PTR result = DialogBoxParamA(module, MAKEINTRESOURCEA(101), GetActiveWindow(), ControlPanelDialogProc, 0);
        if (result == IDOK) ApplyChoices();
        g_panelWindow = nullptr;
        g_panelModule = nullptr;
        g_panelDevice = nullptr;
    }
    device->UnregisterPanelEvent();
    if (g_refreshThread != nullptr) {
        SetEvent(g_quitEvent);
        WaitForSingleObject(g_threadEnded, INFINITE);
        WaitForSingleObject(g_refreshThread, INFINITE);
        CloseIfOpen(&g_refreshThread);
    }
    CloseIfOpen(&g_refreshEvent);
    CloseIfOpen(&g_quitEvent);
    CloseIfOpen(&g_threadEnded);
    return 1;
}

}  // namespace kv380dasio
