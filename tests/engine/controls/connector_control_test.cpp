// Connector and mixer controls: what they copy from their terminal (types, jack records, current
// type, pin record), what TerminalInfo hands out of it and within which bounds, how a refresh
// follows a changed jack count, the mixer's input mode, and the endpoint types of USB terminals.
#include "driver/engine/controls/ConnectorControl.h"
#include "driver/engine/interfaces/EndpointType.h"
#include "driver/engine/controls/MixerControl.h"
#include "support/pool_faults.h"
#include "engine/structure_control_fakes.h"

#include <gtest/gtest.h>
#include <sim/pool.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

using namespace structure_test;

JackRecord Jack(ULONG channelMapping, ULONG isConnected) {
    return JackRecord{.ChannelMapping = channelMapping, .Color = 0xFF0000, .ConnectionType = 1, .GeoLocation = 1,
                      .GenLocation = 0, .PortConnection = 0, .JackFlags = 0, .IsConnected = isConnected,
                      .Reserved = 1};
}

bool SameJacks(const std::vector<JackRecord>& a, const std::vector<JackRecord>& b) {
    if (a.size() != b.size()) return false;
    return a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(JackRecord)) == 0;
}

const EndpointInfo kPin = {.Capabilities = 0x1234, .Reserved1 = {}, .Value = 0x1122334455667788ull,
                           .Flags = EndpointFlagAsio, .Reserved2 = 0};

class ConnectorControlTest : public testing::Test {
protected:
    ConnectorControlTest() : unit(MakeKernelObject<FakeTerminalUnit>(4u, &log)) {
        unit->types = {1, 2, 6};
        unit->current = 2;
        unit->jacks[0] = {Jack(3, 1), Jack(12, 0)};
        unit->jacks[1] = {Jack(3, 0)};
    }

    static TerminalInfo* Info(AudioNode* control) {
        TerminalInfo* info = nullptr;
        EXPECT_EQ(control->QueryInterface(IID_TerminalInfo, reinterpret_cast<PVOID*>(&info)), STATUS_SUCCESS);
        if (info != nullptr) info->Release();
        return info;
    }
    static ULONG Type(TerminalInfo* info) {
        ULONG type = 0xEE;
        EXPECT_EQ(info->GetTerminalType(&type), STATUS_SUCCESS);
        return type;
    }
    static std::vector<ULONG> Types(TerminalInfo* info) {
        ULONG count = 0;
        EXPECT_EQ(info->GetTypeCount(&count), STATUS_SUCCESS);
        std::vector<ULONG> types(TerminalMaxTypes, 0xEE);
        EXPECT_EQ(info->GetTypeList(types.data()), STATUS_SUCCESS);
        types.resize(count);
        return types;
    }
    static std::vector<JackRecord> Jacks(TerminalInfo* info) {
        ULONG count = 0;
        EXPECT_EQ(info->GetJackCount(&count, 0), STATUS_SUCCESS);
        std::vector<JackRecord> jacks(count);
        if (count != 0) {
            EXPECT_EQ(info->GetJackDescriptions(count * sizeof(JackRecord), jacks.data(), 0), STATUS_SUCCESS);
        }
        return jacks;
    }
    static std::vector<ULONG> Sources(AudioNode* node) {
        std::vector<ULONG> ids(8, 0xEE);
        ULONG count = static_cast<ULONG>(ids.size());
        EXPECT_EQ(node->GetSources(&count, ids.data()), STATUS_SUCCESS);
        ids.resize(count);
        return ids;
    }
    KernelHolder<InputConnectorControl> NewInput(NTSTATUS expected = STATUS_SUCCESS) {
        auto control = MakeKernelObject<InputConnectorControl>(9u);
        EXPECT_EQ(control->InitInputConnector(unit->AsUnit(), &kPin), expected);
        return control;
    }
    KernelHolder<OutputConnectorControl> NewOutput(ULONG typeIndex, NTSTATUS expected = STATUS_SUCCESS) {
        auto control = MakeKernelObject<OutputConnectorControl>(9u);
        control->SetTypeIndex(typeIndex);
        EXPECT_EQ(control->InitOutputConnector(unit->AsUnit(), &kPin), expected);
        return control;
    }

    CallLog log;
    KernelHolder<FakeTerminalUnit> unit;
};

TEST_F(ConnectorControlTest, InputConnectorCopiesItsTerminalAndHasNoSources) {
    auto control = NewInput();
    TerminalInfo* info = Info(control.get());
    EXPECT_EQ(control->GetNodeKind(), NodeKindCode(NodeKind::InputConnector));
    EXPECT_EQ(Type(info), 2u);
    EXPECT_EQ(Types(info), (std::vector<ULONG>{1, 2, 6}));
    EXPECT_TRUE(SameJacks(Jacks(info), unit->jacks[0]));
    EXPECT_EQ(control->GetSourceCount(), 0u);
    EndpointInfo pin = {};
    EXPECT_EQ(info->GetPinRecord(&pin), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&pin, &kPin, sizeof(pin)), 0);

    // The copies stand: a later change of the terminal shows only after a refresh.
    unit->current = 6;
    EXPECT_EQ(Type(info), 2u);
    EXPECT_EQ(info->SelectType(6), STATUS_SUCCESS);
    EXPECT_EQ(Type(info), 6u);
    EXPECT_EQ(info->SelectType(7), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Type(info), 6u);
}

TEST_F(ConnectorControlTest, JackDescriptionsAreCopiedWithinTheCallersSize) {
    auto control = NewInput();
    TerminalInfo* info = Info(control.get());
    constexpr ULONG kHeld = 2 * sizeof(JackRecord);
    struct Case {
        ULONG size;
        bool buffer;
        NTSTATUS status;
        ULONG copied;
    };
    for (const Case c : {Case{0, true, STATUS_INVALID_PARAMETER, 0}, Case{40, false, STATUS_INVALID_PARAMETER, 0},
                         Case{10, true, STATUS_SUCCESS, 10}, Case{kHeld, true, STATUS_SUCCESS, kHeld},
                         Case{kHeld + 30, true, STATUS_SUCCESS, kHeld}}) {
        SCOPED_TRACE(c.size);
        std::vector<uint8_t> buffer(kHeld + 40, 0xEE);
        EXPECT_EQ(info->GetJackDescriptions(c.size, c.buffer ? buffer.data() : nullptr, 0), c.status);
        EXPECT_EQ(std::memcmp(buffer.data(), unit->jacks[0].data(), c.copied), 0);
        for (size_t i = c.copied; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << i;
    }

    // A connector without jacks describes none.
    unit->jacks[0].clear();
    auto bare = NewInput();
    std::vector<uint8_t> buffer(64, 0xEE);
    EXPECT_EQ(Info(bare.get())->GetJackDescriptions(64, buffer.data(), 0), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(info->GetTerminalType(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(info->GetTypeCount(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(info->GetTypeList(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(info->GetJackCount(nullptr, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(info->GetPinRecord(nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(ConnectorControlTest, OutputConnectorStandsForTheOneTypeAtItsIndex) {
    struct Case {
        ULONG index;
        NTSTATUS status;
        ULONG type;
    };
    // An index past the terminal's list is refused rather than read past it.
    for (const Case c : {Case{0, STATUS_SUCCESS, 1}, Case{1, STATUS_SUCCESS, 2}, Case{2, STATUS_SUCCESS, 6},
                         Case{3, STATUS_INVALID_PARAMETER, 0}}) {
        SCOPED_TRACE(c.index);
        auto control = NewOutput(c.index, c.status);
        if (!NT_SUCCESS(c.status)) continue;
        TerminalInfo* info = Info(control.get());
        EXPECT_EQ(control->GetNodeKind(), NodeKindCode(NodeKind::OutputConnector));
        EXPECT_EQ(Type(info), c.type);
        EXPECT_EQ(Types(info), std::vector<ULONG>{c.type});
        EXPECT_TRUE(SameJacks(Jacks(info), unit->jacks[c.index]));
        EXPECT_EQ(Sources(control.get()), std::vector<ULONG>{0});
    }
}

TEST_F(ConnectorControlTest, TerminalsWithoutTypesOrWithTooManyMakeNoConnector) {
    for (const std::vector<ULONG>& types : {std::vector<ULONG>{}, std::vector<ULONG>{1, 2, 3, 6, 8, 9}}) {
        SCOPED_TRACE(types.size());
        unit->types = types;
        NewInput(STATUS_INSUFFICIENT_RESOURCES);
        NewOutput(0, STATUS_INSUFFICIENT_RESOURCES);
    }
}

TEST_F(ConnectorControlTest, RefreshFollowsTheJackCountAndOnlyTheInputRereadsItsType) {
    auto input = NewInput();
    auto output = NewOutput(1);
    TerminalInfo* inputInfo = Info(input.get());
    TerminalInfo* outputInfo = Info(output.get());
    unit->current = 6;
    // Grow, keep, shrink to none and grow again: each refresh shows exactly the unit's records.
    const std::vector<std::vector<JackRecord>> steps = {
        {Jack(1, 1), Jack(2, 0), Jack(4, 1)}, {Jack(1, 0), Jack(2, 1), Jack(4, 0)}, {}, {Jack(8, 1)}};
    for (size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        unit->jacks[0] = steps[i];
        unit->jacks[1] = steps[i];
        EXPECT_EQ(input->RefreshValues(), STATUS_SUCCESS);
        EXPECT_EQ(output->RefreshValues(), STATUS_SUCCESS);
        EXPECT_TRUE(SameJacks(Jacks(inputInfo), steps[i]));
        EXPECT_TRUE(SameJacks(Jacks(outputInfo), steps[i]));
    }
    EXPECT_EQ(Type(inputInfo), 6u);
    EXPECT_EQ(Type(outputInfo), 2u);
}

TEST_F(ConnectorControlTest, EveryAllocationFailureOfAConnectorOrMixerIsCleanAndAFailedRefreshLeavesNoJacks) {
    kvtest::ExpectCleanAllocationFailures([&] {
        auto control = TryMakeKernelObject<InputConnectorControl>(9u);
        return control != nullptr && NT_SUCCESS(control->InitInputConnector(unit->AsUnit(), &kPin));
    });
    kvtest::ExpectCleanAllocationFailures([&] {
        auto control = TryMakeKernelObject<OutputConnectorControl>(9u);
        return control != nullptr && NT_SUCCESS(control->InitOutputConnector(unit->AsUnit(), &kPin));
    });
    unit->SetSources(2, std::vector<ULONG>{21, 22}.data());
    kvtest::ExpectCleanAllocationFailures([&] {
        auto mixer = TryMakeKernelObject<MixerControlNode>(9u);
        return mixer != nullptr && NT_SUCCESS(mixer->InitMixer(unit->AsUnit()));
    });

    auto control = NewInput();
    unit->jacks[0].push_back(Jack(16, 1));
    sim::pool::FailAllocationsWithTag(ConnectorControlTag);
    EXPECT_EQ(control->RefreshValues(), STATUS_INSUFFICIENT_RESOURCES);
    sim::pool::DisarmFaults();
    EXPECT_TRUE(Jacks(Info(control.get())).empty());
}

// The status thread refreshes a connector's jacks while the property path copies them: every copy
// is one whole set of records, never a block half written or already freed.
TEST_F(ConnectorControlTest, JackReadersRacingARefreshSeeWholeRecordSets) {
    const std::vector<JackRecord> sets[] = {{Jack(1, 1), Jack(1, 0), Jack(1, 1)}, {Jack(2, 0)}};
    unit->jacks[0] = sets[1];
    auto control = NewOutput(0);
    TerminalInfo* info = Info(control.get());
    std::atomic<bool> done{false};
    std::atomic<int> copies{0};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done.load()) {
            ULONG count = 0;
            EXPECT_EQ(info->GetJackCount(&count, 0), STATUS_SUCCESS);
            JackRecord copy[3] = {};
            if (info->GetJackDescriptions(sizeof(copy), copy, 0) != STATUS_SUCCESS) continue;
            ++copies;
            const ULONG mapping = copy[0].ChannelMapping;
            const ULONG whole = mapping == 1 ? 3 : 1;
            for (ULONG i = 0; i < whole; ++i) {
                if ((mapping != 1 && mapping != 2) || copy[i].ChannelMapping != mapping) ++torn;
            }
        }
    });
    for (int i = 0; i < 2000 || copies.load() < 100; ++i) {
        unit->jacks[0] = sets[i % 2];
        EXPECT_EQ(control->RefreshValues(), STATUS_SUCCESS);
        log.clear();
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

TEST_F(ConnectorControlTest, MixerInInputModeIsAStereoMixConnectorAndGetsItsSourcesBackAfter) {
    unit->SetSources(3, std::vector<ULONG>{21, 22, 23}.data());
    auto mixer = MakeKernelObject<MixerControlNode>(9u);
    ASSERT_EQ(mixer->InitMixer(unit->AsUnit()), STATUS_SUCCESS);
    PVOID answer = nullptr;
    EXPECT_EQ(mixer->GetNodeKind(), NodeKindCode(NodeKind::Mixer));
    EXPECT_EQ(Sources(mixer.get()), (std::vector<ULONG>{0, 0, 0}));
    EXPECT_EQ(mixer->QueryInterface(IID_TerminalInfo, &answer), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(answer, nullptr);

    // The unit writes the real ids through SetSources.
    ASSERT_EQ(mixer->SetSources(3, std::vector<ULONG>{31, 32, 33}.data()), STATUS_SUCCESS);
    MixerControl* mode = nullptr;
    ASSERT_EQ(mixer->QueryInterface(IID_MixerControl, reinterpret_cast<PVOID*>(&mode)), STATUS_SUCCESS);
    mode->Release();

    EXPECT_EQ(mode->SetInputMode(TRUE), STATUS_SUCCESS);
    EXPECT_EQ(mixer->GetNodeKind(), NodeKindCode(NodeKind::InputConnector));
    EXPECT_EQ(mixer->GetSourceCount(), 0u);
    TerminalInfo* info = Info(mixer.get());
    EXPECT_EQ(Type(info), EndpointTypeCode(EndpointType::StereoMix));
    EXPECT_EQ(Types(info), std::vector<ULONG>{16});
    EXPECT_TRUE(SameJacks(Jacks(info), {MixerJackRecord}));

    EXPECT_EQ(mode->SetInputMode(FALSE), STATUS_SUCCESS);
    EXPECT_EQ(mixer->GetNodeKind(), NodeKindCode(NodeKind::Mixer));
    EXPECT_EQ(Sources(mixer.get()), (std::vector<ULONG>{31, 32, 33}));
}

TEST(EndpointTypeTest, UsbTerminalTypesMapOntoEndpointTypes) {
    struct Case {
        USHORT terminal;
        ULONG input;
        ULONG output;
    };
    const Case cases[] = {
        {0x0201, 7, 1},  {0x0202, 11, 1}, {0x0302, 2, 2},  {0x0401, 13, 13}, {0x0402, 14, 14},
        {0x0601, 6, 6},  {0x0603, 6, 6},  {0x0605, 3, 3},  {0x0301, 6, 1},   {0x0101, 6, 1},
        {0x0000, 6, 1},  {0xFFFF, 6, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.terminal);
        EXPECT_EQ(EndpointTypeOfInputTerminal(c.terminal), c.input);
        EXPECT_EQ(EndpointTypeOfOutputTerminal(c.terminal), c.output);
    }
}

}  // namespace
