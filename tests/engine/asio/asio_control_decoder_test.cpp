// The device-control decoder of the private ASIO interface, behind a bus device whose dispatch
// hands every request to it with a recording stand-in for the service: length rules per code,
// what Information counts, the zeroed output area, and the 32-bit caller's handles and addresses.
#include "driver/engine/asio/AsioControlDecoder.h"

#include <gtest/gtest.h>
#include <sim/io.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

// Records the operation called and the system buffer it saw; Output (when set) plays the
// operation: writes into the buffer and sets the length.
class RecordingAsio : public AsioPrivateInterface {
public:
    std::string called;
    std::vector<UCHAR> seen;  // the system buffer's first bytes when the operation ran
    ULONGLONG handle = 0;
    ULONG value = 0;
    ULONG length = 0;
    NTSTATUS answer = STATUS_SUCCESS;
    std::function<void(PVOID, PULONG)> output;

    STDMETHODIMP QueryInterface(REFIID, PVOID*) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    NTSTATUS Record(const char* name, PVOID buffer, PULONG len, ULONG seenBytes = 0) {
        called = name;
        if (buffer != nullptr && seenBytes != 0) {
            seen.assign(static_cast<PUCHAR>(buffer), static_cast<PUCHAR>(buffer) + seenBytes);
        }
        if (len != nullptr) length = *len;
        if (output) output(buffer, len);
        return answer;
    }
    STDMETHODIMP CreateClient(PFILE_OBJECT) override { return Record("CreateClient", nullptr, nullptr); }
    STDMETHODIMP Reserved(PFILE_OBJECT) override { return Record("Reserved", nullptr, nullptr); }
    STDMETHODIMP CloseClient(PFILE_OBJECT) override { return Record("CloseClient", nullptr, nullptr); }
    STDMETHODIMP GetDeviceName(PFILE_OBJECT, PVOID b, PULONG l) override { return Record("GetDeviceName", b, l); }
    STDMETHODIMP GetChannels(PFILE_OBJECT, PVOID b, ULONG l) override {
        length = l;
        return Record("GetChannels", b, nullptr);
    }
    STDMETHODIMP GetChannelInfo(PFILE_OBJECT, PVOID b, ULONG l) override {
        length = l;
        return Record("GetChannelInfo", b, nullptr, 52);
    }
    STDMETHODIMP SetNotifyEvent(PFILE_OBJECT, PULONGLONG h) override {
        handle = *h;
        return Record("SetNotifyEvent", nullptr, nullptr);
    }
    STDMETHODIMP ClearNotifyEvent(PFILE_OBJECT) override { return Record("ClearNotifyEvent", nullptr, nullptr); }
    STDMETHODIMP GetState(PFILE_OBJECT, PVOID b) override { return Record("GetState", b, nullptr); }
    STDMETHODIMP GetBitDepths(PFILE_OBJECT, PVOID b, PULONG l) override { return Record("GetBitDepths", b, l); }
    STDMETHODIMP GetLatencyChoices(PFILE_OBJECT, PVOID b, PULONG l) override { return Record("GetLatencyChoices", b, l); }
    STDMETHODIMP SetBitDepth(PFILE_OBJECT, ULONG v) override {
        value = v;
        return Record("SetBitDepth", nullptr, nullptr);
    }
    STDMETHODIMP SetLatency(PFILE_OBJECT, ULONG v) override {
        value = v;
        called = "SetLatency";
        return answer;
    }
    STDMETHODIMP GetLatencies(PFILE_OBJECT, PVOID b) override {
        called += "+GetLatencies";
        if (output) output(b, nullptr);
        return answer;
    }
    STDMETHODIMP GetSampleRate(PFILE_OBJECT, PVOID b) override { return Record("GetSampleRate", b, nullptr, 16); }
    STDMETHODIMP CanSampleRate(PFILE_OBJECT, PULONG v) override {
        value = *v;
        return Record("CanSampleRate", nullptr, nullptr);
    }
    STDMETHODIMP SetSampleRate(PFILE_OBJECT, PULONG v) override {
        value = *v;
        return Record("SetSampleRate", nullptr, nullptr);
    }
    STDMETHODIMP GetBufferSize(PFILE_OBJECT, PVOID b) override { return Record("GetBufferSize", b, nullptr); }
    STDMETHODIMP CreateBuffers(PFILE_OBJECT, PVOID, PVOID t, PULONG l) override { return Record("CreateBuffers", t, l); }
    STDMETHODIMP DisposeBuffers(PFILE_OBJECT) override { return Record("DisposeBuffers", nullptr, nullptr); }
    STDMETHODIMP Start(PFILE_OBJECT, PULONGLONG h) override {
        handle = *h;
        return Record("Start", nullptr, nullptr);
    }
    STDMETHODIMP Stop(PFILE_OBJECT, PIRP) override { return Record("Stop", nullptr, nullptr); }
    STDMETHODIMP CanDoIoFormat(PFILE_OBJECT, PULONG v) override {
        value = *v;
        return Record("CanDoIoFormat", nullptr, nullptr);
    }
    STDMETHODIMP SetIoFormat(PFILE_OBJECT, PULONG v) override {
        value = *v;
        return Record("SetIoFormat", nullptr, nullptr);
    }
    STDMETHODIMP GetIoFormat(PFILE_OBJECT, PVOID b) override { return Record("GetIoFormat", b, nullptr); }
};

class Decoder : public testing::Test {
protected:
    void SetUp() override {
        m_Device = sim::io::CreateBusDevice(
            [this](PDEVICE_OBJECT device, PIRP irp) {
                PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
                if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) return sim::io::Finish(device, irp, STATUS_SUCCESS);
                const NTSTATUS status = DispatchAsioControl(&m_Asio, irp);
                return sim::io::Finish(device, irp, status, irp->IoStatus.Information);
            },
            sim::io::Completion::Synchronous, u"\\Device\\AsioDecoderTest");
        ASSERT_NE(m_Device, nullptr);
    }
    void TearDown() override {
        if (m_Process != nullptr) sim::io::DestroyProcess(m_Process);
        sim::io::DeleteBusDevice(m_Device);
    }

    // Sends the request from a 64-bit or 32-bit process; the output is pre-filled with 0xCC.
    NTSTATUS Send(ULONG code, std::vector<UCHAR> in, ULONG outLength, bool is32bit = false) {
        if (m_Process == nullptr || sim::io::Is32bitProcess(m_Process) != is32bit) {
            if (m_Process != nullptr) sim::io::DestroyProcess(m_Process);
            m_Process = sim::io::CreateProcess(is32bit ? "host32" : "host64", is32bit);
        }
        sim::io::ProcessScope scope(m_Process);
        PFILE_OBJECT file = nullptr;
        EXPECT_EQ(sim::io::OpenFile(u"\\Device\\AsioDecoderTest", &file), STATUS_SUCCESS);
        m_Out.assign(outLength, 0xCC);
        m_Information = 0xDEAD;
        const NTSTATUS status = sim::io::DeviceIoControl(file, code, in.empty() ? nullptr : in.data(),
                                                         static_cast<ULONG>(in.size()),
                                                         outLength != 0 ? m_Out.data() : nullptr, outLength, &m_Information);
        EXPECT_EQ(sim::io::CloseFile(file), STATUS_SUCCESS);
        return status;
    }

    static std::vector<UCHAR> Bytes(std::initializer_list<ULONG> words) {
        std::vector<UCHAR> bytes(words.size() * 4);
        size_t at = 0;
        for (ULONG w : words) {
            std::memcpy(bytes.data() + at, &w, 4);
            at += 4;
        }
        return bytes;
    }

    RecordingAsio m_Asio;
    PDEVICE_OBJECT m_Device = nullptr;
    PEPROCESS m_Process = nullptr;
    std::vector<UCHAR> m_Out;
    ULONG_PTR m_Information = 0;
};

struct LengthCase {
    const char* name;
    ULONG code;
    ULONG in;
    ULONG out;
    bool is32bit;
    NTSTATUS status;  // with the operation answering STATUS_SUCCESS
    const char* called;  // "" when the operation must not run
    ULONG_PTR information;
};

class DecoderLengths : public Decoder, public testing::WithParamInterface<LengthCase> {};

TEST_P(DecoderLengths, RefusesWhatTheCodeCannotCarry) {
    const LengthCase& c = GetParam();
    const NTSTATUS status = Send(c.code, std::vector<UCHAR>(c.in, 0), c.out, c.is32bit);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(m_Asio.called, c.called);
    EXPECT_EQ(m_Information, c.information);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, DecoderLengths,
    testing::Values(
        LengthCase{"ChannelsNeedSixteenBytes", IOCTL_ASIO_GET_CHANNELS, 0, 8, false, STATUS_INVALID_PARAMETER, "", 0},
        LengthCase{"ChannelsAnswerSixteen", IOCTL_ASIO_GET_CHANNELS, 0, 16, false, STATUS_SUCCESS, "GetChannels", 16},
        LengthCase{"ChannelInfoNeedsItsRequest", IOCTL_ASIO_GET_CHANNEL_INFO, 4, 52, false, STATUS_INVALID_PARAMETER, "", 0},
        LengthCase{"ChannelInfoWhole", IOCTL_ASIO_GET_CHANNEL_INFO, 8, 52, false, STATUS_SUCCESS, "GetChannelInfo", 52},
        LengthCase{"NotifyEvent64NeedsEightBytes", IOCTL_ASIO_SET_NOTIFY_EVENT, 4, 0, false, STATUS_INVALID_PARAMETER, "", 0},
        LengthCase{"NotifyEvent32NeedsFourBytes", IOCTL_ASIO_SET_NOTIFY_EVENT, 8, 0, true, STATUS_INVALID_PARAMETER, "", 0},
        LengthCase{"NotifyEvent32", IOCTL_ASIO_SET_NOTIFY_EVENT, 4, 0, true, STATUS_SUCCESS, "SetNotifyEvent", 0},
        LengthCase{"StateSizeQuery", IOCTL_ASIO_GET_STATE, 0, 0, false, STATUS_BUFFER_OVERFLOW, "", 4},
        LengthCase{"StateTooSmall", IOCTL_ASIO_GET_STATE, 0, 2, false, STATUS_BUFFER_TOO_SMALL, "", 0},
        LengthCase{"StateAnswersFour", IOCTL_ASIO_GET_STATE, 0, 16, false, STATUS_SUCCESS, "GetState", 4},
        LengthCase{"BitDepthNeedsAValue", IOCTL_ASIO_SET_BIT_DEPTH, 3, 0, false, STATUS_INVALID_PARAMETER, "", 0},
        LengthCase{"RateNeedsAValue", IOCTL_ASIO_SET_SAMPLE_RATE, 2, 0, false, STATUS_INVALID_PARAMETER, "", 0},
        LengthCase{"CanRateNeedsAValue", IOCTL_ASIO_CAN_SAMPLE_RATE, 0, 0, false, STATUS_INVALID_PARAMETER, "", 0},
        LengthCase{"LatenciesNeedEight", IOCTL_ASIO_GET_LATENCIES, 0, 7, false, STATUS_INVALID_PARAMETER, "", 0},
        LengthCase{"SampleRateNeedsFour", IOCTL_ASIO_GET_SAMPLE_RATE, 0, 3, false, STATUS_INVALID_PARAMETER, "", 0},
        LengthCase{"BufferSizeNeedsSixteen", IOCTL_ASIO_GET_BUFFER_SIZE, 0, 15, false, STATUS_INVALID_PARAMETER, "", 0},
        LengthCase{"BufferSizeAnswersSixteen", IOCTL_ASIO_GET_BUFFER_SIZE, 0, 64, false, STATUS_SUCCESS, "GetBufferSize", 16},
        LengthCase{"CreateBuffersNeedsItsHeader", IOCTL_ASIO_CREATE_BUFFERS, 11, 8, false, STATUS_INVALID_PARAMETER, "", 0},
        LengthCase{"Dispose", IOCTL_ASIO_DISPOSE_BUFFERS, 0, 0, false, STATUS_SUCCESS, "DisposeBuffers", 0},
        LengthCase{"Start64NeedsEight", IOCTL_ASIO_START, 0, 0, false, STATUS_INVALID_PARAMETER, "", 0},
        LengthCase{"StopWithInputStopsNothing", IOCTL_ASIO_STOP, 4, 0, false, STATUS_INVALID_PARAMETER, "", 0},
        LengthCase{"Stop", IOCTL_ASIO_STOP, 0, 0, false, STATUS_SUCCESS, "Stop", 0},
        LengthCase{"ClearWithInput", IOCTL_ASIO_CLEAR_NOTIFY_EVENT, 1, 0, false, STATUS_INVALID_PARAMETER, "", 0},
        LengthCase{"IoFormatNeedsAValue", IOCTL_ASIO_SET_IO_FORMAT, 0, 0, false, STATUS_INVALID_PARAMETER, "", 0},
        LengthCase{"GetIoFormatAnswersFour", IOCTL_ASIO_GET_IO_FORMAT, 0, 8, false, STATUS_SUCCESS, "GetIoFormat", 4},
        LengthCase{"Function812IsNoCode", 0x1DA048, 0, 0, false, STATUS_NOT_SUPPORTED, "", 0},
        LengthCase{"OtherDeviceType", 0x226000, 0, 16, false, STATUS_NOT_SUPPORTED, "", 0}),
    [](const auto& info) { return std::string(info.param.name); });

// The output beyond the input is zero when the operation runs, and Information counts what it
// wrote, not the caller's output length.
TEST_F(Decoder, InformationCountsOnlyWrittenBytes) {
    m_Asio.output = [](PVOID buffer, PULONG) { std::memcpy(buffer, "\x80\xBB\x00\x00", 4); };
    ASSERT_EQ(Send(IOCTL_ASIO_GET_SAMPLE_RATE, {}, 64), STATUS_SUCCESS);
    EXPECT_EQ(m_Information, 4u);
    EXPECT_EQ(m_Asio.seen, std::vector<UCHAR>(16, 0));
    EXPECT_EQ(m_Out[0], 0x80);
    EXPECT_EQ(m_Out[4], 0xCC);  // not copied back

    m_Asio.output = [](PVOID buffer, PULONG) { std::memset(buffer, 7, 8); };
    ASSERT_EQ(Send(IOCTL_ASIO_SET_LATENCY, Bytes({4}), 44), STATUS_SUCCESS);
    EXPECT_EQ(m_Asio.called, "SetLatency+GetLatencies");
    EXPECT_EQ(m_Asio.value, 4u);
    EXPECT_EQ(m_Information, 8u);
    ASSERT_EQ(Send(IOCTL_ASIO_SET_LATENCY, Bytes({4}), 7), STATUS_SUCCESS);
    EXPECT_EQ(m_Asio.called, "SetLatency");
    EXPECT_EQ(m_Information, 0u);
}

// Size queries: an empty output asks, the operation's needed size comes back with the warning;
// an operation that reports more than the caller's room is held to the room.
TEST_F(Decoder, SizeQueriesAnswerTheNeededSize) {
    m_Asio.answer = STATUS_BUFFER_OVERFLOW;
    m_Asio.output = [](PVOID buffer, PULONG length) {
        EXPECT_EQ(buffer, nullptr);
        *length = 24;
    };
    EXPECT_EQ(Send(IOCTL_ASIO_GET_DEVICE_NAME, {}, 0), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(m_Information, 24u);

    m_Asio.answer = STATUS_SUCCESS;
    m_Asio.output = [](PVOID buffer, PULONG length) {
        std::memset(buffer, 'a', 6);
        *length = 100;
    };
    EXPECT_EQ(Send(IOCTL_ASIO_GET_BIT_DEPTHS, {}, 6), STATUS_SUCCESS);
    EXPECT_EQ(m_Asio.length, 6u);
    EXPECT_EQ(m_Information, 6u);

    m_Asio.answer = STATUS_BUFFER_TOO_SMALL;
    m_Asio.output = [](PVOID, PULONG length) { *length = 44; };
    EXPECT_EQ(Send(IOCTL_ASIO_GET_LATENCY_CHOICES, {}, 8), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(m_Information, 0u);
}

// Handles: a 32-bit caller's 4 bytes are zero-extended, a 64-bit caller's 8 bytes pass whole.
TEST_F(Decoder, HandlesFollowTheCallersWidth) {
    ASSERT_EQ(Send(IOCTL_ASIO_START, Bytes({0x89ABCDEF}), 0, true), STATUS_SUCCESS);
    EXPECT_EQ(m_Asio.handle, 0x89ABCDEFull);
    ASSERT_EQ(Send(IOCTL_ASIO_SET_NOTIFY_EVENT, Bytes({0x1234, 0x5678}), 0, false), STATUS_SUCCESS);
    EXPECT_EQ(m_Asio.handle, 0x0000567800001234ull);
}

// CREATE_BUFFERS: the channel entries the header announces must all be there (counted without
// overflow); a 32-bit caller gets addresses in 4 bytes, and rings it cannot reach are disposed.
TEST_F(Decoder, CreateBuffersChecksTheRequestAndNarrowsAddresses) {
    EXPECT_EQ(Send(IOCTL_ASIO_CREATE_BUFFERS, Bytes({28, 2, 256, 0, 0}), 16), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_Asio.called, "");
    EXPECT_EQ(Send(IOCTL_ASIO_CREATE_BUFFERS, Bytes({12, 0x20000000, 256}), 16), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(IOCTL_ASIO_CREATE_BUFFERS, Bytes({12, 0xFFFFFFFF, 256}), 16), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_Asio.called, "");

    ULONGLONG addresses[2] = {0x0000000112345678ull, 0x00000002ABCD0000ull};
    m_Asio.output = [&addresses](PVOID table, PULONG length) {
        if (table == nullptr) return;
        std::memcpy(table, addresses, sizeof(addresses));
        *length = 16;
    };
    ASSERT_EQ(Send(IOCTL_ASIO_CREATE_BUFFERS, Bytes({28, 2, 256, 0, 0, 1, 0}), 16), STATUS_SUCCESS);
    EXPECT_EQ(m_Information, 16u);
    EXPECT_EQ(Send(IOCTL_ASIO_CREATE_BUFFERS, Bytes({20, 1, 256, 0, 0}), 8, true), STATUS_INVALID_ADDRESS);
    EXPECT_EQ(m_Asio.called, "DisposeBuffers");
    EXPECT_EQ(m_Information, 0u);

    addresses[0] = 0x12345678ull;
    addresses[1] = 0xABCD0000ull;
    ASSERT_EQ(Send(IOCTL_ASIO_CREATE_BUFFERS, Bytes({20, 1, 256, 0, 0}), 8, true), STATUS_SUCCESS);
    EXPECT_EQ(m_Asio.length, 16u);  // the doubled table
    EXPECT_EQ(m_Information, 8u);
    ULONG low[2];
    std::memcpy(low, m_Out.data(), 8);
    EXPECT_EQ(low[0], 0x12345678u);
    EXPECT_EQ(low[1], 0xABCD0000u);
}

}  // namespace
