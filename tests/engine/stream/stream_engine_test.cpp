// StreamEngine set-up: initialisation under pool faults, the formats offered per direction and
// endpoint type, the endpoint type from the path controls, format matching, names, path controls
// and their stages, the client and attached lists, the callback object, and a destructor that
// waits for the last client before it frees anything.
#include "engine/stream_engine_fakes.h"

#include "support/pool_faults.h"

#include <gtest/gtest.h>
#include <sim/machine.h>
#include <sim/pool.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace engine_test;

namespace {

// A path control for the engine, dropped by the test after adding.
void AddPath(EngineRef& Engine, AudioNode* Control) {
    EXPECT_EQ(Engine->AddPathNode(Control), STATUS_SUCCESS);
    Control->Release();
}

AudioNode* Connector(ULONG Id, NodeKind Kind, ULONG Type) {
    return NewNode<FakeConnector>(ConnectorSetup{.id = Id, .kind = NodeKindCode(Kind), .type = Type});
}

TEST(StreamEngineInit, EveryAllocationFailureLeavesNothingBehind) {
    kvtest::ExpectCleanAllocationFailures([] {
        PUNKNOWN unknown = nullptr;
        if (!NT_SUCCESS(NewKernelObject<StreamEngine>(&unknown, nullptr, NonPagedPoolNx, kTestTag, 0))) return false;
        StreamEngine* engine = nullptr;
        EXPECT_EQ(unknown->QueryInterface(IID_StreamEngine, reinterpret_cast<PVOID*>(&engine)), STATUS_SUCCESS);
        unknown->Release();
        const bool ok =
            NT_SUCCESS(engine->Init(StreamDirectionCapture)) && engine->GetDirection() == StreamDirectionCapture;
        engine->Release();
        return ok;
    });
}

TEST(StreamEngineInit, RefusesASecondInitAndAnUnknownDirection) {
    EngineRef engine(StreamDirectionRender, 0, false);
    EXPECT_EQ(engine->Init(2), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(engine->Init(StreamDirectionRender), STATUS_SUCCESS);
    EXPECT_EQ(engine->Init(StreamDirectionRender), STATUS_INVALID_DEVICE_STATE);
}

// Render engines behind a two-channel jack offer only their two-channel records.
TEST(StreamEngineFormats, TwoChannelTypesOfferOnlyTheirTwoChannelRecords) {
    struct Case {
        ULONG direction;
        EndpointType type;
        ULONG expected;
    } cases[] = {
        {StreamDirectionRender, EndpointType::Headphones, 1},
        {StreamDirectionRender, EndpointType::Spdif, 1},
        {StreamDirectionRender, EndpointType::HeadSet, 1},
        {StreamDirectionRender, EndpointType::FrontHeadphones, 1},
        {StreamDirectionRender, EndpointType::Speaker, 3},
        {StreamDirectionRender, EndpointType::Line, 3},
        {StreamDirectionCapture, EndpointType::Headphones, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "direction " << c.direction << " type " << EndpointTypeCode(c.type));
        EngineRef engine(c.direction);
        const NodeKind kind =
            c.direction == StreamDirectionRender ? NodeKind::OutputConnector : NodeKind::InputConnector;
        AddPath(engine, Connector(1, kind, EndpointTypeCode(c.type)));
        for (USHORT channels : {6, 2, 8}) {
            const WAVEFORMATEXTENSIBLE format = MakeFormat(channels, 48000, 16);
            ASSERT_EQ(engine->AddFormat(&format), STATUS_SUCCESS);
        }
        ASSERT_EQ(engine->GetFormatCount(), c.expected);
        WAVEFORMATEXTENSIBLE first{};
        EXPECT_EQ(engine->GetFormat(0, &first), STATUS_SUCCESS);
        EXPECT_EQ(first.Format.nChannels, c.expected == 1 ? 2 : 6);
        EXPECT_EQ(engine->GetFormat(c.expected, &first), STATUS_INVALID_PARAMETER);
    }
}

TEST(StreamEngineType, ComesFromThePathControls) {
    using Kind = NodeKind;
    struct Control {
        Kind kind;
        ULONG type;
        bool typeControl = false;  // a terminal-type control instead of a connector
        bool answers = true;       // the connector answers TerminalInfo
    };
    struct Case {
        const char* name;
        ULONG direction;
        std::vector<Control> path;
        ULONG expected;
    } cases[] = {
        {"capture, two typed inputs", StreamDirectionCapture,
         {{Kind::InputConnector, 7}, {Kind::InputConnector, 6}}, 18},
        {"capture, one typed input", StreamDirectionCapture, {{Kind::InputConnector, 0}, {Kind::InputConnector, 7}}, 7},
        {"capture, output connectors do not count", StreamDirectionCapture, {{Kind::OutputConnector, 2}}, 0},
        {"render, last output connector", StreamDirectionRender,
         {{Kind::OutputConnector, 1}, {Kind::OutputConnector, 6}}, 6},
        {"render, first terminal-type control ends the walk",
         StreamDirectionRender,
         {{Kind::OutputConnector, 2}, {Kind::TerminalType, 17, true}, {Kind::TerminalType, 14, true},
          {Kind::OutputConnector, 6}},
         17},
        {"render, connector without TerminalInfo", StreamDirectionRender,
         {{Kind::OutputConnector, 2, false, false}}, 0},
        {"render, input connectors do not count", StreamDirectionRender, {{Kind::InputConnector, 7}}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineRef engine(c.direction);
        ULONG id = 1;
        for (const Control& control : c.path) {
            if (control.typeControl) {
                AddPath(engine, NewNode<FakeTypeControl>(id++, control.type));
            } else {
                AddPath(engine, NewNode<FakeConnector>(ConnectorSetup{.id = id++,
                                                                      .kind = NodeKindCode(control.kind),
                                                                      .type = control.type,
                                                                      .answersTerminalInfo = control.answers}));
            }
        }
        EXPECT_EQ(engine->GetEndpointType(), c.expected);
    }
}

TEST(StreamEngineFormats, FindFormatMatchesPlainAndExtensibleRecords) {
    EngineRef engine(StreamDirectionRender);
    const WAVEFORMATEXTENSIBLE pcm16 = MakeFormat(2, 48000, 16);
    const WAVEFORMATEXTENSIBLE pcm24in32 = MakeFormat(2, 48000, 32, WAVE_FORMAT_PCM, 24);
    const WAVEFORMATEXTENSIBLE float32 = MakeFormat(2, 48000, 32, WAVE_FORMAT_IEEE_FLOAT);
    // A record that says more follows than 40 bytes hold.
    WAVEFORMATEXTENSIBLE oversized = MakeFormat(4, 96000, 16);
    oversized.Format.cbSize = 0xFFFF;
    const WAVEFORMATEXTENSIBLE* records[] = {&pcm16, &pcm24in32, &float32, &oversized};
    for (const WAVEFORMATEXTENSIBLE* record : records) ASSERT_EQ(engine->AddFormat(record), STATUS_SUCCESS);

    auto plain = [](USHORT tag, USHORT channels, ULONG rate, USHORT bits) {
        WAVEFORMATEX format{};
        format.wFormatTag = tag;
        format.nChannels = channels;
        format.nSamplesPerSec = rate;
        format.wBitsPerSample = bits;
        format.cbSize = 7;  // replaced by 0 on a match
        return format;
    };
    struct PlainCase {
        WAVEFORMATEX asked;
        NTSTATUS expected;
        USHORT blockAlign;
    } plainCases[] = {
        {plain(WAVE_FORMAT_PCM, 2, 48000, 16), STATUS_SUCCESS, 4},
        {plain(WAVE_FORMAT_PCM, 2, 48000, 32), STATUS_SUCCESS, 8},  // the 24-in-32 record
        {plain(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32), STATUS_SUCCESS, 8},
        {plain(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 16), STATUS_NO_MATCH, 0},
        {plain(WAVE_FORMAT_PCM, 2, 44100, 16), STATUS_NO_MATCH, 0},
    };
    for (const PlainCase& c : plainCases) {
        SCOPED_TRACE(testing::Message() << "tag " << c.asked.wFormatTag << " bits " << c.asked.wBitsPerSample);
        // Exactly 18 bytes: a plain caller's record is no larger.
        auto asked = std::make_unique<WAVEFORMATEX>(c.asked);
        EXPECT_EQ(engine->FindFormat(asked.get()), c.expected);
        if (c.expected != STATUS_SUCCESS) {
            EXPECT_EQ(std::memcmp(asked.get(), &c.asked, sizeof(WAVEFORMATEX)), 0);
            continue;
        }
        EXPECT_EQ(asked->wFormatTag, c.asked.wFormatTag);
        EXPECT_EQ(asked->cbSize, 0);
        EXPECT_EQ(asked->nBlockAlign, c.blockAlign);
        EXPECT_EQ(asked->nAvgBytesPerSec, 48000u * c.blockAlign);
    }

    WAVEFORMATEXTENSIBLE otherMask = pcm24in32;
    otherMask.dwChannelMask = 0x33;
    struct ExtensibleCase {
        const char* name;
        WAVEFORMATEXTENSIBLE asked;
        NTSTATUS expected;
    } extensibleCases[] = {
        {"equal record", pcm24in32, STATUS_SUCCESS},
        {"other channel mask", otherMask, STATUS_NO_MATCH},
        {"record claiming more than 40 bytes", oversized, STATUS_SUCCESS},
    };
    for (const ExtensibleCase& c : extensibleCases) {
        SCOPED_TRACE(c.name);
        auto asked = std::make_unique<WAVEFORMATEXTENSIBLE>(c.asked);
        EXPECT_EQ(engine->FindFormat(&asked->Format), c.expected);
        EXPECT_EQ(std::memcmp(asked.get(), &c.asked, sizeof(WAVEFORMATEXTENSIBLE)), 0);
    }

    EngineRef empty(StreamDirectionRender, 0, false);
    WAVEFORMATEX asked = plain(WAVE_FORMAT_PCM, 2, 48000, 16);
    EXPECT_EQ(empty->FindFormat(&asked), STATUS_NO_MATCH);
}

TEST(StreamEngineName, HoldsAtMostFiftyCharacters) {
    EngineRef engine(StreamDirectionRender);
    const std::u16string fifty(50, u'a');
    const std::u16string fiftyOne(51, u'b');
    struct Case {
        const char16_t* name;
        NTSTATUS expected;
        std::u16string after;
    } cases[] = {
        {u"HPOut00", STATUS_SUCCESS, u"HPOut00"},
        {fifty.c_str(), STATUS_SUCCESS, fifty},
        {fiftyOne.c_str(), STATUS_INVALID_PARAMETER, fifty},
        {nullptr, STATUS_INVALID_PARAMETER, fifty},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(engine->SetName(c.name), c.expected);
        WCHAR name[StreamEngineNameChars];
        ASSERT_EQ(engine->GetName(name), STATUS_SUCCESS);
        EXPECT_EQ(std::u16string(name), c.after);
    }
    EXPECT_EQ(engine->GetName(nullptr), STATUS_INVALID_PARAMETER);
}

TEST(StreamEnginePath, ControlsJoinOnceAndTheirStagesWithThem) {
    EngineRef engine(StreamDirectionRender);
    Log events;
    FakeStage* mute = NewNode<FakeStage>("mute", &events, nullptr, 4);
    FakeStage* sameId = NewNode<FakeStage>("same id", &events, nullptr, 4);
    AudioNode* plain = Connector(5, NodeKind::OutputConnector, 1);

    // The stage's list node cannot be had: the control does not stay on the path either.
    sim::pool::FailNthAllocation(2, PointerListTag);
    EXPECT_EQ(engine->AddPathNode(mute), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(engine->GetNodeCount(), 0u);
    EXPECT_EQ(engine->ProcessingCount(), 0u);

    EXPECT_EQ(engine->AddPathNode(mute), STATUS_SUCCESS);
    EXPECT_EQ(engine->AddPathNode(sameId), STATUS_SUCCESS);  // nothing added
    EXPECT_EQ(engine->AddPathNode(plain), STATUS_SUCCESS);
    EXPECT_EQ(engine->AddPathNode(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(engine->GetNodeCount(), 2u);
    EXPECT_EQ(engine->ProcessingCount(), 1u);
    AudioNode* node = nullptr;
    EXPECT_EQ(engine->GetNode(1, &node), STATUS_SUCCESS);
    EXPECT_EQ(node, plain);
    EXPECT_EQ(engine->GetNode(2, &node), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node, nullptr);

    sameId->Release();
    EXPECT_EQ(events, Log{"same id destroyed"});
    mute->Release();
    plain->Release();
    engine.Reset();  // the path and processing lists held the last references
    EXPECT_EQ(events, (Log{"same id destroyed", "mute destroyed"}));
}

// The format and started lists keep descending kinds, the newest client of a kind first.
TEST(StreamEngineClients, ListsKeepKindOrderNewestFirstWithinAKind) {
    EngineRef engine(StreamDirectionRender);
    StreamClient clients[5] = {};
    const ULONG kinds[5] = {3, 5, 3, 1, 5};
    for (ULONG i = 0; i < 5; ++i) {
        clients[i].Kind = kinds[i];
        clients[i].Registration = &clients[i];
        ASSERT_EQ(engine->AddRegisteredClient(&clients[i]), STATUS_SUCCESS);
    }
    for (ClientList list : {ClientList::Format, ClientList::Started}) {
        for (StreamClient& client : clients) ASSERT_EQ(engine->InsertClientByKind(list, &client), STATUS_SUCCESS);
        std::vector<StreamClient*> order;
        while (StreamClient* head = engine->GetHeadClient(list)) {
            order.push_back(head);
            ASSERT_EQ(engine->RemoveClient(list, head->Registration), head);
        }
        EXPECT_EQ(order, (std::vector<StreamClient*>{&clients[4], &clients[1], &clients[2], &clients[0], &clients[3]}));
    }
    // Registration order in the registered list; lookups stay within their list.
    EXPECT_EQ(engine->GetHeadClient(ClientList::Registered), &clients[0]);
    EXPECT_EQ(engine->FindClient(ClientList::Registered, &clients[3]), &clients[3]);
    EXPECT_EQ(engine->FindClient(ClientList::Format, &clients[3]), nullptr);
    EXPECT_EQ(engine->InsertClientByKind(ClientList::Registered, &clients[0]), STATUS_INVALID_PARAMETER);
    for (StreamClient& client : clients) {
        EXPECT_EQ(engine->RemoveClient(ClientList::Registered, client.Registration), &client);
    }
    EXPECT_EQ(engine->GetHeadClient(ClientList::Registered), nullptr);

    // Without pool: invalid when the kind was present, out of resources when it was not.
    ASSERT_EQ(engine->InsertClientByKind(ClientList::Format, &clients[0]), STATUS_SUCCESS);
    sim::pool::FailNthAllocation(1, PointerListTag);
    EXPECT_EQ(engine->InsertClientByKind(ClientList::Format, &clients[2]), STATUS_INVALID_PARAMETER);
    sim::pool::FailNthAllocation(1, PointerListTag);
    EXPECT_EQ(engine->InsertClientByKind(ClientList::Format, &clients[1]), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(engine->RemoveClient(ClientList::Format, clients[0].Registration), &clients[0]);
    EXPECT_EQ(engine->GetHeadClient(ClientList::Format), nullptr);
}

TEST(StreamEngineClients, AttachedObjectsAreHeldUntilDetached) {
    EngineRef engine(StreamDirectionRender);
    Log events;
    FakeStage* stage = NewNode<FakeStage>("attached", &events, nullptr);
    EXPECT_EQ(engine->AttachStage(AttachedList::Second, stage), STATUS_SUCCESS);
    EXPECT_EQ(engine->DetachStage(AttachedList::First, stage), STATUS_UNSUCCESSFUL);
    stage->Release();
    EXPECT_EQ(events, Log{});
    EXPECT_EQ(engine->DetachStage(AttachedList::Second, stage), STATUS_SUCCESS);
    EXPECT_EQ(events, Log{"attached destroyed"});
}

// Clients reach the engine's lists and buffers until they leave: the destructor frees nothing
// before the last one is gone.
TEST(StreamEngineLifetime, DestructionWaitsForTheLastClient) {
    Log events;
    auto engine = std::make_unique<EngineRef>(StreamDirectionRender);
    ASSERT_EQ((*engine)->AllocateWorkBuffers(), STATUS_SUCCESS);
    FakeStage* stage = NewNode<FakeStage>("stage", &events, nullptr);
    ASSERT_EQ((*engine)->AddProcessingStage(stage), STATUS_SUCCESS);
    stage->Release();
    StreamClient client{};
    client.Kind = 3;
    client.Registration = &client;
    ASSERT_EQ((*engine)->AddRegisteredClient(&client), STATUS_SUCCESS);
    ASSERT_EQ((*engine)->InsertClientByKind(ClientList::Started, &client), STATUS_SUCCESS);

    StreamEngine* raw = engine->Get();
    const sim::machine::Time start = sim::machine::Now();
    PKTHREAD leaver = sim::machine::StartThread("client", [&] {
        LARGE_INTEGER delay;
        delay.QuadPart = -120 * 10000LL;  // 120 ms
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        EXPECT_EQ(raw->RemoveClient(ClientList::Started, &client), &client);
        EXPECT_EQ(raw->RemoveClient(ClientList::Registered, &client), &client);
        events.push_back("client left");
    });
    engine.reset();
    EXPECT_GE(sim::machine::Now() - start, 120 * sim::machine::kMillisecond);
    KeWaitForSingleObject(leaver, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(leaver);
    EXPECT_EQ(events, (Log{"client left", "stage destroyed"}));
}

TEST(StreamEngineCallbacks, RegisterOnTheEnginesNamedObject) {
    EngineRef uninitialised(StreamDirectionRender, 0, false);
    PVOID registration = reinterpret_cast<PVOID>(1);
    auto callback = [](PVOID Context, PVOID, PVOID) { ++*static_cast<int*>(Context); };
    int calls = 0;
    EXPECT_EQ(uninitialised->RegisterCallback(callback, &calls, &registration), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(registration, nullptr);

    EngineRef engine(StreamDirectionRender);
    ASSERT_EQ(engine->RegisterCallback(callback, &calls, &registration), STATUS_SUCCESS);
    // The object goes by the engine's address.
    WCHAR name[64];
    ASSERT_EQ(RtlStringCchPrintfW(name, 64, u"\\Callback\\StreamEngineAddr%p", static_cast<PVOID>(engine.Get())),
              STATUS_SUCCESS);
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    PCALLBACK_OBJECT object = nullptr;
    ASSERT_EQ(ExCreateCallback(&object, &attributes, FALSE, TRUE), STATUS_SUCCESS);
    ExNotifyCallback(object, nullptr, nullptr);
    ObDereferenceObject(object);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(engine->UnregisterCallback(registration), STATUS_SUCCESS);
    // Created permanent, the object and its name go with the engine.
    engine.Reset();
    EXPECT_EQ(ExCreateCallback(&object, &attributes, FALSE, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
