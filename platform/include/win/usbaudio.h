// USB Audio Class 1.0 and 2.0: class codes, descriptor subtypes, request codes, control selectors,
// terminal types, format codes and the fixed part of the class-specific descriptors.
// Variable-length descriptors are declared with their first array element; their real length is
// bLength, which a reader checks before it touches anything past the fixed part.
#pragma once

#include <win/usb200.h>

// Interface subclasses and protocols.
#define USB_AUDIO_SUBCLASS_UNDEFINED 0x00
#define USB_AUDIO_SUBCLASS_AUDIOCONTROL 0x01
#define USB_AUDIO_SUBCLASS_AUDIOSTREAMING 0x02
#define USB_AUDIO_SUBCLASS_MIDISTREAMING 0x03
#define USB_AUDIO_PROTOCOL_UNDEFINED 0x00        // UAC 1.0
#define USB_AUDIO_PROTOCOL_IP_VERSION_02_00 0x20  // UAC 2.0
#define USB_AUDIO_FUNCTION_CLASS 0x01
#define USB_AUDIO_FUNCTION_SUBCLASS_UNDEFINED 0x00
#define USB_AUDIO_FUNCTION_PROTOCOL_AF_VERSION_02_00 0x20

// UAC 2.0 audio function categories (bCategory of the AudioControl header).
#define USB_AUDIO_CATEGORY_DESKTOP_SPEAKER 0x01
#define USB_AUDIO_CATEGORY_HOME_THEATER 0x02
#define USB_AUDIO_CATEGORY_MICROPHONE 0x03
#define USB_AUDIO_CATEGORY_HEADSET 0x04
#define USB_AUDIO_CATEGORY_CONVERTER 0x06
#define USB_AUDIO_CATEGORY_IO_BOX 0x08
#define USB_AUDIO_CATEGORY_PRO_AUDIO 0x0A
#define USB_AUDIO_CATEGORY_OTHER 0xFF

// Class-specific descriptor types.
#define USB_AUDIO_CS_UNDEFINED 0x20
#define USB_AUDIO_CS_DEVICE 0x21
#define USB_AUDIO_CS_CONFIGURATION 0x22
#define USB_AUDIO_CS_STRING 0x23
#define USB_AUDIO_CS_INTERFACE 0x24
#define USB_AUDIO_CS_ENDPOINT 0x25

// AudioControl descriptor subtypes; the numbering differs between the two releases above 6.
#define USB_AUDIO_AC_HEADER 0x01
#define USB_AUDIO_AC_INPUT_TERMINAL 0x02
#define USB_AUDIO_AC_OUTPUT_TERMINAL 0x03
#define USB_AUDIO_AC_MIXER_UNIT 0x04
#define USB_AUDIO_AC_SELECTOR_UNIT 0x05
#define USB_AUDIO_AC_FEATURE_UNIT 0x06
#define USB_AUDIO1_AC_PROCESSING_UNIT 0x07
#define USB_AUDIO1_AC_EXTENSION_UNIT 0x08
#define USB_AUDIO2_AC_EFFECT_UNIT 0x07
#define USB_AUDIO2_AC_PROCESSING_UNIT 0x08
#define USB_AUDIO2_AC_EXTENSION_UNIT 0x09
#define USB_AUDIO2_AC_CLOCK_SOURCE 0x0A
#define USB_AUDIO2_AC_CLOCK_SELECTOR 0x0B
#define USB_AUDIO2_AC_CLOCK_MULTIPLIER 0x0C
#define USB_AUDIO2_AC_SAMPLE_RATE_CONVERTER 0x0D

// AudioStreaming descriptor subtypes and the endpoint subtype.
#define USB_AUDIO_AS_GENERAL 0x01
#define USB_AUDIO_AS_FORMAT_TYPE 0x02
#define USB_AUDIO1_AS_FORMAT_SPECIFIC 0x03
#define USB_AUDIO2_AS_ENCODER 0x03
#define USB_AUDIO2_AS_DECODER 0x04
#define USB_AUDIO_EP_GENERAL 0x01

// UAC 1.0 request codes.
#define USB_AUDIO1_SET_CUR 0x01
#define USB_AUDIO1_SET_MIN 0x02
#define USB_AUDIO1_SET_MAX 0x03
#define USB_AUDIO1_SET_RES 0x04
#define USB_AUDIO1_SET_MEM 0x05
#define USB_AUDIO1_GET_CUR 0x81
#define USB_AUDIO1_GET_MIN 0x82
#define USB_AUDIO1_GET_MAX 0x83
#define USB_AUDIO1_GET_RES 0x84
#define USB_AUDIO1_GET_MEM 0x85
#define USB_AUDIO1_GET_STAT 0xFF

// UAC 2.0 request codes (direction in bmRequestType).
#define USB_AUDIO2_CUR 0x01
#define USB_AUDIO2_RANGE 0x02
#define USB_AUDIO2_MEM 0x03

// Feature unit control selectors (both releases; 0x0B and above are UAC 2.0 only).
#define USB_AUDIO_FU_MUTE_CONTROL 0x01
#define USB_AUDIO_FU_VOLUME_CONTROL 0x02
#define USB_AUDIO_FU_BASS_CONTROL 0x03
#define USB_AUDIO_FU_MID_CONTROL 0x04
#define USB_AUDIO_FU_TREBLE_CONTROL 0x05
#define USB_AUDIO_FU_GRAPHIC_EQUALIZER_CONTROL 0x06
#define USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL 0x07
#define USB_AUDIO_FU_DELAY_CONTROL 0x08
#define USB_AUDIO_FU_BASS_BOOST_CONTROL 0x09
#define USB_AUDIO_FU_LOUDNESS_CONTROL 0x0A
#define USB_AUDIO2_FU_INPUT_GAIN_CONTROL 0x0B
#define USB_AUDIO2_FU_INPUT_GAIN_PAD_CONTROL 0x0C
#define USB_AUDIO2_FU_PHASE_INVERTER_CONTROL 0x0D
#define USB_AUDIO2_FU_UNDERFLOW_CONTROL 0x0E
#define USB_AUDIO2_FU_OVERFLOW_CONTROL 0x0F

// Feature unit bmaControls: UAC 1.0 one bit per control (bit cs - 1); UAC 2.0 two bits per
// control (bits 2(cs - 1) and 2(cs - 1) + 1: 01 read-only, 11 host programmable).
#define USB_AUDIO1_FU_CONTROL_BIT(cs) (1u << ((cs) - 1))
#define USB_AUDIO2_CONTROL_READ_ONLY 0x1u
#define USB_AUDIO2_CONTROL_PROGRAMMABLE 0x3u
#define USB_AUDIO2_FU_CONTROL_BITS(cs, access) ((ULONG)(access) << (2 * ((cs) - 1)))

// Other control selectors.
#define USB_AUDIO1_TE_COPY_PROTECT_CONTROL 0x01
#define USB_AUDIO1_EP_SAMPLING_FREQ_CONTROL 0x01
#define USB_AUDIO1_EP_PITCH_CONTROL 0x02
#define USB_AUDIO2_CS_SAM_FREQ_CONTROL 0x01
#define USB_AUDIO2_CS_CLOCK_VALID_CONTROL 0x02
#define USB_AUDIO2_CX_CLOCK_SELECTOR_CONTROL 0x01
#define USB_AUDIO2_CM_NUMERATOR_CONTROL 0x01
#define USB_AUDIO2_CM_DENOMINATOR_CONTROL 0x02
#define USB_AUDIO2_TE_COPY_PROTECT_CONTROL 0x01
#define USB_AUDIO2_TE_CONNECTOR_CONTROL 0x02
#define USB_AUDIO2_TE_OVERLOAD_CONTROL 0x03
#define USB_AUDIO2_TE_CLUSTER_CONTROL 0x04
#define USB_AUDIO2_TE_UNDERFLOW_CONTROL 0x05
#define USB_AUDIO2_TE_OVERFLOW_CONTROL 0x06
#define USB_AUDIO2_TE_LATENCY_CONTROL 0x07
#define USB_AUDIO2_MU_MIXER_CONTROL 0x01
#define USB_AUDIO2_SU_SELECTOR_CONTROL 0x01
#define USB_AUDIO2_AS_ACT_ALT_SETTING_CONTROL 0x01
#define USB_AUDIO2_AS_VAL_ALT_SETTINGS_CONTROL 0x02
#define USB_AUDIO2_AS_AUDIO_DATA_FORMAT_CONTROL 0x03
#define USB_AUDIO2_EP_PITCH_CONTROL 0x01
#define USB_AUDIO2_EP_DATA_OVERRUN_CONTROL 0x02
#define USB_AUDIO2_EP_DATA_UNDERRUN_CONTROL 0x03

// UAC 1.0 class-specific endpoint bmAttributes.
#define USB_AUDIO1_EP_ATTR_SAMPLING_FREQ 0x01
#define USB_AUDIO1_EP_ATTR_PITCH 0x02
#define USB_AUDIO_EP_ATTR_MAX_PACKETS_ONLY 0x80

// UAC 2.0 clock source bmAttributes (bits 0-1) and the volume value for silence (UAC 1.0 and 2.0).
#define USB_AUDIO2_CLOCK_EXTERNAL 0x00
#define USB_AUDIO2_CLOCK_INTERNAL_FIXED 0x01
#define USB_AUDIO2_CLOCK_INTERNAL_VARIABLE 0x02
#define USB_AUDIO2_CLOCK_INTERNAL_PROGRAMMABLE 0x03
#define USB_AUDIO2_CLOCK_SYNCED_TO_SOF 0x04
#define USB_AUDIO_VOLUME_SILENCE ((SHORT)-32768)  // 0x8000, minus infinity dB

// Terminal types.
#define USB_AUDIO_TERMINAL_USB_UNDEFINED 0x0100
#define USB_AUDIO_TERMINAL_USB_STREAMING 0x0101
#define USB_AUDIO_TERMINAL_USB_VENDOR 0x01FF
#define USB_AUDIO_TERMINAL_MICROPHONE 0x0201
#define USB_AUDIO_TERMINAL_DESKTOP_MICROPHONE 0x0202
#define USB_AUDIO_TERMINAL_PERSONAL_MICROPHONE 0x0203
#define USB_AUDIO_TERMINAL_OMNI_MICROPHONE 0x0204
#define USB_AUDIO_TERMINAL_MICROPHONE_ARRAY 0x0205
#define USB_AUDIO_TERMINAL_SPEAKER 0x0301
#define USB_AUDIO_TERMINAL_HEADPHONES 0x0302
#define USB_AUDIO_TERMINAL_DESKTOP_SPEAKER 0x0304
#define USB_AUDIO_TERMINAL_ROOM_SPEAKER 0x0305
#define USB_AUDIO_TERMINAL_LFE_SPEAKER 0x0307
#define USB_AUDIO_TERMINAL_HANDSET 0x0401
#define USB_AUDIO_TERMINAL_HEADSET 0x0402
#define USB_AUDIO_TERMINAL_SPEAKERPHONE 0x0403
#define USB_AUDIO_TERMINAL_ANALOG_CONNECTOR 0x0601
#define USB_AUDIO_TERMINAL_DIGITAL_AUDIO_INTERFACE 0x0602
#define USB_AUDIO_TERMINAL_LINE_CONNECTOR 0x0603
#define USB_AUDIO_TERMINAL_SPDIF_INTERFACE 0x0605

// Format type codes and format tags (UAC 1.0 wFormatTag) / bits (UAC 2.0 bmFormats).
#define USB_AUDIO_FORMAT_TYPE_UNDEFINED 0x00
#define USB_AUDIO_FORMAT_TYPE_I 0x01
#define USB_AUDIO_FORMAT_TYPE_II 0x02
#define USB_AUDIO_FORMAT_TYPE_III 0x03
#define USB_AUDIO1_FORMAT_PCM 0x0001
#define USB_AUDIO1_FORMAT_PCM8 0x0002
#define USB_AUDIO1_FORMAT_IEEE_FLOAT 0x0003
#define USB_AUDIO1_FORMAT_IEC1937_AC3 0x2001
#define USB_AUDIO2_FORMAT_PCM 0x00000001u
#define USB_AUDIO2_FORMAT_PCM8 0x00000002u
#define USB_AUDIO2_FORMAT_IEEE_FLOAT 0x00000004u
#define USB_AUDIO2_FORMAT_TYPE_I_RAW_DATA 0x80000000u

// Spatial channel positions (wChannelConfig / bmChannelConfig).
#define USB_AUDIO_CHANNEL_LEFT_FRONT 0x0001
#define USB_AUDIO_CHANNEL_RIGHT_FRONT 0x0002
#define USB_AUDIO_CHANNEL_CENTER_FRONT 0x0004
#define USB_AUDIO_CHANNEL_LFE 0x0008
#define USB_AUDIO_CHANNEL_LEFT_SURROUND 0x0010
#define USB_AUDIO_CHANNEL_RIGHT_SURROUND 0x0020

// Status interrupts. UAC 1.0: 2 bytes (bStatusType, bOriginator); bStatusType bit 7 interrupt
// pending, bit 6 memory changed, bits 0-3 the originator kind. UAC 2.0: 6 bytes (bInfo,
// bAttribute, wValue = control selector << 8 | channel, wIndex = entity << 8 | interface).
#define USB_AUDIO1_STATUS_INTERRUPT_PENDING 0x80
#define USB_AUDIO1_STATUS_MEMORY_CHANGED 0x40
#define USB_AUDIO1_STATUS_ORIGINATOR_AC_INTERFACE 0x00
#define USB_AUDIO1_STATUS_ORIGINATOR_AS_INTERFACE 0x01
#define USB_AUDIO1_STATUS_ORIGINATOR_AS_ENDPOINT 0x02
#define USB_AUDIO2_INTERRUPT_VENDOR_SPECIFIC 0x01
#define USB_AUDIO2_INTERRUPT_FROM_ENDPOINT 0x02

#pragma pack(push, 1)

typedef struct _USB_AUDIO_CS_DESCRIPTOR_HEADER {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
} USB_AUDIO_CS_DESCRIPTOR_HEADER, *PUSB_AUDIO_CS_DESCRIPTOR_HEADER;
static_assert(sizeof(USB_AUDIO_CS_DESCRIPTOR_HEADER) == 3);

// The 9-byte endpoint descriptor of UAC 1.0 streaming and status endpoints.
typedef struct _USB_AUDIO1_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
    UCHAR bRefresh;
    UCHAR bSynchAddress;
} USB_AUDIO1_ENDPOINT_DESCRIPTOR, *PUSB_AUDIO1_ENDPOINT_DESCRIPTOR;
static_assert(sizeof(USB_AUDIO1_ENDPOINT_DESCRIPTOR) == 9 && offsetof(USB_AUDIO1_ENDPOINT_DESCRIPTOR, bRefresh) == 7);

// ---- UAC 1.0 ----

typedef struct _USB_AUDIO1_AC_HEADER_DESCRIPTOR {
    UCHAR bLength;  // 8 + bInCollection
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    USHORT bcdADC;
    USHORT wTotalLength;  // this header and every unit and terminal descriptor after it
    UCHAR bInCollection;
    UCHAR baInterfaceNr[1];
} USB_AUDIO1_AC_HEADER_DESCRIPTOR, *PUSB_AUDIO1_AC_HEADER_DESCRIPTOR;
static_assert(sizeof(USB_AUDIO1_AC_HEADER_DESCRIPTOR) == 9 &&
              offsetof(USB_AUDIO1_AC_HEADER_DESCRIPTOR, wTotalLength) == 5 &&
              offsetof(USB_AUDIO1_AC_HEADER_DESCRIPTOR, bInCollection) == 7);

typedef struct _USB_AUDIO1_INPUT_TERMINAL_DESCRIPTOR {
    UCHAR bLength;  // 12
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bNrChannels;
    USHORT wChannelConfig;
    UCHAR iChannelNames;
    UCHAR iTerminal;
} USB_AUDIO1_INPUT_TERMINAL_DESCRIPTOR, *PUSB_AUDIO1_INPUT_TERMINAL_DESCRIPTOR;
static_assert(sizeof(USB_AUDIO1_INPUT_TERMINAL_DESCRIPTOR) == 12 &&
              offsetof(USB_AUDIO1_INPUT_TERMINAL_DESCRIPTOR, bNrChannels) == 7);

typedef struct _USB_AUDIO1_OUTPUT_TERMINAL_DESCRIPTOR {
    UCHAR bLength;  // 9
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bSourceID;
    UCHAR iTerminal;
} USB_AUDIO1_OUTPUT_TERMINAL_DESCRIPTOR, *PUSB_AUDIO1_OUTPUT_TERMINAL_DESCRIPTOR;
static_assert(sizeof(USB_AUDIO1_OUTPUT_TERMINAL_DESCRIPTOR) == 9 &&
              offsetof(USB_AUDIO1_OUTPUT_TERMINAL_DESCRIPTOR, bSourceID) == 7);

// Mixer (4) and selector (5) units start alike: the id, the input pin count and the source ids.
typedef struct _USB_AUDIO_UNIT_WITH_SOURCES_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    UCHAR bNrInPins;
    UCHAR baSourceID[1];
} USB_AUDIO_UNIT_WITH_SOURCES_DESCRIPTOR, *PUSB_AUDIO_UNIT_WITH_SOURCES_DESCRIPTOR;
static_assert(sizeof(USB_AUDIO_UNIT_WITH_SOURCES_DESCRIPTOR) == 6);

typedef struct _USB_AUDIO1_FEATURE_UNIT_DESCRIPTOR {
    UCHAR bLength;  // 7 + (channels + 1) x bControlSize
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    UCHAR bSourceID;
    UCHAR bControlSize;
    UCHAR bmaControls[1];  // master first, then one entry per channel; iFeature last
} USB_AUDIO1_FEATURE_UNIT_DESCRIPTOR, *PUSB_AUDIO1_FEATURE_UNIT_DESCRIPTOR;
static_assert(sizeof(USB_AUDIO1_FEATURE_UNIT_DESCRIPTOR) == 7 &&
              offsetof(USB_AUDIO1_FEATURE_UNIT_DESCRIPTOR, bmaControls) == 6);

typedef struct _USB_AUDIO1_AS_GENERAL_DESCRIPTOR {
    UCHAR bLength;  // 7
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalLink;
    UCHAR bDelay;  // frames
    USHORT wFormatTag;
} USB_AUDIO1_AS_GENERAL_DESCRIPTOR, *PUSB_AUDIO1_AS_GENERAL_DESCRIPTOR;
static_assert(sizeof(USB_AUDIO1_AS_GENERAL_DESCRIPTOR) == 7);

typedef struct _USB_AUDIO1_FORMAT_TYPE_I_DESCRIPTOR {
    UCHAR bLength;  // 8 + 3 x bSamFreqType, or 14 for a continuous range (bSamFreqType 0)
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bFormatType;
    UCHAR bNrChannels;
    UCHAR bSubframeSize;  // bytes
    UCHAR bBitResolution;
    UCHAR bSamFreqType;
    UCHAR tSamFreq[1][3];  // 24-bit little-endian rates in Hz
} USB_AUDIO1_FORMAT_TYPE_I_DESCRIPTOR, *PUSB_AUDIO1_FORMAT_TYPE_I_DESCRIPTOR;
static_assert(sizeof(USB_AUDIO1_FORMAT_TYPE_I_DESCRIPTOR) == 11 &&
              offsetof(USB_AUDIO1_FORMAT_TYPE_I_DESCRIPTOR, tSamFreq) == 8);

typedef struct _USB_AUDIO1_CS_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;  // 7
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bmAttributes;
    UCHAR bLockDelayUnits;
    USHORT wLockDelay;
} USB_AUDIO1_CS_ENDPOINT_DESCRIPTOR, *PUSB_AUDIO1_CS_ENDPOINT_DESCRIPTOR;
static_assert(sizeof(USB_AUDIO1_CS_ENDPOINT_DESCRIPTOR) == 7);

// ---- UAC 2.0 ----

typedef struct _USB_AUDIO2_AC_HEADER_DESCRIPTOR {
    UCHAR bLength;  // 9
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    USHORT bcdADC;
    UCHAR bCategory;
    USHORT wTotalLength;
    UCHAR bmControls;
} USB_AUDIO2_AC_HEADER_DESCRIPTOR, *PUSB_AUDIO2_AC_HEADER_DESCRIPTOR;
static_assert(sizeof(USB_AUDIO2_AC_HEADER_DESCRIPTOR) == 9 &&
              offsetof(USB_AUDIO2_AC_HEADER_DESCRIPTOR, wTotalLength) == 6);

typedef struct _USB_AUDIO2_CLOCK_SOURCE_DESCRIPTOR {
    UCHAR bLength;  // 8
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bClockID;
    UCHAR bmAttributes;
    UCHAR bmControls;
    UCHAR bAssocTerminal;
    UCHAR iClockSource;
} USB_AUDIO2_CLOCK_SOURCE_DESCRIPTOR, *PUSB_AUDIO2_CLOCK_SOURCE_DESCRIPTOR;
static_assert(sizeof(USB_AUDIO2_CLOCK_SOURCE_DESCRIPTOR) == 8);

typedef struct _USB_AUDIO2_INPUT_TERMINAL_DESCRIPTOR {
    UCHAR bLength;  // 17
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bCSourceID;
    UCHAR bNrChannels;
    ULONG bmChannelConfig;
    UCHAR iChannelNames;
    USHORT bmControls;
    UCHAR iTerminal;
} USB_AUDIO2_INPUT_TERMINAL_DESCRIPTOR, *PUSB_AUDIO2_INPUT_TERMINAL_DESCRIPTOR;
static_assert(sizeof(USB_AUDIO2_INPUT_TERMINAL_DESCRIPTOR) == 17 &&
              offsetof(USB_AUDIO2_INPUT_TERMINAL_DESCRIPTOR, bCSourceID) == 7 &&
              offsetof(USB_AUDIO2_INPUT_TERMINAL_DESCRIPTOR, bmControls) == 14);

typedef struct _USB_AUDIO2_OUTPUT_TERMINAL_DESCRIPTOR {
    UCHAR bLength;  // 12
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bSourceID;
    UCHAR bCSourceID;
    USHORT bmControls;
    UCHAR iTerminal;
} USB_AUDIO2_OUTPUT_TERMINAL_DESCRIPTOR, *PUSB_AUDIO2_OUTPUT_TERMINAL_DESCRIPTOR;
static_assert(sizeof(USB_AUDIO2_OUTPUT_TERMINAL_DESCRIPTOR) == 12 &&
              offsetof(USB_AUDIO2_OUTPUT_TERMINAL_DESCRIPTOR, bmControls) == 9);

typedef struct _USB_AUDIO2_FEATURE_UNIT_DESCRIPTOR {
    UCHAR bLength;  // 6 + (channels + 1) x 4
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    UCHAR bSourceID;
    ULONG bmaControls[1];  // master first, then one entry per channel; iFeature last
} USB_AUDIO2_FEATURE_UNIT_DESCRIPTOR, *PUSB_AUDIO2_FEATURE_UNIT_DESCRIPTOR;
static_assert(sizeof(USB_AUDIO2_FEATURE_UNIT_DESCRIPTOR) == 9 &&
              offsetof(USB_AUDIO2_FEATURE_UNIT_DESCRIPTOR, bmaControls) == 5);

typedef struct _USB_AUDIO2_AS_GENERAL_DESCRIPTOR {
    UCHAR bLength;  // 16
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalLink;
    UCHAR bmControls;
    UCHAR bFormatType;
    ULONG bmFormats;
    UCHAR bNrChannels;
    ULONG bmChannelConfig;
    UCHAR iChannelNames;
} USB_AUDIO2_AS_GENERAL_DESCRIPTOR, *PUSB_AUDIO2_AS_GENERAL_DESCRIPTOR;
static_assert(sizeof(USB_AUDIO2_AS_GENERAL_DESCRIPTOR) == 16 &&
              offsetof(USB_AUDIO2_AS_GENERAL_DESCRIPTOR, bmFormats) == 6 &&
              offsetof(USB_AUDIO2_AS_GENERAL_DESCRIPTOR, bNrChannels) == 10 &&
              offsetof(USB_AUDIO2_AS_GENERAL_DESCRIPTOR, bmChannelConfig) == 11);

typedef struct _USB_AUDIO2_FORMAT_TYPE_I_DESCRIPTOR {
    UCHAR bLength;  // 6
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bFormatType;
    UCHAR bSubslotSize;  // bytes
    UCHAR bBitResolution;
} USB_AUDIO2_FORMAT_TYPE_I_DESCRIPTOR, *PUSB_AUDIO2_FORMAT_TYPE_I_DESCRIPTOR;
static_assert(sizeof(USB_AUDIO2_FORMAT_TYPE_I_DESCRIPTOR) == 6);

typedef struct _USB_AUDIO2_CS_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;  // 8
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bmAttributes;
    UCHAR bmControls;
    UCHAR bLockDelayUnits;
    USHORT wLockDelay;
} USB_AUDIO2_CS_ENDPOINT_DESCRIPTOR, *PUSB_AUDIO2_CS_ENDPOINT_DESCRIPTOR;
static_assert(sizeof(USB_AUDIO2_CS_ENDPOINT_DESCRIPTOR) == 8);

typedef struct _USB_AUDIO2_INTERRUPT_DATA_MESSAGE {
    UCHAR bInfo;
    UCHAR bAttribute;
    USHORT wValue;
    USHORT wIndex;
} USB_AUDIO2_INTERRUPT_DATA_MESSAGE, *PUSB_AUDIO2_INTERRUPT_DATA_MESSAGE;
static_assert(sizeof(USB_AUDIO2_INTERRUPT_DATA_MESSAGE) == 6);

#pragma pack(pop)
