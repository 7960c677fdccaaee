// Uac2BuildStreams on raw descriptor bytes that it refuses before it asks the HAL for anything: a
// chain of lengths that breaks, a wrong first interface, fields the walk would read past.
#include "driver/engine/uac2/Uac2StreamBuilder.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A site the walks below never reach: any call is a failure.
class UnreachedSite : public Uac2StreamSite {
public:
    AudioHal& StreamHal() override {
        ADD_FAILURE() << "the walk reached the HAL";
        return m_Hal;
    }
    NTSTATUS ResolveTerminal(ULONG, ULONG*, ULONG*, ULONG*) override {
        ADD_FAILURE() << "the walk resolved a terminal";
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS AdjustStreamPath(StreamEngine*) override {
        ADD_FAILURE() << "the walk adjusted a path";
        return STATUS_SUCCESS;
    }

private:
    AudioHal m_Hal{nullptr};
};

// A configuration header, then the AudioStreaming interface 1 setting 0 and setting 1, then Tail.
std::vector<uint8_t> Configuration(std::vector<uint8_t> tail, uint8_t protocol = 0x20) {
    std::vector<uint8_t> c = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
    const std::vector<uint8_t> settings = {9, 4, 1, 0, 0, 1, 2, protocol, 0, 9, 4, 1, 1, 1, 1, 2, protocol, 0};
    c.insert(c.end(), settings.begin(), settings.end());
    c.insert(c.end(), tail.begin(), tail.end());
    c[2] = uint8_t(c.size());
    c[3] = uint8_t(c.size() >> 8);
    return c;
}

const std::vector<uint8_t> kGeneral = {16, 0x24, 1, 1, 0, 1, 1, 0, 0, 0, 2, 3, 0, 0, 0, 0};
const std::vector<uint8_t> kFormat = {6, 0x24, 2, 1, 2, 16};

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct WalkCase {
    const char* what;
    std::vector<uint8_t> configuration;
    NTSTATUS status;
};

TEST(Uac2StreamWalk, RefusesBeforeReachingTheHal) {
    std::vector<uint8_t> shortGeneral = kGeneral;
    shortGeneral.resize(14);
    shortGeneral[0] = 14;
    std::vector<uint8_t> shortFormat = kFormat;
    shortFormat.resize(5);
    shortFormat[0] = 5;
    const WalkCase cases[] = {
        {"length 0", Configuration({0, 0x24, 1}), STATUS_UNSUCCESSFUL},
        {"length 1", Configuration({1, 0x24}), STATUS_UNSUCCESSFUL},
        {"length past the configuration", Configuration({20, 0x24, 1, 1}), STATUS_UNSUCCESSFUL},
        {"UAC 1.0 protocol", Configuration(kGeneral, 0), STATUS_INVALID_PARAMETER},
        {"AS_GENERAL short of bmChannelConfig", Configuration(shortGeneral), STATUS_INVALID_PARAMETER},
        {"FORMAT_TYPE short of bBitResolution", Configuration(Join({shortFormat, kGeneral})), STATUS_INVALID_PARAMETER},
        {"FORMAT_TYPE before AS_GENERAL", Configuration(Join({kFormat, kGeneral})), STATUS_INVALID_PARAMETER},
        {"setting without class descriptors", Configuration({}), STATUS_SUCCESS},
    };
    for (const WalkCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = c.configuration;
        auto* configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
        auto* first = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(bytes.data() + 9);
        UnreachedSite site;
        EXPECT_EQ(Uac2BuildStreams(site, configuration, first), c.status);
    }
}

}  // namespace
