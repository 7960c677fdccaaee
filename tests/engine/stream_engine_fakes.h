// Stand-ins around a StreamEngine: an engine whose current format the test sets, connector and
// terminal-type controls with the types and jack states the test gives, and processing stages
// whose work the test writes.
#pragma once

#include "driver/engine/stream/StreamEngine.h"
#include "driver/engine/interfaces/TerminalInfo.h"
#include "driver/engine/controls/TerminalTypeControl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace engine_test {

constexpr ULONG kTestTag = 'tsET';

// The engine with its stream-owned state opened to the test.
class TestEngine : public StreamEngine {
public:
    TestEngine(PUNKNOWN UnknownOuter, ULONG Index) : StreamEngine(UnknownOuter, Index) {}
    void SetCurrentFormat(const WAVEFORMATEXTENSIBLE& Format) { m_CurrentWaveFormat = Format; }
    bool HasWavePort() const { return m_WavePort != nullptr; }
    PUNKNOWN WavePort() const { return m_WavePort; }
    ULONG ProcessingCount() const { return m_ProcessingList != nullptr ? m_ProcessingList->GetCount() : 0; }
};

// One reference on an engine, created and initialised for a direction.
class EngineRef {
public:
    explicit EngineRef(ULONG Direction, ULONG Index = 0, bool Init = true) {
        PUNKNOWN unknown = nullptr;
        EXPECT_EQ(NewKernelObject<TestEngine>(&unknown, nullptr, NonPagedPoolNx, kTestTag, Index), STATUS_SUCCESS);
        StreamEngine* engine = nullptr;
        EXPECT_EQ(unknown->QueryInterface(IID_StreamEngine, reinterpret_cast<PVOID*>(&engine)), STATUS_SUCCESS);
        unknown->Release();
        m_Engine = static_cast<TestEngine*>(engine);
        if (Init) {
            EXPECT_EQ(m_Engine->Init(Direction), STATUS_SUCCESS);
        }
    }
    ~EngineRef() { Reset(); }
    EngineRef(const EngineRef&) = delete;
    EngineRef& operator=(const EngineRef&) = delete;

    TestEngine* operator->() const { return m_Engine; }
    TestEngine* Get() const { return m_Engine; }
    void Reset() {
        if (m_Engine != nullptr) m_Engine->Release();
        m_Engine = nullptr;
    }

private:
    TestEngine* m_Engine = nullptr;
};

// A 40-byte extensible record: the tag's sub-format, block alignment from the container bits.
inline WAVEFORMATEXTENSIBLE MakeFormat(USHORT Channels, ULONG Rate, USHORT Bits, USHORT Tag = WAVE_FORMAT_PCM,
                                       USHORT ValidBits = 0) {
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = Channels;
    format.Format.nSamplesPerSec = Rate;
    format.Format.nBlockAlign = static_cast<WORD>(Channels * Bits / 8);
    format.Format.nAvgBytesPerSec = Rate * format.Format.nBlockAlign;
    format.Format.wBitsPerSample = Bits;
    format.Format.cbSize = 22;
    format.Samples.wValidBitsPerSample = ValidBits != 0 ? ValidBits : Bits;
    format.dwChannelMask = Channels == 2 ? 3 : 0;
    format.SubFormat = {Tag, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    return format;
}

// ---- Controls ----

struct ConnectorSetup {
    ULONG id = 0;
    ULONG kind = NodeKindCode(NodeKind::OutputConnector);
    ULONG type = 1;                       // endpoint type now in force
    std::vector<ULONG> connected = {};    // IsConnected word per jack record; empty: no jacks
    bool answersTerminalInfo = true;
    NTSTATUS jackCount = STATUS_SUCCESS;  // what GetJackCount answers
};

class FakeConnector : public AudioNode, public TerminalInfo {
public:
    DECLARE_KERNEL_UNKNOWN() {
        if (m_Setup.answersTerminalInfo) {
            const KernelInterface answers[] = {{IID_TerminalInfo, static_cast<TerminalInfo*>(this)}};
            if (NT_SUCCESS(AnswerQuery(InterfaceId, Interface, answers))) return STATUS_SUCCESS;
        }
        return AudioNode::NonDelegatingQueryInterface(InterfaceId, Interface);
    }
    FakeConnector(PUNKNOWN UnknownOuter, const ConnectorSetup& Setup)
        : AudioNode(UnknownOuter, Setup.id, Setup.kind), m_Setup(Setup) {}

    void SetConnected(std::vector<ULONG> Connected) { m_Setup.connected = std::move(Connected); }

    STDMETHODIMP GetTerminalType(PULONG Type) override {
        *Type = m_Setup.type;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetTypeCount(PULONG Count) override {
        *Count = 1;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetTypeList(PULONG Types) override {
        Types[0] = m_Setup.type;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP SelectType(ULONG) override { return STATUS_INVALID_PARAMETER; }
    STDMETHODIMP GetJackCount(PULONG Count, ULONG) override {
        *Count = static_cast<ULONG>(m_Setup.connected.size());
        return m_Setup.jackCount;
    }
    STDMETHODIMP GetJackDescriptions(ULONG ByteSize, PVOID Buffer, ULONG) override {
        if (ByteSize == 0 || Buffer == nullptr || m_Setup.connected.empty()) return STATUS_INVALID_PARAMETER;
        std::vector<JackRecord> records(m_Setup.connected.size());
        for (size_t i = 0; i < records.size(); ++i) {
            records[i].IsConnected = m_Setup.connected[i];
            records[i].Color = 0xFFFFFFFF;  // set bits elsewhere in the record must not count
        }
        const size_t bytes = records.size() * sizeof(JackRecord);
        std::memcpy(Buffer, records.data(), ByteSize < bytes ? ByteSize : bytes);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetPinRecord(EndpointInfo* Record) override {
        *Record = {};
        return STATUS_SUCCESS;
    }

private:
    ConnectorSetup m_Setup;
};

class FakeTypeControl : public AudioNode, public TerminalTypeControl {
public:
    DECLARE_KERNEL_UNKNOWN() {
        const KernelInterface answers[] = {{IID_TerminalTypeControl, static_cast<TerminalTypeControl*>(this)}};
        if (NT_SUCCESS(AnswerQuery(InterfaceId, Interface, answers))) return STATUS_SUCCESS;
        return AudioNode::NonDelegatingQueryInterface(InterfaceId, Interface);
    }
    FakeTypeControl(PUNKNOWN UnknownOuter, ULONG Id, ULONG Type)
        : AudioNode(UnknownOuter, Id, NodeKindCode(NodeKind::TerminalType)), m_Type(Type) {}

    STDMETHODIMP GetType(PULONG Type) override {
        *Type = m_Type;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetTypeCount(PULONG Count) override {
        *Count = 1;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetTypeList(PULONG Types) override {
        Types[0] = m_Type;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP SelectType(ULONG Type) override {
        m_Type = Type;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(ULONG) IsChangePending() override { return m_Pending; }
    STDMETHODIMP ClearChangePending() override {
        m_Pending = 0;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP AddListener(TerminalTypeListener*) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP Init(ULONG, ULONG, const ULONG*) override { return STATUS_SUCCESS; }

    void SetChangePending(ULONG Pending) { m_Pending = Pending; }

private:
    ULONG m_Type;
    ULONG m_Pending = 0;
};

// ---- Processing stages ----

using Log = std::vector<std::string>;

// What a stage does with one call: format, data (planes or raw bytes), frames.
using StageWork = std::function<NTSTATUS(const WAVEFORMATEXTENSIBLE*, PVOID, ULONG)>;

// A stage, and optionally a path control (kind 2) that answers ProcessingStage, as the software
// mute does. Process and Reset run Work; both log "<name> <frames>".
class FakeStage : public AudioNode, public ProcessingStage {
public:
    DECLARE_KERNEL_UNKNOWN() {
        const KernelInterface answers[] = {{IID_ProcessingStage, static_cast<ProcessingStage*>(this)}};
        if (NT_SUCCESS(AnswerQuery(InterfaceId, Interface, answers))) return STATUS_SUCCESS;
        return AudioNode::NonDelegatingQueryInterface(InterfaceId, Interface);
    }
    FakeStage(PUNKNOWN UnknownOuter, std::string Name, Log* Events, StageWork Work, ULONG Id = 100)
        : AudioNode(UnknownOuter, Id, NodeKindCode(NodeKind::Mute)),
          m_Name(std::move(Name)),
          m_Events(Events),
          m_Work(std::move(Work)) {}
    ~FakeStage() override {
        if (m_Events != nullptr) m_Events->push_back(m_Name + " destroyed");
    }

    STDMETHODIMP Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
    STDMETHODIMP Reserved3() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override {
        return Run("", Format, Data, Frames);
    }
    STDMETHODIMP Reset(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override {
        return Run(" reset", Format, Data, Frames);
    }

private:
    NTSTATUS Run(const char* How, const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
        if (m_Events != nullptr) m_Events->push_back(m_Name + How + " " + std::to_string(Frames));
        return m_Work ? m_Work(Format, Data, Frames) : STATUS_SUCCESS;
    }

    std::string m_Name;
    Log* m_Events;
    StageWork m_Work;
};

// Creates a node class T and answers it with the caller's one reference.
template <class T, class... Arguments>
T* NewNode(Arguments&&... Args) {
    PUNKNOWN unknown = nullptr;
    EXPECT_EQ(NewKernelObject<T>(&unknown, nullptr, NonPagedPoolNx, kTestTag, std::forward<Arguments>(Args)...),
              STATUS_SUCCESS);
    AudioNode* node = nullptr;
    EXPECT_EQ(unknown->QueryInterface(IID_AudioNode, reinterpret_cast<PVOID*>(&node)), STATUS_SUCCESS);
    unknown->Release();
    return static_cast<T*>(node);
}

// Float planes of a PCM chunk as a stage sees them.
inline float* const* Planes(PVOID Data) { return static_cast<float* const*>(Data); }

}  // namespace engine_test
