// The ASIO service's DSD rate rules on a HAL of the test whose one ASIO endpoint carries a single
// DSD record: a record names the DSD rate rate / container / (channels / 2), a 16-bit container
// rate / 16, and a mono record or one without a container names none.
#include "engine/adapter_machine.h"
#include "engine/stream_engine_fakes.h"

#include "driver/engine/asio/AsioProtocol.h"

namespace {

using namespace adapter_test;

struct DsdRecord {
    USHORT channels;
    USHORT container;
    ULONG samplesPerSec;
};

inline DsdRecord g_Record;

// The catalog device's identity with one render engine flagged for ASIO and the record of the case.
class DsdHal : public FakeHal {
public:
    DsdHal(PUNKNOWN UnknownOuter, USHORT, USHORT) : FakeHal(UnknownOuter) {}

    NTSTATUS Identify() override {
        engine_test::EngineRef engine(0);
        WAVEFORMATEXTENSIBLE record = {};
        record.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        record.Format.nChannels = g_Record.channels;
        record.Format.wBitsPerSample = g_Record.container;
        record.Format.nSamplesPerSec = g_Record.samplesPerSec;
        record.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
        record.Samples.wValidBitsPerSample = g_Record.container;
        record.SubFormat = AsioSubtypeDsd;
        NTSTATUS status = engine->AddFormat(&record);
        if (NT_SUCCESS(status)) status = AddStreamEngine(engine.Get());
        m_EndpointInfo.Flags = EndpointFlagAsio;
        return status;
    }
    ULONG GetStreamEngineCount() override { return AudioHal::GetStreamEngineCount(); }
    NTSTATUS GetEndpointInfo(ULONG EngineIndex, EndpointInfo* Info) override {
        return AudioHal::GetEndpointInfo(EngineIndex, Info);
    }
};

struct DsdCase {
    const char* name;
    DsdRecord record;
    ULONG rate;
    NTSTATUS expected;
};

class AsioDsdRates : public AdapterMachine, public testing::WithParamInterface<DsdCase> {};

TEST_P(AsioDsdRates, RecordMatchesTheRateItNames) {
    const DsdCase& c = GetParam();
    g_Record = c.record;
    ScopedCreators creators(&CapturingCreators<DsdHal, 'dDsT'>);
    Plug("uac1-nochip");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    auto* file = reinterpret_cast<PFILE_OBJECT>(&g_Record);  // any distinct address names the handle
    ASSERT_EQ(m_adapter->CreateClient(file), STATUS_SUCCESS);
    ULONG kind = static_cast<ULONG>(FormatKind::Dsd);
    ASSERT_EQ(m_adapter->SetIoFormat(file, &kind), STATUS_SUCCESS);  // the endpoint carries DSD
    ULONG rate = c.rate;
    EXPECT_EQ(m_adapter->CanSampleRate(file, &rate), c.expected);
    EXPECT_EQ(m_adapter->CloseClient(file), STATUS_SUCCESS);
}

// 2,822,400 Hz is 64 x 44,100: a stereo 32-bit record of 88,200 frames and a 16-bit record of
// 176,400 name it; wider records divide by their channel pairs.
INSTANTIATE_TEST_SUITE_P(
    Records, AsioDsdRates,
    testing::Values(DsdCase{"Stereo32", {2, 32, 88200}, 2822400, STATUS_SUCCESS},
                    DsdCase{"Stereo32OtherRate", {2, 32, 88200}, 5644800, STATUS_UNSUCCESSFUL},
                    DsdCase{"Stereo32Double", {2, 32, 176400}, 5644800, STATUS_SUCCESS},
                    DsdCase{"FourChannels32", {4, 32, 44100}, 2822400, STATUS_SUCCESS},
                    DsdCase{"FourChannelsNotHalved", {4, 32, 88200}, 2822400, STATUS_UNSUCCESSFUL},
                    DsdCase{"Container16IgnoresChannels", {6, 16, 176400}, 2822400, STATUS_SUCCESS},
                    DsdCase{"Container16Mono", {1, 16, 176400}, 2822400, STATUS_SUCCESS},
                    DsdCase{"Container8", {2, 8, 352800}, 2822400, STATUS_SUCCESS},
                    DsdCase{"MonoNeverMatches", {1, 32, 88200}, 2822400, STATUS_UNSUCCESSFUL},
                    DsdCase{"MonoNoRateZero", {1, 32, 0}, 2822400, STATUS_UNSUCCESSFUL},
                    DsdCase{"NoChannels", {0, 32, 0}, 2822400, STATUS_UNSUCCESSFUL},
                    DsdCase{"ContainerZero", {2, 0, 0}, 2822400, STATUS_UNSUCCESSFUL}),
    [](const testing::TestParamInfo<DsdCase>& info) { return std::string(info.param.name); });

}  // namespace
