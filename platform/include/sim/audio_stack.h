// The audio stack client: what the operating system's audio stack does with an audio driver. It
// finds filters by category among the enabled device interfaces, opens them through the driver's
// own create dispatch, reads their pins, nodes and connections with kernel-streaming property
// requests, enables events, opens a wave pin in a format, steps it to RUN and moves audio through
// its cyclic buffer by position, as the audio engine does.
//
// Every request buffer it sends is guarded: the bytes after the caller's length are a pattern the
// driver must not change, followed by an inaccessible page, so a handler that writes or reads past
// what it was given stops the machine with the request named.
#pragma once

#include <sim/machine.h>
#include <win/kernel.h>
#include <win/ksmedia.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim::hosts {

// An enabled device interface of a kernel-streaming filter.
struct FilterInterface {
    std::u16string symbolicLink;
    GUID category{};
    std::u16string referenceString;  // the subdevice name
};
// Enabled interfaces of the category, in registration order.
std::vector<FilterInterface> FindFilters(const GUID& category);

// A KSDATAFORMAT followed by a WAVEFORMATEXTENSIBLE (104 bytes) for the given layout; float
// formats use 32-bit IEEE float samples. container: bits per sample container (0: the valid bits
// rounded up to whole bytes), e.g. 24 valid bits in 32.
std::vector<UCHAR> WaveFormat(ULONG rate, USHORT bits, USHORT channels, bool isFloat = false, USHORT container = 0);

class KsFilterClient {
public:
    // Opens the filter behind a device interface link; the status of the create.
    static NTSTATUS Open(std::u16string_view symbolicLink, std::unique_ptr<KsFilterClient>* filter);
    ~KsFilterClient();
    KsFilterClient(const KsFilterClient&) = delete;
    KsFilterClient& operator=(const KsFilterClient&) = delete;

    PFILE_OBJECT File() const { return m_file; }

    // One IOCTL_KS_PROPERTY with guarded buffers: request is the KSPROPERTY (with its instance
    // data), value the value buffer (input for sets, output for gets). *returned receives
    // IoStatus.Information.
    NTSTATUS Property(const void* request, ULONG requestLength, void* value, ULONG valueLength,
                      ULONG_PTR* returned = nullptr);
    // Variable-length answers: asks for the size first, then for the bytes.
    NTSTATUS PropertyBytes(const void* request, ULONG requestLength, std::vector<UCHAR>* value);

    NTSTATUS PinCount(ULONG* count);
    NTSTATUS PinValue(ULONG propertyId, ULONG pin, void* value, ULONG valueLength);
    // The pin's data ranges, each as its bytes.
    NTSTATUS PinDataRanges(ULONG pin, std::vector<std::vector<UCHAR>>* ranges);
    // The format the filter proposes for one of the client's ranges.
    NTSTATUS DataIntersection(ULONG pin, const std::vector<UCHAR>& range, std::vector<UCHAR>* format);
    NTSTATUS PinName(ULONG pin, std::u16string* name);
    NTSTATUS Categories(std::vector<GUID>* categories);
    NTSTATUS Nodes(std::vector<GUID>* types);
    NTSTATUS Connections(std::vector<KSTOPOLOGY_CONNECTION>* connections);

    // Enables an event (node events when node is not ULONG(-1)); the event is signalled on every
    // generated event. The returned registration identifies it for DisableEvent.
    NTSTATUS EnableEvent(const GUID& set, ULONG id, ULONG node, PKEVENT event, std::shared_ptr<KSEVENTDATA>* registration);
    NTSTATUS DisableEvent(const std::shared_ptr<KSEVENTDATA>& registration);
    // The audio control-change event of one node, as the mixer subscribes to it.
    NTSTATUS SubscribeControlChange(ULONG node, PKEVENT event, std::shared_ptr<KSEVENTDATA>* registration);
    // How often the driver raised an enabled event since it was enabled.
    static ULONG EventCount(const std::shared_ptr<KSEVENTDATA>& registration);

    // ---- node properties (KSPROPERTY_TYPE_TOPOLOGY), as the audio stack and the mixer send them ----
    // A KSNODEPROPERTY request; flags take KSPROPERTY_TYPE_TOPOLOGY added.
    NTSTATUS NodeProperty(const GUID& set, ULONG id, ULONG flags, ULONG node, void* value, ULONG valueLength,
                          ULONG_PTR* returned = nullptr);
    // A KSNODEPROPERTY_AUDIO_CHANNEL request.
    NTSTATUS ChannelProperty(const GUID& set, ULONG id, ULONG flags, ULONG node, LONG channel, void* value,
                             ULONG valueLength, ULONG_PTR* returned = nullptr);
    // A KSNODEPROPERTY request followed by instance words (the private sets' indexes and values).
    NTSTATUS NodeInstanceProperty(const GUID& set, ULONG id, ULONG flags, ULONG node, const std::vector<ULONG>& instance,
                                  void* value, ULONG valueLength, ULONG_PTR* returned = nullptr);

    // What basic support told of a node property.
    struct NodePropertySupport {
        ULONG accessFlags = 0;
        bool described = false;                  // a KSPROPERTY_DESCRIPTION came back
        KSPROPERTY_DESCRIPTION description{};
        std::vector<UCHAR> members;              // the bytes after the description
        // The first members list, when there is one: its header and its entries' bytes.
        bool hasMembers = false;
        KSPROPERTY_MEMBERSHEADER header{};
        std::vector<UCHAR> entries;
        // Per-channel stepped ranges, when the first list holds KSPROPERTY_STEPPING_LONG entries.
        std::vector<KSPROPERTY_STEPPING_LONG> ranges;
    };
    // The ladder the audio stack climbs (channel -1, every channel): 4 bytes for the access flags,
    // then the description, then, when it announces more, the whole answer with its members.
    NTSTATUS NodeBasicSupport(const GUID& set, ULONG id, ULONG node, NodePropertySupport* support);
    // A 32-bit value of one channel of a node.
    NTSTATUS GetChannelValue(const GUID& set, ULONG id, ULONG node, LONG channel, LONG* value);
    NTSTATUS SetChannelValue(const GUID& set, ULONG id, ULONG node, LONG channel, LONG value);

private:
    explicit KsFilterClient(PFILE_OBJECT file) : m_file(file) {}
    PFILE_OBJECT m_file;
    friend class KsPinClient;
};

// What a render or capture run saw.
struct StreamRunStats {
    ULONGLONG bytes = 0;           // moved between the client and the cyclic buffer
    ULONGLONG positionBytes = 0;   // the pin's play (render) or capture position at the end
    ULONG positionStalls = 0;      // 10 ms periods in RUN without any position movement
    ULONG services = 0;            // service-group notifications the pin received
    ULONGLONG largestStep = 0;     // the largest position advance between two 1 ms checks
};

class KsPinClient {
public:
    // Opens pin pinId of filter in the data format (KSDATAFORMAT with its wave format).
    static NTSTATUS Open(KsFilterClient& filter, ULONG pinId, const std::vector<UCHAR>& format,
                         std::unique_ptr<KsPinClient>* pin);
    ~KsPinClient();
    KsPinClient(const KsPinClient&) = delete;
    KsPinClient& operator=(const KsPinClient&) = delete;

    PFILE_OBJECT File() const { return m_file; }
    NTSTATUS SetState(KSSTATE state);
    NTSTATUS GetState(KSSTATE* state);
    NTSTATUS Position(KSAUDIO_POSITION* position);
    // A new data format for the open pin (KSPROPERTY_CONNECTION_DATAFORMAT set), outside RUN.
    NTSTATUS SetDataFormat(const std::vector<UCHAR>& format);
    ULONG BufferSize() const;

    // Render: keeps the cyclic buffer filled ahead of the play position with what source produces
    // (source fills the span and answers how many bytes it wrote; fewer means the end, and the
    // rest is silence), for duration of simulated time in RUN, checking the position every
    // millisecond. The pin must be in PAUSE or RUN; it is left in RUN. Fills are whole frames;
    // a later call goes on after what an earlier one wrote ahead (until the pin stops).
    using Source = std::function<size_t(UCHAR* data, size_t length)>;
    NTSTATUS Render(const Source& source, sim::machine::Time duration, StreamRunStats* stats);
    // Capture: collects everything the position passes, for duration of simulated time; a later
    // call goes on where an earlier one stopped reading.
    using Sink = std::function<void(const UCHAR* data, size_t length)>;
    NTSTATUS Capture(const Sink& sink, sim::machine::Time duration, StreamRunStats* stats);

private:
    KsPinClient(KsFilterClient& filter, PFILE_OBJECT file) : m_filter(filter), m_file(file) {}
    KsFilterClient& m_filter;
    PFILE_OBJECT m_file;
};

}  // namespace sim::hosts
