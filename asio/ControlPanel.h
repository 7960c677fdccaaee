// The control panel: bit depth and latency chosen in a modal dialog.
#pragma once

#include "AsioDevice.h"

namespace kv380dasio {

// Shows the panel for device; 1 in every case.
int RunControlPanel(HMODULE module, CAsioDevice* device);
// True while a panel of this library is open.
bool PanelOpen();
INT_PTR CALLBACK ControlPanelDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
DWORD WINAPI PanelRefreshThread(LPVOID parameter);
void SelectPosition(HWND combo, LONG position);

}  // namespace kv380dasio
