// The library's dialog templates: the control panel, resource 101.
#include <win/win32.h>

namespace {

constexpr KV_DIALOG_ITEM kPanelItems[] = {
    {"button", IDOK, "OK", WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON | WS_TABSTOP, 0, 15, 121, 35, 14},
    {"button", IDCANCEL, "CANCEL", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON | WS_TABSTOP, 0, 60, 121, 35, 14},
    {"static", IDC_STATIC, "#102", WS_CHILD | WS_VISIBLE | SS_BITMAP | SS_REALSIZEIMAGE | SS_SUNKEN | WS_BORDER,
     WS_EX_STATICEDGE, 24, 12, 55, 24},
    {"static", IDC_STATIC, "Bit-Depth :", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_CENTERIMAGE | WS_GROUP, 0, 12, 49, 40, 14},
    {"combobox", 1001, "", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0, 51, 49, 48, 100},
    {"static", IDC_STATIC, "Latency :", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_CENTERIMAGE | WS_GROUP, 0, 12, 79, 40, 14},
    {"combobox", 1002, "", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0, 51, 79, 48, 100},
};

constexpr KV_DIALOG_TEMPLATE kControlPanel = {
    .resourceId = 101,
    .title = "ASIO Control Panel",
    .style = WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_MODALFRAME | DS_SETFONT,
    .x = 0,
    .y = 0,
    .cx = 110,
    .cy = 140,
    .font = "MS Sans Serif",
    .pointSize = 8,
    .items = kPanelItems,
    .itemCount = static_cast<int>(sizeof(kPanelItems) / sizeof(kPanelItems[0])),
};

}  // namespace

KV_DLL_EXPORT const KV_DIALOG_TEMPLATE* const KvDialogTemplates[] = {&kControlPanel, nullptr};
