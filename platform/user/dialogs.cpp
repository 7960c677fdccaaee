// The dialog manager: modal dialog boxes built from a module's dialog templates, combo boxes,
// EndDialog, GetDlgItem, EnableWindow, and SendMessage across threads (served by the dialog's
// modal loop; senders blocked on a window are released when it is destroyed). The user is a
// script of steps (sim/user.h).
#include "user_internal.h"

#include "../kernel/scheduler.h"

#include <win/ke.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <vector>

using namespace sim::user;

namespace {

struct Pending {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result = 0;
    bool finished = false;
    KEVENT done;
};

struct Window {
    HWND handle = nullptr;
    HWND parent = nullptr;
    int id = 0;
    std::string className;
    std::string text;
    bool enabled = true;
    std::vector<std::string> items;  // combo boxes
    std::vector<LONG_PTR> data;
    int selection = CB_ERR;
    // Dialogs.
    DLGPROC proc = nullptr;
    DWORD thread = 0;
    bool ended = false;
    INT_PTR result = 0;
    PRKEVENT wake = nullptr;
    std::deque<Pending*> queue;
};

struct Windows {
    std::mutex lock;
    std::map<HWND, Window*> all;
    ULONG_PTR next = 0x10000;
    std::deque<DialogStep> script;
    int shown = 0;
};

Windows& TheWindows() {
    static auto* windows = new Windows();
    return *windows;
}

// Under the lock.
Window* Find(Windows& w, HWND handle) {
    auto found = w.all.find(handle);
    return found == w.all.end() ? nullptr : found->second;
}

HWND Insert(Windows& w, Window* window) {
    window->handle = reinterpret_cast<HWND>(w.next += 4);
    w.all[window->handle] = window;
    return window->handle;
}

// Combo box messages, under the lock.
LRESULT ComboMessage(Window& combo, UINT message, WPARAM wParam, LPARAM lParam) {
    const auto count = static_cast<WPARAM>(combo.items.size());
    switch (message) {
        case CB_ADDSTRING:
            combo.items.emplace_back(reinterpret_cast<const char*>(lParam));
            combo.data.push_back(0);
            return static_cast<LRESULT>(combo.items.size() - 1);
        case CB_GETCOUNT:
            return static_cast<LRESULT>(count);
        case CB_RESETCONTENT:
            combo.items.clear();
            combo.data.clear();
            combo.selection = CB_ERR;
            return 0;
        case CB_SETCURSEL:
            combo.selection = wParam < count ? static_cast<int>(wParam) : CB_ERR;
            return wParam < count ? static_cast<LRESULT>(wParam) : CB_ERR;
        case CB_GETCURSEL:
            return combo.selection;
        case CB_SETITEMDATA:
            if (wParam >= count) return CB_ERR;
            combo.data[wParam] = lParam;
            return 0;
        case CB_GETITEMDATA:
            return wParam < count ? combo.data[wParam] : CB_ERR;
        case CB_GETLBTEXTLEN:
            return wParam < count ? static_cast<LRESULT>(combo.items[wParam].size()) : CB_ERR;
        case CB_GETLBTEXT:
            if (wParam >= count) return CB_ERR;
            std::memcpy(reinterpret_cast<char*>(lParam), combo.items[wParam].c_str(), combo.items[wParam].size() + 1);
            return static_cast<LRESULT>(combo.items[wParam].size());
        default:
            return 0;
    }
}

void ServeQueue(Window* dialog) {
    Windows& w = TheWindows();
    for (;;) {
        Pending* pending = nullptr;
        {
            std::lock_guard<std::mutex> guard(w.lock);
            if (dialog->queue.empty()) return;
            pending = dialog->queue.front();
            dialog->queue.pop_front();
        }
        pending->result = dialog->proc(dialog->handle, pending->message, pending->wParam, pending->lParam);
        std::lock_guard<std::mutex> guard(w.lock);
        pending->finished = true;
        KeSetEvent(&pending->done, 0, FALSE);
    }
}

// Waits up to a millisecond for a sent message, serving what arrives.
void WaitForMessages(Window* dialog) {
    LARGE_INTEGER timeout{};
    timeout.QuadPart = -10'000;
    KeWaitForSingleObject(dialog->wake, UserRequest, UserMode, FALSE, &timeout);
    ServeQueue(dialog);
}

void RunStep(Window* dialog, DialogStep& step) {
    switch (step.kind) {
        case DialogStep::Kind::Pick: {
            HWND control = GetDlgItem(dialog->handle, step.control);
            SendMessageA(control, CB_SETCURSEL, static_cast<WPARAM>(step.index), 0);
            dialog->proc(dialog->handle, WM_COMMAND, MAKEWPARAM(step.control, 1), reinterpret_cast<LPARAM>(control));
            break;
        }
        case DialogStep::Kind::Ok:
            dialog->proc(dialog->handle, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0);
            break;
        case DialogStep::Kind::Cancel:
            dialog->proc(dialog->handle, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
            break;
        case DialogStep::Kind::Run:
            if (step.run) step.run(dialog->handle);
            break;
        case DialogStep::Kind::WaitUntil:
            for (int ms = 0; ms < 10'000 && !dialog->ended && step.until && !step.until(dialog->handle); ++ms) {
                WaitForMessages(dialog);
            }
            break;
    }
}

void Destroy(Window* dialog) {
    Windows& w = TheWindows();
    std::lock_guard<std::mutex> guard(w.lock);
    for (auto it = w.all.begin(); it != w.all.end();) {
        if (it->second->parent == dialog->handle) {
            delete it->second;
            it = w.all.erase(it);
        } else {
            ++it;
        }
    }
    w.all.erase(dialog->handle);
    // Senders blocked on the window get 0.
    for (Pending* pending : dialog->queue) {
        pending->finished = true;
        KeSetEvent(&pending->done, 0, FALSE);
    }
    dialog->queue.clear();
}

}  // namespace

namespace sim::user {

void ScriptDialogs(std::vector<DialogStep> steps) {
    Windows& w = TheWindows();
    std::lock_guard<std::mutex> guard(w.lock);
    w.script.assign(steps.begin(), steps.end());
}

ComboState DialogCombo(HWND dialog, int control) {
    Windows& w = TheWindows();
    std::lock_guard<std::mutex> guard(w.lock);
    for (const auto& [handle, window] : w.all) {
        if (window->parent == dialog && window->id == control) {
            return ComboState{.items = window->items, .data = window->data, .selection = window->selection,
                              .enabled = window->enabled};
        }
    }
    return {};
}

size_t OpenWindowCount() {
    Windows& w = TheWindows();
    std::lock_guard<std::mutex> guard(w.lock);
    return w.all.size();
}

int DialogsShown() {
    Windows& w = TheWindows();
    std::lock_guard<std::mutex> guard(w.lock);
    return w.shown;
}

}  // namespace sim::user

KV_EXTERN_C INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent,
                                           DLGPROC lpDialogFunc, LPARAM dwInitParam) {
    UNREFERENCED_PARAMETER(hWndParent);
    auto templates = reinterpret_cast<const KV_DIALOG_TEMPLATE* const*>(
        reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(hInstance), "KvDialogTemplates")));
    const auto id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(lpTemplateName));
    const KV_DIALOG_TEMPLATE* found = nullptr;
    for (; templates != nullptr && *templates != nullptr && found == nullptr; ++templates) {
        if ((*templates)->resourceId == id) found = *templates;
    }
    if (found == nullptr || lpDialogFunc == nullptr) return FailWith<INT_PTR>(ERROR_RESOURCE_NAME_NOT_FOUND, -1);

    Windows& w = TheWindows();
    auto* dialog = new Window();
    dialog->className = "#32770";
    dialog->text = found->title;
    dialog->proc = lpDialogFunc;
    dialog->thread = GetCurrentThreadId();
    dialog->wake = static_cast<PRKEVENT>(std::aligned_alloc(16, (sizeof(KEVENT) + 15) & ~size_t{15}));
    KeInitializeEvent(dialog->wake, SynchronizationEvent, FALSE);
    {
        std::lock_guard<std::mutex> guard(w.lock);
        ++w.shown;
        Insert(w, dialog);
        for (int i = 0; i < found->itemCount; ++i) {
            const KV_DIALOG_ITEM& item = found->items[i];
            auto* control = new Window();
            control->parent = dialog->handle;
            control->id = item.id;
            control->className = item.className;
            control->text = item.text != nullptr ? item.text : "";
            control->enabled = (item.style & WS_DISABLED) == 0;
            Insert(w, control);
        }
    }
    lpDialogFunc(dialog->handle, WM_INITDIALOG, 0, dwInitParam);
    lpDialogFunc(dialog->handle, WM_SHOWWINDOW, TRUE, 0);
    while (!dialog->ended) {
        ServeQueue(dialog);
        if (dialog->ended) break;
        DialogStep step = DialogStep::Cancel();  // a user with nothing left to do closes the dialog
        {
            std::lock_guard<std::mutex> guard(w.lock);
            if (!w.script.empty()) {
                step = w.script.front();
                w.script.pop_front();
            }
        }
        RunStep(dialog, step);
    }
    INT_PTR result = dialog->result;
    Destroy(dialog);
    sim::ke::CheckFreedMemory(dialog->wake, sizeof(KEVENT));
    std::free(dialog->wake);
    delete dialog;
    return result;
}

KV_EXTERN_C BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
    Windows& w = TheWindows();
    std::lock_guard<std::mutex> guard(w.lock);
    Window* dialog = Find(w, hDlg);
    if (dialog == nullptr || dialog->proc == nullptr) return FailWith(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    dialog->ended = true;
    dialog->result = nResult;
    return TRUE;
}

KV_EXTERN_C HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
    Windows& w = TheWindows();
    std::lock_guard<std::mutex> guard(w.lock);
    for (const auto& [handle, window] : w.all) {
        if (window->parent == hDlg && hDlg != nullptr && window->id == nIDDlgItem) return handle;
    }
    return FailWith<HWND>(ERROR_INVALID_WINDOW_HANDLE, nullptr);
}

KV_EXTERN_C BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable) {
    Windows& w = TheWindows();
    std::lock_guard<std::mutex> guard(w.lock);
    Window* window = Find(w, hWnd);
    if (window == nullptr) return FALSE;
    BOOL wasDisabled = window->enabled ? FALSE : TRUE;
    window->enabled = bEnable != FALSE;
    return wasDisabled;
}

KV_EXTERN_C BOOL WINAPI IsWindowEnabled(HWND hWnd) {
    Windows& w = TheWindows();
    std::lock_guard<std::mutex> guard(w.lock);
    Window* window = Find(w, hWnd);
    return window != nullptr && window->enabled ? TRUE : FALSE;
}

KV_EXTERN_C LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    Windows& w = TheWindows();
    Pending pending{.message = Msg, .wParam = wParam, .lParam = lParam, .result = 0, .finished = false, .done = {}};
    Window* dialog = nullptr;
    {
        std::lock_guard<std::mutex> guard(w.lock);
        Window* window = Find(w, hWnd);
        if (window == nullptr) return FailWith<LRESULT>(ERROR_INVALID_WINDOW_HANDLE, 0);
        if (window->proc == nullptr) return ComboMessage(*window, Msg, wParam, lParam);
        dialog = window;
        if (dialog->thread != GetCurrentThreadId()) {
            // Another thread: the dialog's loop serves it; the sender waits.
            KeInitializeEvent(&pending.done, NotificationEvent, FALSE);
            dialog->queue.push_back(&pending);
            KeSetEvent(dialog->wake, 0, FALSE);
        }
    }
    if (dialog->thread == GetCurrentThreadId()) return dialog->proc(hWnd, Msg, wParam, lParam);
    KeWaitForSingleObject(&pending.done, UserRequest, UserMode, FALSE, nullptr);
    // The dialog's thread signals under the lock; taking it orders the result before our read.
    std::lock_guard<std::mutex> guard(w.lock);
    sim::ke::CheckFreedMemory(&pending.done, sizeof(KEVENT));
    return pending.result;
}

KV_EXTERN_C LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return SendMessageA(GetDlgItem(hDlg, nIDDlgItem), Msg, wParam, lParam);
}
