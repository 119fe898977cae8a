// QuickTime for Windows' published scalar types and records, as the runtime lays them out:
// 2-byte packing, native byte order. Shared by the binding, the QuickTime.qts stand-in and
// the fake runtime of the unit tests, so that all three agree on every offset.
//
// The 64-bit interface is this project's own (no 64-bit QuickTime for Windows exists). Its
// records keep the same 2-byte packing: every field before the first pointer keeps its 32-bit
// offset, the records that mirror file data (ImageDescription, SoundDescription) must stay
// packed anyway, and x86-64 reads a pointer on a 2-byte boundary as it reads any other. Only
// the records holding pointers grow, by 4 bytes per pointer (sizes checked below for each
// architecture). Scalars keep their widths: `long` is 32 bits on both (LLP64).
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef int64_t SInt64;
typedef uint64_t UInt64;
typedef double Float64;

typedef SInt16 OSErr;
typedef SInt32 OSStatus;
typedef UInt32 OSType;
typedef UInt32 FourCharCode;
typedef UInt8 Boolean;
typedef SInt32 Size;
typedef unsigned long ByteCount;
typedef SInt32 Fixed;
typedef SInt32 Fract;
typedef SInt32 TimeValue;
typedef SInt32 TimeScale;
typedef SInt64 TimeValue64;
typedef UInt32 GWorldFlags;
typedef char *Ptr;
typedef Ptr *Handle;
typedef unsigned char *StringPtr;
typedef unsigned char Str255[256];
typedef SInt32 ComponentResult;

// Opaque objects of the runtime: only their handles cross the binding.
typedef struct MovieRecord *Movie;
typedef struct TrackRecord *Track;
typedef struct MediaRecord *Media;
typedef struct ComponentInstanceRecord *ComponentInstance;
typedef struct ComponentRecord *Component;
typedef struct OpaqueGWorldPtr *GWorldPtr;
typedef GWorldPtr CGrafPtr;
typedef struct OpaqueGDHandle *GDHandle;
typedef struct OpaqueCTabHandle *CTabHandle;
typedef struct OpaqueSoundConverter *SoundConverter;
typedef struct MovieAudioExtractionRefRecord *MovieAudioExtractionRef;

typedef OSType QTPropertyClass;
typedef OSType QTPropertyID;
typedef OSType QTPropertyValueType;
typedef void *QTPropertyValuePtr;
typedef const void *ConstQTPropertyValuePtr;
typedef OSType ComponentPropertyClass;
typedef OSType ComponentPropertyID;
typedef OSType ComponentValueType;
typedef void *ComponentValuePtr;
typedef const void *ConstComponentValuePtr;

// Four-character codes: first character in the most significant byte.
constexpr OSType QTFourCC(const char (&code)[5])
{
    return (OSType(UInt8(code[0])) << 24) | (OSType(UInt8(code[1])) << 16) |
           (OSType(UInt8(code[2])) << 8) | OSType(UInt8(code[3]));
}

#pragma pack(push, 2)

struct Rect {
    SInt16 top;
    SInt16 left;
    SInt16 bottom;
    SInt16 right;
};

// On Windows the volume/directory pair is the runtime's own key into its table of paths.
struct FSSpec {
    SInt16 vRefNum;
    SInt32 parID;
    Str255 name;
};

struct wide {
    UInt32 hi;
    UInt32 lo;
};

struct TimeRecord {
    wide value;  // 64-bit time, high half first
    TimeScale scale;
    void *base;  // TimeBase; null: none
};

struct SampleDescription {
    SInt32 descSize;
    OSType dataFormat;
    SInt32 resvd1;
    SInt16 resvd2;
    SInt16 dataRefIndex;
};
typedef SampleDescription *SampleDescriptionPtr;
typedef SampleDescriptionPtr *SampleDescriptionHandle;

struct ImageDescription {
    SInt32 idSize;
    OSType cType;
    SInt32 resvd1;
    SInt16 resvd2;
    SInt16 dataRefIndex;
    SInt16 version;
    SInt16 revisionLevel;
    OSType vendor;
    UInt32 temporalQuality;
    UInt32 spatialQuality;
    SInt16 width;
    SInt16 height;
    Fixed hRes;
    Fixed vRes;
    SInt32 dataSize;
    SInt16 frameCount;
    unsigned char name[32];
    SInt16 depth;
    SInt16 clutID;
};
typedef ImageDescription *ImageDescriptionPtr;
typedef ImageDescriptionPtr *ImageDescriptionHandle;

struct SoundDescription {
    SInt32 descSize;
    OSType dataFormat;
    SInt32 resvd1;
    SInt16 resvd2;
    SInt16 dataRefIndex;
    SInt16 version;
    SInt16 revlevel;
    SInt32 vendor;
    SInt16 numChannels;
    SInt16 sampleSize;
    SInt16 compressionID;
    SInt16 packetSize;
    UInt32 sampleRate;  // unsigned 16.16
};
typedef SoundDescription *SoundDescriptionPtr;
typedef SoundDescriptionPtr *SoundDescriptionHandle;

struct SoundDescriptionV1 {
    SoundDescription desc;
    UInt32 samplesPerPacket;
    UInt32 bytesPerPacket;
    UInt32 bytesPerFrame;
    UInt32 bytesPerSample;
};

struct AudioStreamBasicDescription {
    Float64 mSampleRate;
    UInt32 mFormatID;
    UInt32 mFormatFlags;
    UInt32 mBytesPerPacket;
    UInt32 mFramesPerPacket;
    UInt32 mBytesPerFrame;
    UInt32 mChannelsPerFrame;
    UInt32 mBitsPerChannel;
    UInt32 mReserved;
};

struct AudioStreamPacketDescription {
    SInt64 mStartOffset;
    UInt32 mVariableFramesInPacket;
    UInt32 mDataByteSize;
};

struct AudioBuffer {
    UInt32 mNumberChannels;
    UInt32 mDataByteSize;
    void *mData;
};

struct AudioBufferList {
    UInt32 mNumberBuffers;
    AudioBuffer mBuffers[1];  // mNumberBuffers of them
};

struct SoundComponentData {
    SInt32 flags;
    OSType format;
    SInt16 numChannels;
    SInt16 sampleSize;
    UInt32 sampleRate;  // unsigned 16.16
    SInt32 sampleCount;
    UInt8 *buffer;
    SInt32 reserved;
};
typedef SoundComponentData *SoundComponentDataPtr;

struct ExtendedSoundComponentData {
    SoundComponentData desc;
    SInt32 recordSize;
    SInt32 extendedFlags;
    SInt32 bufferSize;
    SInt32 frameCount;
    SInt32 *frameSizesArray;
    SInt32 commonFrameSize;
    void *extensionsPtr;
    SInt32 extensionsSize;
    UInt32 bufferFlags;
    UInt32 bufferFlagsMask;
};

// What a component-call wrapper sends through the component dispatch selector. Each argument
// after the instance travels in a zeroed slot as wide as a pointer (4 bytes on 32-bit, 8 on
// 64-bit), first argument first, its value in the slot's low bytes; paramSize counts the bytes
// of the slots (4 or 8 per argument).
typedef intptr_t ComponentParamSlot;
struct ComponentParameters {
    UInt8 flags;
    UInt8 paramSize;  // bytes of params that follow
    SInt16 what;      // negative: the Component Manager's standard requests
    ComponentParamSlot params[1];
};

struct AudioChannelDescription {
    UInt32 mChannelLabel;
    UInt32 mChannelFlags;
    float mCoordinates[3];
};

struct AudioChannelLayout {
    UInt32 mChannelLayoutTag;
    UInt32 mChannelBitmap;
    UInt32 mNumberChannelDescriptions;
    AudioChannelDescription mChannelDescriptions[1];
};

#pragma pack(pop)

static_assert(sizeof(Rect) == 8, "Rect");
static_assert(sizeof(FSSpec) == 262, "FSSpec");
static_assert(sizeof(ImageDescription) == 86, "ImageDescription");
static_assert(sizeof(SoundDescription) == 36, "SoundDescription");
static_assert(sizeof(SoundDescriptionV1) == 52, "SoundDescriptionV1");
static_assert(sizeof(AudioStreamBasicDescription) == 40, "AudioStreamBasicDescription");
static_assert(offsetof(ComponentParameters, params) == 4, "ComponentParameters params");
// The records that hold pointers: 32-bit size, then 64-bit size.
constexpr size_t QTRecordSize(size_t size32, size_t size64)
{
    return sizeof(void *) == 8 ? size64 : size32;
}
static_assert(sizeof(TimeRecord) == QTRecordSize(16, 20), "TimeRecord");
static_assert(sizeof(AudioBuffer) == QTRecordSize(12, 16), "AudioBuffer");
static_assert(sizeof(AudioBufferList) == QTRecordSize(16, 20), "AudioBufferList");
static_assert(sizeof(SoundComponentData) == QTRecordSize(28, 32), "SoundComponentData");
static_assert(sizeof(ExtendedSoundComponentData) == QTRecordSize(68, 80),
              "ExtendedSoundComponentData");
static_assert(sizeof(ComponentParameters) == QTRecordSize(8, 12), "ComponentParameters");
static_assert(offsetof(ImageDescription, depth) == 82, "ImageDescription depth");
static_assert(offsetof(SoundDescription, sampleRate) == 32, "SoundDescription sampleRate");

// Callbacks the runtime makes synchronously on the calling thread.
typedef Boolean (*SoundConverterFillBufferDataProcPtr)(SoundComponentDataPtr *data, void *refCon);
typedef SoundConverterFillBufferDataProcPtr SoundConverterFillBufferDataUPP;
typedef OSStatus (*SCAudioInputDataProc)(ComponentInstance ci, UInt32 *ioNumberDataPackets,
                                        AudioBufferList *ioData,
                                        AudioStreamPacketDescription **outDataPacketDescription,
                                        void *inUserData);
typedef ComponentResult (*ComponentFunctionUPP)();

}  // extern "C"

// Error codes the binding and the runtimes share.
constexpr OSErr noErr = 0;
constexpr OSErr paramErr = -50;
constexpr OSErr fnfErr = -43;
constexpr OSErr permErr = -54;
constexpr OSErr wrPermErr = -61;
constexpr OSErr memFullErr = -108;
constexpr OSErr nilHandleErr = -109;
constexpr OSErr memLockedErr = -117;
constexpr OSErr siUnknownInfoType = -231;
constexpr OSErr badImageDescription = -2001;
constexpr OSErr cantFindHandler = -2003;
constexpr OSErr invalidMedia = -2008;
constexpr OSErr invalidTrack = -2009;
constexpr OSErr invalidMovie = -2010;
constexpr OSErr invalidTime = -2015;
constexpr OSErr maxSizeToGrowTooSmall = -2027;
constexpr OSErr noMovieFound = -2048;
constexpr OSErr badDataRefIndex = -2050;
constexpr OSErr qtmlDllLoadErr = -2093;
constexpr OSErr qtmlDllEntryNotFoundErr = -2094;
constexpr OSErr qtmlUninitialized = -2095;
constexpr OSErr kQTPropertyBadValueSizeErr = -2184;
constexpr OSErr kQTPropertyNotSupportedErr = -2195;
constexpr OSErr couldntGetRequiredComponent = -2202;
constexpr OSErr invalidComponentID = -3000;
constexpr OSErr gestaltUndefSelectorErr = -5551;

constexpr ComponentResult badComponentInstance = ComponentResult(0x80008001u);
constexpr ComponentResult badComponentSelector = ComponentResult(0x80008002u);
