// Simulation control of user mode: processes (each with its own handle table and heap), the
// process a host thread runs in, the balances the verifier checks when a process ends, and the
// failures tests inject into Win32 calls.
//
// A thread that calls a Win32 function outside any ProcessScope runs in the machine's default
// user process ("host").
#pragma once

#include <sim/io.h>
#include <win/win32.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::user {

struct Process;

Process* CreateProcess(std::string_view name, bool is32bit = false);
// Ends the process: threads of it still running are a bug check; handles left open are closed
// (files get their cleanup and close). Returns how many handles were left open.
size_t DestroyProcess(Process* process);
Process* DefaultProcess();
Process* CurrentProcess();
const std::string& NameOf(Process* process);

// Makes process the calling thread's process for the scope's life (its handles, heap and the
// kernel's notion of the requestor process).
class ProcessScope {
public:
    explicit ProcessScope(Process* process);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    Process* m_previous;
    int m_previousTable;
    sim::io::ProcessScope m_kernel;
};
PEPROCESS KernelProcessOf(Process* process);

// Balances of a process.
size_t OpenHandleCount(Process* process);
size_t RunningThreadCount(Process* process);  // CreateThread threads that have not returned
size_t HeapBlockCount(Process* process);      // HeapAlloc blocks not freed
size_t CriticalSectionCount();                // initialised and not deleted, in every process

// Injected failures: the nth following call of the kind fails (1: the next one); 0 disarms.
// Event creation fails with ERROR_NOT_ENOUGH_MEMORY, thread creation and heap allocation too.
enum class Failure {
    CreateEvent,
    CreateThread,
    HeapAlloc,
    CreateFile,
    DeviceIoControl,
    StringFromCLSID,
    WideCharToMultiByte,
    GetModuleHandle,
    GetModuleFileName,  // answers 0 with an empty name
    Count
};
void FailNth(Failure kind, int nth);
// A DeviceIoControl failure can be limited to one control code (0: any code).
void FailDeviceIoControlCode(ULONG code, int nth);
void ClearFailures();
bool FailureArmed();

// Message boxes shown so far (MessageBoxA records them and answers IDOK).
struct MessageBoxRecord {
    std::string text;
    std::string caption;
    unsigned type;
};
std::vector<MessageBoxRecord> MessageBoxes();
void ClearMessageBoxes();

// The scripted user of modal dialogs. Steps run in order on the dialog's thread inside its modal
// loop, between the messages other threads send to it; a dialog open when the script is used up is
// cancelled, as a user closing it.
struct DialogStep {
    enum class Kind { Pick, Ok, Cancel, Run, WaitUntil };
    Kind kind;
    int control = 0;  // Pick: the combo box
    int index = 0;    // Pick: the entry
    std::function<void(HWND)> run;                  // Run: called with the dialog
    std::function<bool(HWND)> until;                // WaitUntil: served messages until true
    static DialogStep Pick(int control, int index) { return {Kind::Pick, control, index, {}, {}}; }
    static DialogStep Ok() { return {Kind::Ok, 0, 0, {}, {}}; }
    static DialogStep Cancel() { return {Kind::Cancel, 0, 0, {}, {}}; }
    static DialogStep Run(std::function<void(HWND)> run) { return {Kind::Run, 0, 0, std::move(run), {}}; }
    static DialogStep WaitUntil(std::function<bool(HWND)> until) { return {Kind::WaitUntil, 0, 0, {}, std::move(until)}; }
};
void ScriptDialogs(std::vector<DialogStep> steps);

struct ComboState {
    std::vector<std::string> items;
    std::vector<LONG_PTR> data;
    int selection = -1;
    bool enabled = false;
};
// The state of a combo box of an open dialog.
ComboState DialogCombo(HWND dialog, int control);
size_t OpenWindowCount();
int DialogsShown();  // dialogs created since the machine started

// Modules loaded with LoadLibraryA (or by COM) and not yet freed; device information sets not
// destroyed.
size_t LoadedModuleCount();
bool IsModuleLoaded(std::string_view fileName);
size_t DeviceInfoSetCount();

// The Win32 error a status becomes (as the system's status-to-error table gives it).
ULONG ErrorFromStatus(NTSTATUS status);

}  // namespace sim::user
