// The kernel-streaming objects of the port-class library: a filter file per open of a registered
// subdevice, a pin file per stream opened on a filter, and the requests both answer.
#pragma once

#include "portcls_internal.h"

#include <win/ksmedia.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace sim::portcls {

constexpr ULONG kFilterMagic = 'tlFK';  // "KFlt"
constexpr ULONG kPinMagic = 'niPK';     // "KPin"

struct KsFilter;

// The library's member of a stream's service group: every service request is counted and wakes
// whoever waits for the stream to move.
class PinServiceSink final : public IServiceSink {
public:
    STDMETHODIMP QueryInterface(REFIID iid, PVOID* out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override { return --m_refs; }
    STDMETHODIMP_(void) RequestService() override;
    ULONG Services() const { return m_services.load(); }

private:
    std::atomic<ULONG> m_refs{1};  // embedded in its pin, never deleted through Release
    std::atomic<ULONG> m_services{0};
};

// An open pin of a wave-cyclic filter: the miniport's stream, its DMA channel and service group.
struct KsPin {
    ULONG magic = kPinMagic;
    KsFilter* filter = nullptr;   // the filter file's object; the pin file references the filter file
    PFILE_OBJECT filterFile = nullptr;
    ULONG pinId = 0;
    bool capture = false;
    std::vector<UCHAR> format;    // the data format the pin was opened with
    PMINIPORTWAVECYCLICSTREAM stream = nullptr;
    PDMACHANNEL dma = nullptr;
    PSERVICEGROUP serviceGroup = nullptr;
    PinServiceSink sink;
    ULONG framingSize = 0;
    std::mutex lock;              // the state and position bookkeeping
    KSSTATE state = KSSTATE_STOP;
    ULONG lastPosition = 0;       // the miniport's cyclic position at the last query
    ULONGLONG positionTotal = 0;  // bytes the position has moved since the pin left STOP
    ULONGLONG writtenTotal = 0;   // bytes the client moved through the DMA channel
};

// An open filter: the registered port (referenced) and the pins open on it.
struct KsFilter {
    ULONG magic = kFilterMagic;
    PcDevice* device = nullptr;
    PPORT port = nullptr;
    PortSelf* self = nullptr;
    PUNKNOWN miniport = nullptr;  // referenced while the filter is open
    std::mutex lock;
    std::vector<ULONG> pinInstances;  // open pins per pin id
};

KsFilter* FilterOf(PFILE_OBJECT file);
KsPin* PinOf(PFILE_OBJECT file);

// Pins: created from a filter file with the KSPIN_CONNECT and data format that follow the pin's
// create name, closed with their file; state, format and position requests.
NTSTATUS CreatePin(KsFilter* filter, PFILE_OBJECT filterFile, PFILE_OBJECT pinFile, const UCHAR* request,
                   ULONG length);
void ClosePin(KsPin* pin);
// The pin's own properties (connection state and format, audio position); STATUS_NOT_FOUND when
// the property belongs to someone else.
NTSTATUS PinProperty(KsPin* pin, const KSPROPERTY& property, PVOID value, ULONG valueLength, ULONG_PTR* information);

// How many open pins the port has of pinId, over all its filters.
ULONG GlobalPinInstances(PPORT port, ULONG pinId);
void CountGlobalPinInstance(PPORT port, ULONG pinId, int delta);

}  // namespace sim::portcls
