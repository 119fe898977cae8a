// The fake's drawing, movie audio extraction, standard audio component and sound converter
// routines. Drawing fills the attached DIB section with the low byte of the movie time;
// audio comes out as silence of the right length, so tests check sizes, counts and flags.
#include <algorithm>
#include <cstring>

#include "FakeQuickTimeState.h"
#include "HandleHeap.h"
#include "RoutineTable.h"

using namespace fakeqt;

namespace {

using State = FakeQuickTime::State;

template <typename Object, typename Handle>
Object *Find(std::vector<std::unique_ptr<Object>> &objects, Handle handle)
{
    for (const auto &object : objects)
        if (reinterpret_cast<Handle>(object.get()) == handle)
            return object.get();
    return nullptr;
}

// --- drawing ---------------------------------------------------------------------------

OSErr FakeNewGWorldFromHBITMAP(GWorldPtr *world, CTabHandle table, GDHandle device,
                               GWorldFlags flags, void *bitmap, void *dc)
{
    FAKE_ROUTINE(NewGWorldFromHBITMAP, Arg(world), Arg(table), Arg(device), Arg(flags),
                 Arg(bitmap), Arg(dc));
    if (!world)
        return paramErr;
    *world = nullptr;
    if (fault != noErr)
        return fault;
    DIBSECTION section;
    if (!bitmap || GetObject(static_cast<HBITMAP>(bitmap), sizeof section, &section) != sizeof section)
        return paramErr;
    state.gworlds.push_back(std::make_unique<State::GWorld>(State::GWorld{static_cast<HBITMAP>(bitmap)}));
    *world = reinterpret_cast<GWorldPtr>(state.gworlds.back().get());
    return noErr;
}

GDHandle FakeGetGWorldDevice(GWorldPtr world)
{
    FAKE_ROUTINE(GetGWorldDevice, Arg(world));
    return Find(state.gworlds, world) ? reinterpret_cast<GDHandle>(world) : nullptr;
}

void FakeSetMovieGWorld(Movie movie, CGrafPtr port, GDHandle device)
{
    FAKE_ROUTINE(SetMovieGWorld, Arg(movie), Arg(port), Arg(device));
    State::MovieObject *object = state.FindMovie(movie);
    const State::GWorld *world = Find(state.gworlds, port);
    SetMoviesError(fault ? fault : object ? noErr : OSErr(invalidMovie));
    if (object && fault == noErr)
        object->bitmap = world ? world->bitmap : nullptr;
}

void FakeSetMovieTimeValue(Movie movie, TimeValue time)
{
    FAKE_ROUTINE(SetMovieTimeValue, Arg(movie), Arg(time));
    State::MovieObject *object = state.FindMovie(movie);
    SetMoviesError(fault ? fault : object ? noErr : OSErr(invalidMovie));
    if (object && fault == noErr)
        object->time = time;
}

void FakeMoviesTask(Movie movie, long maxMilliseconds)
{
    FAKE_ROUTINE(MoviesTask, Arg(movie), Arg(maxMilliseconds));
    State::MovieObject *object = state.FindMovie(movie);
    SetMoviesError(fault ? fault : object ? noErr : OSErr(invalidMovie));
    if (!object || fault != noErr || !object->bitmap)
        return;
    DIBSECTION section;
    if (GetObject(object->bitmap, sizeof section, &section) != sizeof section || !section.dsBm.bmBits)
        return;
    const size_t bytes = size_t(section.dsBm.bmWidthBytes) * size_t(std::abs(section.dsBm.bmHeight));
    std::memset(section.dsBm.bmBits, object->time & 0xFF, bytes);
}

void FakeDisposeGWorld(GWorldPtr world)
{
    FAKE_ROUTINE(DisposeGWorld, Arg(world));
    if (State::GWorld *object = Find(state.gworlds, world))
        object->disposed = true;
}

// --- movie audio extraction ------------------------------------------------------------

OSStatus FakeMovieAudioExtractionBegin(Movie movie, UInt32 flags, MovieAudioExtractionRef *session)
{
    FAKE_ROUTINE(MovieAudioExtractionBegin, Arg(movie), Arg(flags), Arg(session));
    if (!session)
        return paramErr;
    *session = nullptr;
    if (fault != noErr)
        return fault;
    if (!state.FindMovie(movie))
        return invalidMovie;
    state.sessions.push_back(std::make_unique<State::Session>());
    state.sessions.back()->format = state.extraction.format;
    *session = reinterpret_cast<MovieAudioExtractionRef>(state.sessions.back().get());
    return noErr;
}

OSStatus FakeMovieAudioExtractionEnd(MovieAudioExtractionRef session)
{
    FAKE_ROUTINE(MovieAudioExtractionEnd, Arg(session));
    State::Session *object = Find(state.sessions, session);
    if (fault != noErr)
        return fault;
    if (!object || object->ended)
        return paramErr;
    object->ended = true;
    return noErr;
}

OSStatus FakeMovieAudioExtractionFillBuffer(MovieAudioExtractionRef session, UInt32 *frames,
                                            AudioBufferList *data, UInt32 *flags)
{
    FAKE_ROUTINE(MovieAudioExtractionFillBuffer, Arg(session), Arg(frames), Arg(data), Arg(flags));
    State::Session *object = Find(state.sessions, session);
    if (fault != noErr)
        return fault;
    if (!object || object->ended || !frames || !data || !flags)
        return paramErr;
    const UInt32 total = state.extraction.totalFrames;
    const UInt32 count = std::min(*frames, total - std::min(total, object->delivered));
    object->delivered += count;
    const UInt32 bytes = count * object->format.mBytesPerFrame;
    for (UInt32 i = 0; i < data->mNumberBuffers; ++i) {
        AudioBuffer &buffer = data->mBuffers[i];
        if (buffer.mData)
            std::memset(buffer.mData, 0, std::min(bytes, buffer.mDataByteSize));
        buffer.mDataByteSize = std::min(bytes, buffer.mDataByteSize);
    }
    *frames = count;
    *flags = object->delivered >= total ? 1 : 0;
    return noErr;
}

OSStatus FakeMovieAudioExtractionGetPropertyInfo(MovieAudioExtractionRef session,
                                                 QTPropertyClass propClass, QTPropertyID id,
                                                 QTPropertyValueType *type, ByteCount *size,
                                                 UInt32 *propertyFlags)
{
    FAKE_ROUTINE(MovieAudioExtractionGetPropertyInfo, Arg(session), Arg(propClass), Arg(id),
                 Arg(type), Arg(size), Arg(propertyFlags));
    if (fault != noErr)
        return fault;
    if (!Find(state.sessions, session))
        return paramErr;
    ByteCount bytes = 0;
    if (id == QTFourCC("clay"))
        bytes = state.extraction.channelLayout.size();
    else if (id == QTFourCC("asbd"))
        bytes = sizeof(AudioStreamBasicDescription);
    else if (id == QTFourCC("mssz"))
        bytes = sizeof(UInt32);
    else
        return kQTPropertyNotSupportedErr;
    if (type)
        *type = id;
    if (size)
        *size = bytes;
    if (propertyFlags)
        *propertyFlags = 3;
    return noErr;
}

OSStatus FakeMovieAudioExtractionGetProperty(MovieAudioExtractionRef session,
                                             QTPropertyClass propClass, QTPropertyID id,
                                             ByteCount size, QTPropertyValuePtr value,
                                             ByteCount *used)
{
    FAKE_ROUTINE(MovieAudioExtractionGetProperty, Arg(session), Arg(propClass), Arg(id),
                 Arg(size), Arg(value), Arg(used));
    State::Session *object = Find(state.sessions, session);
    if (fault != noErr)
        return fault;
    if (!object || !value)
        return paramErr;
    std::vector<uint8_t> bytes;
    if (id == QTFourCC("asbd")) {
        const auto *first = reinterpret_cast<const uint8_t *>(&object->format);
        bytes.assign(first, first + sizeof object->format);
    } else if (id == QTFourCC("mssz")) {
        if (state.extraction.maxSampleSizeError != 0)
            return state.extraction.maxSampleSizeError;
        const auto *first = reinterpret_cast<const uint8_t *>(&state.extraction.maxSampleSize);
        bytes.assign(first, first + sizeof(UInt32));
    } else if (id == QTFourCC("clay")) {
        bytes = state.extraction.channelLayout;
    } else {
        return kQTPropertyNotSupportedErr;
    }
    if (size < bytes.size())
        return kQTPropertyBadValueSizeErr;
    std::memcpy(value, bytes.data(), bytes.size());
    if (used)
        *used = bytes.size();
    return noErr;
}

OSStatus FakeMovieAudioExtractionSetProperty(MovieAudioExtractionRef session,
                                             QTPropertyClass propClass, QTPropertyID id,
                                             ByteCount size, ConstQTPropertyValuePtr value)
{
    FAKE_ROUTINE(MovieAudioExtractionSetProperty, Arg(session), Arg(propClass), Arg(id),
                 Arg(size), Arg(value));
    State::Session *object = Find(state.sessions, session);
    if (fault != noErr)
        return fault;
    if (!object || !value)
        return paramErr;
    if (id == QTFourCC("asbd")) {
        if (size != sizeof(AudioStreamBasicDescription))
            return kQTPropertyBadValueSizeErr;
        std::memcpy(&object->format, value, sizeof object->format);
    } else if (id == QTFourCC("time")) {
        if (size != sizeof(TimeRecord))
            return kQTPropertyBadValueSizeErr;
        TimeRecord time;
        std::memcpy(&time, value, sizeof time);
        const int64_t units = int64_t((uint64_t(time.value.hi) << 32) | time.value.lo);
        const double seconds = time.scale > 0 ? double(units) / time.scale : 0.0;
        object->delivered = seconds <= 0 ? 0 : UInt32(seconds * object->format.mSampleRate);
    }
    return noErr;
}

// --- the standard audio component ------------------------------------------------------

OSErr FakeOpenADefaultComponent(OSType type, OSType subType, ComponentInstance *ci)
{
    FAKE_ROUTINE(OpenADefaultComponent, Arg(type), Arg(subType), Arg(ci));
    if (!ci)
        return paramErr;
    *ci = nullptr;
    if (fault != noErr)
        return fault;
    if (type != QTFourCC("scdi") || (subType != 0 && subType != QTFourCC("audi")))
        return couldntGetRequiredComponent;
    state.components.push_back(std::make_unique<State::AudioComponent>());
    *ci = reinterpret_cast<ComponentInstance>(state.components.back().get());
    return noErr;
}

OSErr FakeCloseComponent(ComponentInstance ci)
{
    FAKE_ROUTINE(CloseComponent, Arg(ci));
    State::AudioComponent *component = Find(state.components, ci);
    if (!component || component->closed)
        return invalidComponentID;
    component->closed = true;
    return fault;
}

// Calls the input procedure once per fill and converts what it delivered.
ComponentResult FillAudio(State &state, State::AudioComponent &component, ComponentInstance ci,
                          const ComponentParamSlot *slots)
{
    const auto proc = reinterpret_cast<SCAudioInputDataProc>(slots[0]);
    void *user = reinterpret_cast<void *>(slots[1]);
    auto *packets = reinterpret_cast<UInt32 *>(slots[2]);
    auto *output = reinterpret_cast<AudioBufferList *>(slots[3]);
    if (!proc || !packets || !output)
        return paramErr;
    UInt32 pulled = *packets;
    AudioBufferList input = {1, {{component.input.mChannelsPerFrame, 0, nullptr}}};
    AudioStreamPacketDescription *descriptions = nullptr;
    const OSStatus status = proc(ci, &pulled, &input, &descriptions, user);
    (void)state;
    if (status != 0) {
        *packets = 0;
        return status;
    }
    const UInt32 produced = std::min(pulled, *packets);
    const UInt32 bytes = std::min(produced * component.output.mBytesPerFrame, output->mBuffers[0].mDataByteSize);
    if (output->mBuffers[0].mData)
        std::memset(output->mBuffers[0].mData, 0, bytes);
    output->mBuffers[0].mDataByteSize = bytes;
    *packets = component.output.mBytesPerFrame ? bytes / component.output.mBytesPerFrame : 0;
    return noErr;
}

ComponentResult FakeCallComponentDispatch(ComponentInstance ci, ComponentParameters *params)
{
    fakeqt::FakeQuickTime::State &state = fakeqt::FakeQuickTime::Installed();
    std::lock_guard<std::recursive_mutex> stateLock(state.lock);
    std::vector<uintptr_t> args = {Arg(ci)};
    const size_t slotCount = params ? params->paramSize / sizeof(ComponentParamSlot) : 0;
    if (params) {
        args.push_back(Arg(params->what));
        for (size_t i = 0; i < slotCount; ++i)
            args.push_back(Arg(params->params[i]));
    }
    state.calls.push_back({kQTSel_CallComponentDispatch, args});
    if (const OSErr fault = state.TakeFault(kQTSel_CallComponentDispatch))
        return fault;
    State::AudioComponent *component = Find(state.components, ci);
    if (!component || component->closed)
        return badComponentInstance;
    if (!params)
        return paramErr;
    const ComponentParamSlot *slots = params->params;
    switch (params->what) {
    case kComponentSetComponentPropertySelect: {
        if (slotCount < 4)
            return paramErr;
        const OSType id = OSType(slots[1]);
        const void *value = reinterpret_cast<const void *>(slots[3]);
        if ((id == QTFourCC("isbd") || id == QTFourCC("osbd")) &&
            ByteCount(slots[2]) == sizeof(AudioStreamBasicDescription) && value)
            std::memcpy(id == QTFourCC("isbd") ? &component->input : &component->output, value,
                        sizeof(AudioStreamBasicDescription));
        return noErr;
    }
    case kSCAudioFillBufferSelect:
        return slotCount < 5 ? ComponentResult(paramErr) : FillAudio(state, *component, ci, slots);
    default:
        return badComponentSelector;
    }
}

// --- the sound converter ---------------------------------------------------------------

UInt32 BytesPerFrame(const SoundComponentData &format)
{
    const UInt32 bytes = UInt32(std::max<SInt16>(format.numChannels, 1)) * UInt32((std::max<SInt16>(format.sampleSize, 8) + 7) / 8);
    return bytes;
}

OSErr FakeSoundConverterOpen(const SoundComponentData *input, const SoundComponentData *output,
                             SoundConverter *sc)
{
    FAKE_ROUTINE(SoundConverterOpen, Arg(input), Arg(output), Arg(sc));
    if (!sc)
        return paramErr;
    *sc = nullptr;
    if (fault != noErr)
        return fault;
    if (!input || !output)
        return paramErr;
    state.converters.push_back(std::make_unique<State::Converter>(State::Converter{*input, *output}));
    *sc = reinterpret_cast<SoundConverter>(state.converters.back().get());
    return noErr;
}

State::Converter *OpenConverter(State &state, SoundConverter sc)
{
    State::Converter *converter = Find(state.converters, sc);
    return converter && !converter->closed ? converter : nullptr;
}

OSErr FakeSoundConverterClose(SoundConverter sc)
{
    FAKE_ROUTINE(SoundConverterClose, Arg(sc));
    State::Converter *converter = OpenConverter(state, sc);
    if (!converter)
        return paramErr;
    converter->closed = true;
    return fault;
}

OSErr FakeSoundConverterSetInfo(SoundConverter sc, OSType selector, void *info)
{
    FAKE_ROUTINE(SoundConverterSetInfo, Arg(sc), Arg(selector), Arg(info));
    if (fault != noErr)
        return fault;
    return OpenConverter(state, sc) ? state.converter.setInfoResult : OSErr(paramErr);
}

OSErr FakeSoundConverterGetInfo(SoundConverter sc, OSType selector, void *info)
{
    FAKE_ROUTINE(SoundConverterGetInfo, Arg(sc), Arg(selector), Arg(info));
    return fault != noErr ? fault : OSErr(siUnknownInfoType);
}

OSErr FakeSoundConverterBeginConversion(SoundConverter sc)
{
    FAKE_ROUTINE(SoundConverterBeginConversion, Arg(sc));
    if (fault != noErr)
        return fault;
    State::Converter *converter = OpenConverter(state, sc);
    if (!converter)
        return paramErr;
    converter->leftOverFrames = 0;
    return noErr;
}

OSErr FakeSoundConverterGetBufferSizes(SoundConverter sc, unsigned long target,
                                       unsigned long *inputFrames, unsigned long *inputBytes,
                                       unsigned long *outputBytes)
{
    FAKE_ROUTINE(SoundConverterGetBufferSizes, Arg(sc), Arg(target), Arg(inputFrames),
                 Arg(inputBytes), Arg(outputBytes));
    if (fault != noErr)
        return fault;
    const State::Converter *converter = OpenConverter(state, sc);
    if (!converter || !inputFrames || !inputBytes || !outputBytes)
        return paramErr;
    const unsigned long frames = target / BytesPerFrame(converter->input);
    *inputFrames = frames;
    *inputBytes = frames * BytesPerFrame(converter->input);
    *outputBytes = frames * BytesPerFrame(converter->output);
    return noErr;
}

OSErr FakeSoundConverterConvertBuffer(SoundConverter sc, const void *input, unsigned long frames,
                                      void *output, unsigned long *outputFrames,
                                      unsigned long *outputBytes)
{
    FAKE_ROUTINE(SoundConverterConvertBuffer, Arg(sc), Arg(input), Arg(frames), Arg(output),
                 Arg(outputFrames), Arg(outputBytes));
    if (fault != noErr)
        return fault;
    const State::Converter *converter = OpenConverter(state, sc);
    if (!converter || !output)
        return paramErr;
    const unsigned long bytes = frames * BytesPerFrame(converter->output);
    // Same frame size: the bytes pass through, so tests can follow them.
    if (input && BytesPerFrame(converter->input) == BytesPerFrame(converter->output))
        std::memmove(output, input, bytes);
    else
        std::memset(output, 0, bytes);
    if (outputFrames)
        *outputFrames = frames;
    if (outputBytes)
        *outputBytes = bytes;
    return noErr;
}

OSErr FakeSoundConverterEndConversion(SoundConverter sc, void *output, unsigned long *frames,
                                      unsigned long *bytes)
{
    FAKE_ROUTINE(SoundConverterEndConversion, Arg(sc), Arg(output), Arg(frames), Arg(bytes));
    if (frames)
        *frames = 0;
    if (bytes)
        *bytes = 0;
    return fault;
}

// Pulls chunks until the buffer is full (left-over data: flag 2) or the source runs dry
// (flag 1).
OSErr FakeSoundConverterFillBuffer(SoundConverter sc, SoundConverterFillBufferDataUPP proc,
                                   void *refCon, void *output, unsigned long outputSize,
                                   unsigned long *bytesWritten, unsigned long *framesWritten,
                                   unsigned long *outputFlags)
{
    FAKE_ROUTINE(SoundConverterFillBuffer, Arg(sc), Arg(proc), Arg(refCon), Arg(output),
                 Arg(outputSize), Arg(bytesWritten), Arg(framesWritten), Arg(outputFlags));
    if (fault != noErr)
        return fault;
    State::Converter *converter = OpenConverter(state, sc);
    if (!converter || !proc || !output)
        return paramErr;
    const unsigned long frameBytes = BytesPerFrame(converter->output);
    unsigned long written = 0;
    unsigned long flags = 0;
    // What the last fill had no room for comes first, as a real converter keeps it.
    const unsigned long kept = std::min(converter->leftOverFrames, outputSize / frameBytes);
    std::memset(output, 0, kept * frameBytes);
    written = kept * frameBytes;
    converter->leftOverFrames -= kept;
    if (converter->leftOverFrames > 0)
        flags |= 2;
    while (!(flags & 2) && written + frameBytes <= outputSize) {
        SoundComponentDataPtr data = nullptr;
        if (!proc(&data, refCon) || !data || data->sampleCount <= 0) {
            flags |= 1;
            break;
        }
        const unsigned long bytes = (unsigned long)data->sampleCount * frameBytes;
        const unsigned long taken = std::min(bytes, (outputSize - written) / frameBytes * frameBytes);
        std::memset(static_cast<char *>(output) + written, 0, taken);
        written += taken;
        if (taken < bytes) {
            converter->leftOverFrames = (bytes - taken) / frameBytes;
            flags |= 2;
            break;
        }
    }
    if (bytesWritten)
        *bytesWritten = written;
    if (framesWritten)
        *framesWritten = written / frameBytes;
    if (outputFlags)
        *outputFlags = flags;
    return noErr;
}

SoundConverterFillBufferDataUPP FakeNewSoundConverterFillBufferDataUPP(SoundConverterFillBufferDataProcPtr proc)
{
    FAKE_ROUTINE(NewSoundConverterFillBufferDataUPP, Arg(proc));
    return fault != noErr ? nullptr : proc;
}

void FakeDisposeSoundConverterFillBufferDataUPP(SoundConverterFillBufferDataUPP proc)
{
    FAKE_ROUTINE(DisposeSoundConverterFillBufferDataUPP, Arg(proc));
}

const QtsRoutine kFakeStreamingRoutines[] = {
    QTS_ROUTINE_AS(NewGWorldFromHBITMAP, FakeNewGWorldFromHBITMAP),
    QTS_ROUTINE_AS(GetGWorldDevice, FakeGetGWorldDevice),
    QTS_ROUTINE_AS(SetMovieGWorld, FakeSetMovieGWorld),
    QTS_ROUTINE_AS(SetMovieTimeValue, FakeSetMovieTimeValue),
    QTS_ROUTINE_AS(MoviesTask, FakeMoviesTask),
    QTS_ROUTINE_AS(DisposeGWorld, FakeDisposeGWorld),
    QTS_ROUTINE_AS(MovieAudioExtractionBegin, FakeMovieAudioExtractionBegin),
    QTS_ROUTINE_AS(MovieAudioExtractionEnd, FakeMovieAudioExtractionEnd),
    QTS_ROUTINE_AS(MovieAudioExtractionFillBuffer, FakeMovieAudioExtractionFillBuffer),
    QTS_ROUTINE_AS(MovieAudioExtractionGetPropertyInfo, FakeMovieAudioExtractionGetPropertyInfo),
    QTS_ROUTINE_AS(MovieAudioExtractionGetProperty, FakeMovieAudioExtractionGetProperty),
    QTS_ROUTINE_AS(MovieAudioExtractionSetProperty, FakeMovieAudioExtractionSetProperty),
    QTS_ROUTINE_AS(OpenADefaultComponent, FakeOpenADefaultComponent),
    QTS_ROUTINE_AS(CloseComponent, FakeCloseComponent),
    QTS_ROUTINE_AS(CallComponentDispatch, FakeCallComponentDispatch),
    QTS_ROUTINE_AS(SoundConverterOpen, FakeSoundConverterOpen),
    QTS_ROUTINE_AS(SoundConverterClose, FakeSoundConverterClose),
    QTS_ROUTINE_AS(SoundConverterSetInfo, FakeSoundConverterSetInfo),
    QTS_ROUTINE_AS(SoundConverterGetInfo, FakeSoundConverterGetInfo),
    QTS_ROUTINE_AS(SoundConverterBeginConversion, FakeSoundConverterBeginConversion),
    QTS_ROUTINE_AS(SoundConverterGetBufferSizes, FakeSoundConverterGetBufferSizes),
    QTS_ROUTINE_AS(SoundConverterConvertBuffer, FakeSoundConverterConvertBuffer),
    QTS_ROUTINE_AS(SoundConverterEndConversion, FakeSoundConverterEndConversion),
    QTS_ROUTINE_AS(SoundConverterFillBuffer, FakeSoundConverterFillBuffer),
    QTS_ROUTINE_AS(NewSoundConverterFillBufferDataUPP, FakeNewSoundConverterFillBufferDataUPP),
    QTS_ROUTINE_AS(DisposeSoundConverterFillBufferDataUPP, FakeDisposeSoundConverterFillBufferDataUPP),
};
QTS_REGISTER_ROUTINES(kFakeStreamingRoutines);

}  // namespace

// The component entries: unused by the system, present because binding needs them.
extern "C" ComponentResult FakeCallComponent(void)
{
    return badComponentSelector;
}
