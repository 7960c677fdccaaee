// The adapter as the port-class power sink: device power changes passed on to the HAL with the
// 1 ms timer resolution held exactly while the device is in D0, and the wake that every request
// which needs the device does first.
#include "driver/engine/adapter/UsbAudioAdapter.h"

namespace {

// Each of WaitIdle's two waits ends after 500 ms whatever the device does.
constexpr LONGLONG WaitIdleStepTimeout100ns = 5'000'000;

}  // namespace

void UsbAudioAdapter::PowerChangeState(POWER_STATE NewState) {
    PAGED_CODE();
    const ULONG state = static_cast<ULONG>(NewState.DeviceState);
    // Anything but D0 to D3 names no device state: leaving D0 for it would stop the device for
    // nothing and release the timer resolution without a state that brings it back.
    if (state < PowerDeviceD0 || state > PowerDeviceD3) return;

    // No private-interface request runs during a power change.
    m_AsioMutex.Lock();
    const bool changed = state != ReadNoFence(&m_PowerState);
    if (changed) {
        if (state != PowerDeviceD0) {
            // A device that is gone is not told.
            if (!CheckPortStatus() && m_HalPowerManagement != nullptr) m_HalPowerManagement->PowerChangeState(NewState);
            // ASIO streaming stops with the device and resumes with it; the host hears nothing meanwhile.
            if (m_AsioStreaming != 0) {
                StopAsioStreaming();
                if (m_AsioOwner != nullptr && m_AsioOwner->BufferEvent != nullptr) KeClearEvent(m_AsioOwner->BufferEvent);
                m_AsioRestart = 1;
            }
            ReleaseTimerResolution();
        } else {
            // The HAL writes every stored control value back to the device.
            if (m_HalPowerManagement != nullptr) m_HalPowerManagement->PowerChangeState(NewState);
            RequestTimerResolution();
            // Only an owner that still has its rings and its buffer event streams again, from reset rings.
            if (m_AsioRestart != 0 && m_AsioOwner != nullptr && m_AsioOwner->Buffers != 0 &&
                m_AsioOwner->BufferEvent != nullptr) {
                ResetAsioRings(true);
                StartAsioStreaming();
            }
            m_AsioRestart = 0;
        }
        WriteNoFence(&m_PowerState, state);
    }
    m_AsioMutex.Unlock();
    // A STOP that waited for D0 runs now that the streams are back.
    if (changed && state == PowerDeviceD0) CompleteHeldAsioStop();
}

NTSTATUS UsbAudioAdapter::WaitIdle() {
    PAGED_CODE();
    // The device is no longer idle: no idle request starts while this request runs.
    InterlockedIncrement(&m_IoInProgress);
    CancelIdleRequest();
    // Cancelling completes the idle request; when the device was already below D0 that
    // completion asks for D0, and the second wait lets that request finish.
    LARGE_INTEGER timeout;
    timeout.QuadPart = -WaitIdleStepTimeout100ns;
    KeWaitForSingleObject(&m_IdleDoneEvent, Executive, KernelMode, FALSE, &timeout);
    timeout.QuadPart = -WaitIdleStepTimeout100ns;
    KeWaitForSingleObject(&m_D0RequestEvent, Executive, KernelMode, FALSE, &timeout);
    InterlockedDecrement(&m_IoInProgress);
    return STATUS_SUCCESS;
}
