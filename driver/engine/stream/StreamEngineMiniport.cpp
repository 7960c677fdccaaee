// StreamEngine: its wave-cyclic subdevice "<name>Wave" and the physical connection between the
// wave filter's bridge pin and the topology filter's pin of the engine's streaming terminal. The
// subdevice follows the jack: installed while it is present, removed while it is absent.
#include "driver/engine/interfaces/AdapterCommon.h"
#include "driver/engine/interfaces/TerminalInfo.h"
#include "driver/engine/stream/StreamEngine.h"
#include "driver/front/InterfaceRef.h"
#include "driver/front/SubdeviceInfo.h"

#include <win/portcls.h>

namespace {

// A control id no connector carries: a miniport that finds no streaming terminal leaves it.
constexpr ULONG NoTerminal = 0xFFFFFFFF;

// Queries Unknown for Id into Out; a success without an interface counts as a failure.
template <class Interface>
NTSTATUS QueryInto(PUNKNOWN Unknown, REFIID Id, InterfaceRef<Interface>& Out) {
    if (Unknown == nullptr) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = Unknown->QueryInterface(Id, Out.ReceiveVoid());
    if (NT_SUCCESS(status) && !Out) status = STATUS_UNSUCCESSFUL;
    return status;
}

// The terminal type of a streaming connector.
constexpr ULONG StreamTerminalType = 0;

}  // namespace

void StreamEngine::FindStreamTerminal(PULONG Id) {
    const ULONG count = GetNodeCount();
    for (ULONG index = 0; index < count; ++index) {
        AudioNode* node = nullptr;
        if (!NT_SUCCESS(GetNode(index, &node)) || node == nullptr) continue;
        const ULONG kind = node->GetNodeKind();
        if (kind != NodeKindCode(NodeKind::InputConnector) && kind != NodeKindCode(NodeKind::OutputConnector)) continue;
        InterfaceRef<TerminalInfo> terminal;
        if (!NT_SUCCESS(node->QueryInterface(IID_TerminalInfo, terminal.ReceiveVoid())) || !terminal) continue;
        ULONG type = 0xFFFFFFFF;
        if (NT_SUCCESS(terminal->GetTerminalType(&type)) && type == StreamTerminalType) *Id = node->GetId();
    }
}

NTSTATUS StreamEngine::InstallMiniport(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN Adapter) {
    PAGED_CODE();
    if (m_MiniportCreator == nullptr) return STATUS_UNSUCCESSFUL;
    if (DeviceObject == nullptr) return STATUS_INVALID_PARAMETER;
    BOOLEAN present = FALSE;
    NTSTATUS status = IsJackPresent(&present);
    if (!NT_SUCCESS(status)) return status;

    if (!present && m_WavePort != nullptr) return UnregisterWaveSubdevice(DeviceObject);
    if (!present || m_WavePort != nullptr) return STATUS_SUCCESS;

    status = InstallWaveSubdevice(DeviceObject, Irp, Adapter);
    if (!NT_SUCCESS(status)) return status;
    if (m_Direction == StreamDirectionRender) {
        status = PcRegisterPhysicalConnection(DeviceObject, m_WavePort, StreamEngineWaveBridgePin, m_TopologyPort,
                                              m_TopologyPin);
    } else {
        status = PcRegisterPhysicalConnection(DeviceObject, m_TopologyPort, m_TopologyPin, m_WavePort,
                                              StreamEngineWaveBridgePin);
    }
    if (!NT_SUCCESS(status)) {
        // A wave filter without its connection is of no use to the audio stack, and a later
        // removal would stumble over the missing connection: take the subdevice back.
        InterfaceRef<IUnregisterSubdevice> subdevice;
        if (NT_SUCCESS(QueryInto(m_WavePort, IID_IUnregisterSubdevice, subdevice)) &&
            NT_SUCCESS(subdevice->UnregisterSubdevice(DeviceObject, m_WavePort))) {
            m_WavePort->Release();
            m_WavePort = nullptr;
        }
    }
    return status;
}

NTSTATUS StreamEngine::RemoveMiniport(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    if (m_WavePort == nullptr) return STATUS_SUCCESS;
    if (DeviceObject == nullptr) return STATUS_INVALID_PARAMETER;
    return UnregisterWaveSubdevice(DeviceObject);
}

NTSTATUS StreamEngine::InstallWaveSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN Adapter) {
    PAGED_CODE();
    // The miniport is made for this engine's position in the HAL's engine list.
    InterfaceRef<AdapterCommon> adapter;
    if (!NT_SUCCESS(QueryInto(Adapter, IID_AdapterCommon, adapter))) return STATUS_UNSUCCESSFUL;
    ULONG position = 0;
    for (;; ++position) {
        StreamEngine* engine = nullptr;
        if (!NT_SUCCESS(adapter->GetStreamEngine(position, &engine))) return STATUS_UNSUCCESSFUL;
        if (engine == this) break;
    }
    // The connection needs the topology filter's port and its pin map.
    if (m_TopologyInfo == nullptr || m_TopologyPort == nullptr) return STATUS_UNSUCCESSFUL;
    // The topology filter must have a pin for the streaming terminal, checked before the port is
    // made: once a port holds its initialised miniport, the two hold each other (and the miniport
    // the adapter) until the subdevice is registered and later unregistered.
    ULONG topologyPin = NoTerminal;
    FindStreamTerminal(&topologyPin);
    NTSTATUS status = m_TopologyInfo->MapNodeToPin(&topologyPin);
    if (!NT_SUCCESS(status)) return status;

    InterfaceRef<IPort> port;
    status = PcNewPort(port.Receive(), m_PortClassId);
    if (!NT_SUCCESS(status)) return status;
    if (port.Get() == nullptr) return STATUS_UNSUCCESSFUL;
    InterfaceRef<IUnknown> miniport;
    status = m_MiniportCreator(miniport.Receive(), m_PortClassId, nullptr, NonPagedPool, position);
    if (!NT_SUCCESS(status)) return status;
    if (miniport.Get() == nullptr) return STATUS_UNSUCCESSFUL;
    status = port->Init(DeviceObject, Irp, miniport.Get(), Adapter, nullptr);
    if (!NT_SUCCESS(status)) return status;

    // The subdevice name, and the topology pin of the engine's streaming terminal.
    InterfaceRef<SubdeviceInfo> waveInfo;
    status = QueryInto(miniport.Get(), IID_SubdeviceInfo, waveInfo);
    if (!NT_SUCCESS(status)) return status;
    PWSTR name = nullptr;
    status = waveInfo->GetName(&name);
    if (!NT_SUCCESS(status)) return status;
    if (name == nullptr) return STATUS_UNSUCCESSFUL;
    ULONG terminal = NoTerminal;
    status = waveInfo->MapNodeToPin(&terminal);
    if (!NT_SUCCESS(status)) return status;
    // A terminal the topology filter has no pin for would connect the wave filter to a wrong pin.
    ULONG pin = terminal;
    status = m_TopologyInfo->MapNodeToPin(&pin);
    if (!NT_SUCCESS(status)) return status;

    status = PcRegisterSubdevice(DeviceObject, name, port.Get());
    if (!NT_SUCCESS(status)) return status;
    PUNKNOWN wavePort = nullptr;
    status = port->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(&wavePort));
    if (!NT_SUCCESS(status) || wavePort == nullptr) {
        // Registered but not reachable as IUnknown: take the registration back.
        InterfaceRef<IUnregisterSubdevice> subdevice;
        if (NT_SUCCESS(QueryInto(port.Get(), IID_IUnregisterSubdevice, subdevice))) {
            subdevice->UnregisterSubdevice(DeviceObject, port.Get());
        }
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    m_WavePort = wavePort;
    m_TopologyPin = pin;
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::UnregisterWaveSubdevice(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    const bool render = m_Direction == StreamDirectionRender;
    // The connection is unregistered through the port it starts at.
    InterfaceRef<IUnregisterPhysicalConnection> connection;
    NTSTATUS status = QueryInto(render ? m_WavePort : m_TopologyPort, IID_IUnregisterPhysicalConnection, connection);
    if (!NT_SUCCESS(status)) return status;
    InterfaceRef<IUnregisterSubdevice> subdevice;
    status = QueryInto(m_WavePort, IID_IUnregisterSubdevice, subdevice);
    if (!NT_SUCCESS(status)) return status;

    NTSTATUS connectionStatus;
    if (render) {
        connectionStatus = connection->UnregisterPhysicalConnection(DeviceObject, m_WavePort, StreamEngineWaveBridgePin,
                                                                    m_TopologyPort, m_TopologyPin);
    } else {
        connectionStatus = connection->UnregisterPhysicalConnection(DeviceObject, m_TopologyPort, m_TopologyPin,
                                                                    m_WavePort, StreamEngineWaveBridgePin);
    }
    // Once the subdevice is gone the port is dropped, whatever became of the connection: a kept
    // port would make the next install believe the subdevice still exists.
    const NTSTATUS subdeviceStatus = subdevice->UnregisterSubdevice(DeviceObject, m_WavePort);
    if (NT_SUCCESS(subdeviceStatus)) {
        m_WavePort->Release();
        m_WavePort = nullptr;
    }
    return !NT_SUCCESS(connectionStatus) ? connectionStatus : subdeviceStatus;
}
