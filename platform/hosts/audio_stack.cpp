// The audio stack client: filters by category, kernel-streaming properties and events with
// guarded buffers, and wave pins streamed by position.
#include <sim/audio_stack.h>

#include <sim/io.h>
#include <sim/pnp.h>
#include <sim/portcls.h>
#include <sim/verifier.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace sim::hosts {
namespace {

constexpr UCHAR kGuardByte = 0xA7;
constexpr size_t kAlignment = 8;

// A buffer whose end is followed by pattern bytes up to the next 8-byte boundary and then by an
// inaccessible page: a write past the length changes the pattern (checked after the request), a
// read or write beyond the pattern faults at once.
class GuardedBuffer {
public:
    GuardedBuffer(const void* data, size_t length, const char* what) : m_length(length), m_what(what) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t padded = (length + kAlignment - 1) / kAlignment * kAlignment;
        m_mapped = (padded + page - 1) / page * page + page;
        m_base = static_cast<UCHAR*>(mmap(nullptr, m_mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (m_base == MAP_FAILED) sim::BugCheck("SIM_NO_MEMORY", "cannot map a guarded %s buffer", what);
        mprotect(m_base + m_mapped - page, page, PROT_NONE);
        m_data = m_base + m_mapped - page - padded;
        std::memset(m_data, kGuardByte, padded);
        if (data != nullptr && length != 0) std::memcpy(m_data, data, length);
        m_padded = padded;
    }
    ~GuardedBuffer() { munmap(m_base, m_mapped); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    UCHAR* Data() { return m_length != 0 ? m_data : nullptr; }
    // Stops the machine when the driver wrote past the length.
    void Check(const char* request) const {
        for (size_t i = m_length; i < m_padded; ++i) {
            if (m_data[i] != kGuardByte) {
                sim::BugCheck("KS_BUFFER_OVERRUN", "%s: the driver wrote past the %zu-byte %s buffer (byte %zu)", request,
                              m_length, m_what, i);
            }
        }
    }

private:
    size_t m_length;
    size_t m_padded = 0;
    size_t m_mapped = 0;
    const char* m_what;
    UCHAR* m_base = nullptr;
    UCHAR* m_data = nullptr;
};

std::string RequestName(const void* request, ULONG length) {
    if (length < sizeof(KSPROPERTY)) return "a short request";
    KSPROPERTY property;
    std::memcpy(&property, request, sizeof(property));
    char text[96];
    std::snprintf(text, sizeof(text), "property {%08X-...} id %u flags 0x%X", static_cast<unsigned>(property.Set.Data1),
                  static_cast<unsigned>(property.Id), static_cast<unsigned>(property.Flags));
    return text;
}

NTSTATUS SendGuarded(PFILE_OBJECT file, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                     ULONG_PTR* returned) {
    GuardedBuffer input(in, inLength, "request");
    GuardedBuffer value(out, outLength, "value");
    ULONG_PTR information = 0;
    NTSTATUS status =
        sim::io::DeviceIoControl(file, code, input.Data(), inLength, value.Data(), outLength, &information);
    std::string name = RequestName(in, inLength);
    input.Check(name.c_str());
    value.Check(name.c_str());
    if (out != nullptr && outLength != 0) std::memcpy(out, value.Data(), outLength);
    if (returned != nullptr) *returned = information;
    return status;
}

KSPROPERTY MakeProperty(const GUID& set, ULONG id, ULONG flags) {
    KSPROPERTY property{};
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    return property;
}

}  // namespace

std::vector<FilterInterface> FindFilters(const GUID& category) {
    std::vector<FilterInterface> found;
    for (const auto& info : sim::pnp::Interfaces(&category, true)) {
        found.push_back(FilterInterface{info.symbolicLink, info.classGuid, info.referenceString});
    }
    return found;
}

std::vector<UCHAR> WaveFormat(ULONG rate, USHORT bits, USHORT channels, bool isFloat, USHORT containerBits) {
    struct {
        KSDATAFORMAT head;
        WAVEFORMATEXTENSIBLE wave;
    } format{};
    static_assert(sizeof(format) == 104);
    format.head.FormatSize = sizeof(format);
    format.head.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    format.head.SubFormat = isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
    format.head.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    const USHORT container =
        isFloat ? 32 : static_cast<USHORT>(containerBits > bits ? containerBits / 8 * 8 : (bits + 7) / 8 * 8);
    format.wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.wave.Format.nChannels = channels;
    format.wave.Format.nSamplesPerSec = rate;
    format.wave.Format.wBitsPerSample = container;
    format.wave.Format.nBlockAlign = static_cast<WORD>(channels * container / 8);
    format.wave.Format.nAvgBytesPerSec = rate * format.wave.Format.nBlockAlign;
    format.wave.Format.cbSize = 22;
    format.wave.Samples.wValidBitsPerSample = isFloat ? 32 : bits;
    // Eight channels as the audio engine states them (7.1 with side pair); other counts take the
    // first positions in order.
    format.wave.dwChannelMask = channels == 8 ? 0x63Fu : channels >= 32 ? 0xFFFFFFFFu : (1u << channels) - 1;
    format.wave.SubFormat = format.head.SubFormat;
    format.head.SampleSize = format.wave.Format.nBlockAlign;
    std::vector<UCHAR> bytes(sizeof(format));
    std::memcpy(bytes.data(), &format, sizeof(format));
    return bytes;
}

// ---- filters ----

NTSTATUS KsFilterClient::Open(std::u16string_view symbolicLink, std::unique_ptr<KsFilterClient>* filter) {
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = sim::io::OpenFile(symbolicLink, &file);
    if (NT_SUCCESS(status)) filter->reset(new KsFilterClient(file));
    return status;
}

KsFilterClient::~KsFilterClient() { sim::io::CloseFile(m_file); }

NTSTATUS KsFilterClient::Property(const void* request, ULONG requestLength, void* value, ULONG valueLength,
                                  ULONG_PTR* returned) {
    return SendGuarded(m_file, IOCTL_KS_PROPERTY, request, requestLength, value, valueLength, returned);
}

NTSTATUS KsFilterClient::PropertyBytes(const void* request, ULONG requestLength, std::vector<UCHAR>* value) {
    ULONG_PTR size = 0;
    NTSTATUS status = Property(request, requestLength, nullptr, 0, &size);
    if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    value->assign(size, 0);
    ULONG_PTR returned = 0;
    status = Property(request, requestLength, value->data(), static_cast<ULONG>(size), &returned);
    if (NT_SUCCESS(status)) value->resize(std::min<size_t>(returned, size));
    return status;
}

NTSTATUS KsFilterClient::PinCount(ULONG* count) {
    KSPROPERTY property = MakeProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET);
    return Property(&property, sizeof(property), count, sizeof(*count));
}

NTSTATUS KsFilterClient::PinValue(ULONG propertyId, ULONG pin, void* value, ULONG valueLength) {
    KSP_PIN request{MakeProperty(KSPROPSETID_Pin, propertyId, KSPROPERTY_TYPE_GET), pin, 0};
    return Property(&request, sizeof(request), value, valueLength);
}

NTSTATUS KsFilterClient::PinDataRanges(ULONG pin, std::vector<std::vector<UCHAR>>* ranges) {
    KSP_PIN request{MakeProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET), pin, 0};
    std::vector<UCHAR> bytes;
    NTSTATUS status = PropertyBytes(&request, sizeof(request), &bytes);
    if (!NT_SUCCESS(status)) return status;
    ranges->clear();
    KSMULTIPLE_ITEM head{};
    if (bytes.size() < sizeof(head)) return STATUS_INVALID_BUFFER_SIZE;
    std::memcpy(&head, bytes.data(), sizeof(head));
    size_t at = sizeof(head);
    for (ULONG i = 0; i < head.Count; ++i) {
        KSDATARANGE range;
        if (bytes.size() - at < sizeof(range)) return STATUS_INVALID_BUFFER_SIZE;
        std::memcpy(&range, bytes.data() + at, sizeof(range));
        if (range.FormatSize < sizeof(range) || range.FormatSize > bytes.size() - at) return STATUS_INVALID_BUFFER_SIZE;
        ranges->emplace_back(bytes.begin() + at, bytes.begin() + at + range.FormatSize);
        at += (range.FormatSize + 7) / 8 * 8;
    }
    return STATUS_SUCCESS;
}

NTSTATUS KsFilterClient::DataIntersection(ULONG pin, const std::vector<UCHAR>& range, std::vector<UCHAR>* format) {
    std::vector<UCHAR> request(sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM) + range.size());
    KSP_PIN head{MakeProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET), pin, 0};
    KSMULTIPLE_ITEM items{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + range.size()), 1};
    std::memcpy(request.data(), &head, sizeof(head));
    std::memcpy(request.data() + sizeof(head), &items, sizeof(items));
    std::memcpy(request.data() + sizeof(head) + sizeof(items), range.data(), range.size());
    return PropertyBytes(request.data(), static_cast<ULONG>(request.size()), format);
}

NTSTATUS KsFilterClient::PinName(ULONG pin, std::u16string* name) {
    KSP_PIN request{MakeProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_NAME, KSPROPERTY_TYPE_GET), pin, 0};
    std::vector<UCHAR> bytes;
    NTSTATUS status = PropertyBytes(&request, sizeof(request), &bytes);
    if (!NT_SUCCESS(status)) return status;
    name->assign(reinterpret_cast<const char16_t*>(bytes.data()), bytes.size() / sizeof(char16_t));
    while (!name->empty() && name->back() == 0) name->pop_back();
    return status;
}

namespace {
template <class Item>
NTSTATUS ReadItems(KsFilterClient& filter, const GUID& set, ULONG id, std::vector<Item>* items) {
    KSPROPERTY property = MakeProperty(set, id, KSPROPERTY_TYPE_GET);
    std::vector<UCHAR> bytes;
    NTSTATUS status = filter.PropertyBytes(&property, sizeof(property), &bytes);
    if (!NT_SUCCESS(status)) return status;
    KSMULTIPLE_ITEM head{};
    if (bytes.size() < sizeof(head)) return STATUS_INVALID_BUFFER_SIZE;
    std::memcpy(&head, bytes.data(), sizeof(head));
    if ((bytes.size() - sizeof(head)) / sizeof(Item) < head.Count) return STATUS_INVALID_BUFFER_SIZE;
    items->resize(head.Count);
    if (head.Count != 0) std::memcpy(items->data(), bytes.data() + sizeof(head), head.Count * sizeof(Item));
    return STATUS_SUCCESS;
}
}  // namespace

NTSTATUS KsFilterClient::Categories(std::vector<GUID>* categories) {
    return ReadItems(*this, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CATEGORIES, categories);
}

NTSTATUS KsFilterClient::Nodes(std::vector<GUID>* types) {
    return ReadItems(*this, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, types);
}

NTSTATUS KsFilterClient::Connections(std::vector<KSTOPOLOGY_CONNECTION>* connections) {
    return ReadItems(*this, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS, connections);
}

NTSTATUS KsFilterClient::EnableEvent(const GUID& set, ULONG id, ULONG node, PKEVENT event,
                                     std::shared_ptr<KSEVENTDATA>* registration) {
    KSE_NODE request{};
    request.Event.Set = set;
    request.Event.Id = id;
    request.Event.Flags = KSEVENT_TYPE_ENABLE | (node != ULONG(-1) ? KSEVENT_TYPE_TOPOLOGY : 0);
    request.NodeId = node;
    auto data = std::make_shared<KSEVENTDATA>();
    data->NotificationType = KSEVENTF_EVENT_OBJECT;
    data->EventObject.Event = event;
    // The event data stays where it is while the event is enabled: the driver side identifies the
    // registration by its address.
    ULONG length = node != ULONG(-1) ? sizeof(KSE_NODE) : sizeof(KSEVENT);
    GuardedBuffer input(&request, length, "event request");
    ULONG_PTR information = 0;
    NTSTATUS status = sim::io::DeviceIoControl(m_file, IOCTL_KS_ENABLE_EVENT, input.Data(), length, data.get(),
                                               sizeof(KSEVENTDATA), &information);
    input.Check("IOCTL_KS_ENABLE_EVENT");
    if (NT_SUCCESS(status)) *registration = data;
    return status;
}

NTSTATUS KsFilterClient::DisableEvent(const std::shared_ptr<KSEVENTDATA>& registration) {
    ULONG_PTR information = 0;
    return sim::io::DeviceIoControl(m_file, IOCTL_KS_DISABLE_EVENT, registration.get(), sizeof(KSEVENTDATA), nullptr,
                                    0, &information);
}

NTSTATUS KsFilterClient::SubscribeControlChange(ULONG node, PKEVENT event, std::shared_ptr<KSEVENTDATA>* registration) {
    return EnableEvent(KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, node, event, registration);
}

ULONG KsFilterClient::EventCount(const std::shared_ptr<KSEVENTDATA>& registration) {
    return registration ? sim::portcls::EventSignals(registration.get()) : 0;
}

// ---- node properties ----

NTSTATUS KsFilterClient::NodeProperty(const GUID& set, ULONG id, ULONG flags, ULONG node, void* value,
                                      ULONG valueLength, ULONG_PTR* returned) {
    KSNODEPROPERTY request{MakeProperty(set, id, flags | KSPROPERTY_TYPE_TOPOLOGY), node, 0};
    return Property(&request, sizeof(request), value, valueLength, returned);
}

NTSTATUS KsFilterClient::ChannelProperty(const GUID& set, ULONG id, ULONG flags, ULONG node, LONG channel,
                                         void* value, ULONG valueLength, ULONG_PTR* returned) {
    KSNODEPROPERTY_AUDIO_CHANNEL request{{MakeProperty(set, id, flags | KSPROPERTY_TYPE_TOPOLOGY), node, 0}, channel, 0};
    return Property(&request, sizeof(request), value, valueLength, returned);
}

NTSTATUS KsFilterClient::NodeInstanceProperty(const GUID& set, ULONG id, ULONG flags, ULONG node,
                                              const std::vector<ULONG>& instance, void* value, ULONG valueLength,
                                              ULONG_PTR* returned) {
    KSNODEPROPERTY head{MakeProperty(set, id, flags | KSPROPERTY_TYPE_TOPOLOGY), node, 0};
    std::vector<UCHAR> request(sizeof(head) + instance.size() * sizeof(ULONG));
    std::memcpy(request.data(), &head, sizeof(head));
    if (!instance.empty()) std::memcpy(request.data() + sizeof(head), instance.data(), instance.size() * sizeof(ULONG));
    return Property(request.data(), static_cast<ULONG>(request.size()), value, valueLength, returned);
}

NTSTATUS KsFilterClient::NodeBasicSupport(const GUID& set, ULONG id, ULONG node, NodePropertySupport* support) {
    *support = NodePropertySupport{};
    constexpr LONG kEveryChannel = -1;
    ULONG access = 0;
    ULONG_PTR returned = 0;
    NTSTATUS status =
        ChannelProperty(set, id, KSPROPERTY_TYPE_BASICSUPPORT, node, kEveryChannel, &access, sizeof(access), &returned);
    if (!NT_SUCCESS(status)) return status;
    if (returned != sizeof(access)) return STATUS_INVALID_BUFFER_SIZE;
    support->accessFlags = access;
    KSPROPERTY_DESCRIPTION description{};
    status = ChannelProperty(set, id, KSPROPERTY_TYPE_BASICSUPPORT, node, kEveryChannel, &description,
                             sizeof(description), &returned);
    if (!NT_SUCCESS(status)) return status;
    if (returned == sizeof(access)) return STATUS_SUCCESS;  // the property has no description
    if (returned != sizeof(description) || description.AccessFlags != access) return STATUS_INVALID_BUFFER_SIZE;
    support->described = true;
    support->description = description;
    if (description.DescriptionSize <= sizeof(description)) return STATUS_SUCCESS;
    // A description past a page is not one the audio stack would read.
    if (description.DescriptionSize > 4096) return STATUS_INVALID_BUFFER_SIZE;
    std::vector<UCHAR> whole(description.DescriptionSize);
    status = ChannelProperty(set, id, KSPROPERTY_TYPE_BASICSUPPORT, node, kEveryChannel, whole.data(),
                             static_cast<ULONG>(whole.size()), &returned);
    if (!NT_SUCCESS(status)) return status;
    if (returned != whole.size()) return STATUS_INVALID_BUFFER_SIZE;
    std::memcpy(&support->description, whole.data(), sizeof(description));
    support->members.assign(whole.begin() + sizeof(description), whole.end());
    if (support->description.MembersListCount == 0 || support->members.size() < sizeof(KSPROPERTY_MEMBERSHEADER)) {
        return STATUS_SUCCESS;
    }
    std::memcpy(&support->header, support->members.data(), sizeof(support->header));
    const size_t listBytes = static_cast<size_t>(support->header.MembersSize) * support->header.MembersCount;
    if (listBytes > support->members.size() - sizeof(support->header)) return STATUS_INVALID_BUFFER_SIZE;
    support->hasMembers = true;
    const auto entries = support->members.begin() + sizeof(support->header);
    support->entries.assign(entries, entries + static_cast<std::ptrdiff_t>(listBytes));
    if (support->header.MembersFlags == KSPROPERTY_MEMBER_STEPPEDRANGES &&
        support->header.MembersSize == sizeof(KSPROPERTY_STEPPING_LONG)) {
        support->ranges.resize(support->header.MembersCount);
        if (listBytes != 0) std::memcpy(support->ranges.data(), support->entries.data(), listBytes);
    }
    return STATUS_SUCCESS;
}

NTSTATUS KsFilterClient::GetChannelValue(const GUID& set, ULONG id, ULONG node, LONG channel, LONG* value) {
    ULONG_PTR returned = 0;
    LONG answer = 0;
    NTSTATUS status = ChannelProperty(set, id, KSPROPERTY_TYPE_GET, node, channel, &answer, sizeof(answer), &returned);
    if (NT_SUCCESS(status) && returned != sizeof(answer)) status = STATUS_INVALID_BUFFER_SIZE;
    if (NT_SUCCESS(status)) *value = answer;
    return status;
}

NTSTATUS KsFilterClient::SetChannelValue(const GUID& set, ULONG id, ULONG node, LONG channel, LONG value) {
    return ChannelProperty(set, id, KSPROPERTY_TYPE_SET, node, channel, &value, sizeof(value));
}

// ---- pins ----

NTSTATUS KsPinClient::Open(KsFilterClient& filter, ULONG pinId, const std::vector<UCHAR>& format,
                           std::unique_ptr<KsPinClient>* pin) {
    KSPIN_CONNECT connect{};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    connect.PinId = pinId;
    connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
    connect.Priority.PrioritySubClass = 1;
    std::vector<UCHAR> bytes(sizeof(connect) + format.size());
    std::memcpy(bytes.data(), &connect, sizeof(connect));
    std::memcpy(bytes.data() + sizeof(connect), format.data(), format.size());
    if (bytes.size() % sizeof(char16_t) != 0) bytes.push_back(0);
    std::u16string name = std::u16string(KSSTRING_Pin) + u"\\";
    name.append(reinterpret_cast<const char16_t*>(bytes.data()), bytes.size() / sizeof(char16_t));
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = sim::io::OpenRelatedFile(filter.File(), name, &file);
    if (NT_SUCCESS(status)) pin->reset(new KsPinClient(filter, file));
    return status;
}

KsPinClient::~KsPinClient() { sim::io::CloseFile(m_file); }

NTSTATUS KsPinClient::SetState(KSSTATE state) {
    KSPROPERTY property = MakeProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET);
    return SendGuarded(m_file, IOCTL_KS_PROPERTY, &property, sizeof(property), &state, sizeof(state), nullptr);
}

NTSTATUS KsPinClient::GetState(KSSTATE* state) {
    KSPROPERTY property = MakeProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET);
    return SendGuarded(m_file, IOCTL_KS_PROPERTY, &property, sizeof(property), state, sizeof(*state), nullptr);
}

NTSTATUS KsPinClient::Position(KSAUDIO_POSITION* position) {
    KSPROPERTY property = MakeProperty(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_GET);
    return SendGuarded(m_file, IOCTL_KS_PROPERTY, &property, sizeof(property), position, sizeof(*position), nullptr);
}

NTSTATUS KsPinClient::SetDataFormat(const std::vector<UCHAR>& format) {
    KSPROPERTY property = MakeProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_SET);
    std::vector<UCHAR> value = format;
    return SendGuarded(m_file, IOCTL_KS_PROPERTY, &property, sizeof(property), value.data(),
                       static_cast<ULONG>(value.size()), nullptr);
}

ULONG KsPinClient::BufferSize() const { return sim::portcls::PinBufferSize(m_file); }

namespace {
// The stream's block alignment, from the data format the pin was opened with.
ULONG BlockAlignOf(PFILE_OBJECT pin, KsFilterClient& filter) {
    KSPROPERTY property = MakeProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_GET);
    UNREFERENCED_PARAMETER(filter);
    UCHAR bytes[sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE)] = {};
    ULONG_PTR returned = 0;
    if (!NT_SUCCESS(SendGuarded(pin, IOCTL_KS_PROPERTY, &property, sizeof(property), bytes, sizeof(bytes), &returned)) ||
        returned < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) {
        return 1;
    }
    WAVEFORMATEX wave;
    std::memcpy(&wave, bytes + sizeof(KSDATAFORMAT), sizeof(wave));
    return std::max<ULONG>(wave.nBlockAlign, 1);
}
}  // namespace

NTSTATUS KsPinClient::Render(const Source& source, sim::machine::Time duration, StreamRunStats* stats) {
    const ULONG size = BufferSize();
    const ULONG block = BlockAlignOf(m_file, m_filter);
    if (size < 2 * block) return STATUS_INVALID_DEVICE_STATE;
    // The engine stays half a buffer ahead of the play position.
    const ULONG lead = size / 2 / block * block;
    std::vector<UCHAR> chunk(size);
    ULONGLONG written = 0;
    // The engine fills whole frames only, up to the last frame boundary before the target.
    auto fill = [&](ULONGLONG target) {
        target = target / block * block;
        while (written < target) {
            const ULONG offset = static_cast<ULONG>(written % size);
            const ULONG length = static_cast<ULONG>(std::min<ULONGLONG>(target - written, size - offset));
            size_t produced = source(chunk.data(), length);
            std::memset(chunk.data() + produced, 0, length - produced);
            sim::portcls::PinWrite(m_file, offset, chunk.data(), length);
            written += length;
            stats->bytes += produced;
        }
    };
    KSSTATE state = KSSTATE_STOP;
    NTSTATUS status = GetState(&state);
    if (!NT_SUCCESS(status)) return status;
    KSAUDIO_POSITION position{};
    status = Position(&position);
    if (!NT_SUCCESS(status)) return status;
    // What an earlier call wrote ahead of the play position stays: the engine goes on from it.
    written = std::max<ULONGLONG>(position.WriteOffset, position.PlayOffset / block * block);
    fill(position.PlayOffset + lead);
    if (state != KSSTATE_RUN) {
        status = SetState(KSSTATE_RUN);
        if (!NT_SUCCESS(status)) return status;
    }
    const sim::machine::Time end = sim::machine::Now() + duration;
    ULONGLONG lastPlay = position.PlayOffset;
    sim::machine::Time lastMove = sim::machine::Now();
    while (sim::machine::Now() < end) {
        sim::machine::RunFor(sim::machine::kMillisecond);
        status = Position(&position);
        if (!NT_SUCCESS(status)) return status;
        if (position.PlayOffset != lastPlay) {
            stats->largestStep = std::max(stats->largestStep, position.PlayOffset - lastPlay);
            lastPlay = position.PlayOffset;
            lastMove = sim::machine::Now();
        } else if (sim::machine::Now() - lastMove >= 10 * sim::machine::kMillisecond) {
            ++stats->positionStalls;
            lastMove = sim::machine::Now();
        }
        fill(position.PlayOffset + lead);
    }
    stats->positionBytes = position.PlayOffset;
    stats->services = sim::portcls::PinServiceCount(m_file);
    return STATUS_SUCCESS;
}

NTSTATUS KsPinClient::Capture(const Sink& sink, sim::machine::Time duration, StreamRunStats* stats) {
    const ULONG size = BufferSize();
    if (size == 0) return STATUS_INVALID_DEVICE_STATE;
    std::vector<UCHAR> chunk(size);
    KSAUDIO_POSITION position{};
    NTSTATUS status = Position(&position);
    if (!NT_SUCCESS(status)) return status;
    // An earlier call's reads end at the write offset; what was captured since is read now.
    ULONGLONG lastPlay = position.PlayOffset;
    ULONGLONG read = std::max<ULONGLONG>(position.WriteOffset, position.PlayOffset > size ? position.PlayOffset - size : 0);
    KSSTATE state = KSSTATE_STOP;
    status = GetState(&state);
    if (NT_SUCCESS(status) && state != KSSTATE_RUN) status = SetState(KSSTATE_RUN);
    if (!NT_SUCCESS(status)) return status;
    const sim::machine::Time end = sim::machine::Now() + duration;
    sim::machine::Time lastMove = sim::machine::Now();
    while (sim::machine::Now() < end) {
        sim::machine::RunFor(sim::machine::kMillisecond);
        status = Position(&position);
        if (!NT_SUCCESS(status)) return status;
        stats->largestStep = std::max(stats->largestStep, position.PlayOffset - std::min(lastPlay, position.PlayOffset));
        lastPlay = position.PlayOffset;
        if (position.PlayOffset == read && sim::machine::Now() - lastMove >= 10 * sim::machine::kMillisecond) {
            ++stats->positionStalls;
            lastMove = sim::machine::Now();
        }
        // More than a buffer behind means data was overwritten before it could be read.
        if (position.PlayOffset - read > size) read = position.PlayOffset - size;
        while (read < position.PlayOffset) {
            const ULONG offset = static_cast<ULONG>(read % size);
            const ULONG length = static_cast<ULONG>(std::min<ULONGLONG>(position.PlayOffset - read, size - offset));
            sim::portcls::PinRead(m_file, offset, chunk.data(), length);
            sink(chunk.data(), length);
            read += length;
            stats->bytes += length;
            lastMove = sim::machine::Now();
        }
    }
    stats->positionBytes = position.PlayOffset;
    stats->services = sim::portcls::PinServiceCount(m_file);
    return STATUS_SUCCESS;
}

}  // namespace sim::hosts
