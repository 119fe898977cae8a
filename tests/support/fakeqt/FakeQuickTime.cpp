#include "FakeQuickTimeState.h"

#include <cstring>

extern "C" void QtsDispatcher(void);
extern "C" ComponentResult FakeCallComponent(void);

namespace fakeqt {

namespace {

FakeQuickTime::State *g_installed;
thread_local OSErr t_moviesError = noErr;
thread_local OSErr t_memoryError = noErr;

template <typename T>
void Append(std::vector<uint8_t> &bytes, const T &value)
{
    const size_t at = bytes.size();
    bytes.resize(at + sizeof value);
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

}  // namespace

void SetMoviesError(OSErr err) { t_moviesError = err; }
OSErr MoviesError() { return t_moviesError; }
void SetMemoryError(OSErr err) { t_memoryError = err; }
OSErr MemoryError() { return t_memoryError; }

TrackModel TrackModel::Video(SInt16 width, SInt16 height, OSType codec, TimeScale timeScale,
                             TimeValue duration, long samples)
{
    TrackModel track;
    track.type = QTFourCC("vide");
    track.timeScale = timeScale;
    track.duration = duration;
    track.sampleCount = samples;
    track.sampleDuration = samples > 0 ? duration / samples : 1;
    track.sampleSize = long(width) * height * 2;
    ImageDescription desc = {};
    desc.idSize = sizeof desc;
    desc.cType = codec;
    desc.dataRefIndex = 1;
    desc.width = width;
    desc.height = height;
    desc.hRes = desc.vRes = 72 << 16;
    desc.frameCount = 1;
    desc.depth = 24;
    desc.clutID = -1;
    Append(track.description, desc);
    return track;
}

TrackModel TrackModel::Sound(SInt16 channels, UInt32 rate, SInt16 bits, OSType format,
                             TimeScale timeScale, TimeValue duration, SInt16 compressionID)
{
    TrackModel track;
    track.type = QTFourCC("soun");
    track.timeScale = timeScale;
    track.duration = duration;
    track.sampleCount = duration;
    track.sampleDuration = 1;
    track.sampleSize = channels * ((bits + 7) / 8);
    SoundDescription desc = {};
    desc.descSize = sizeof desc;
    desc.dataFormat = format;
    desc.dataRefIndex = 1;
    desc.numChannels = channels;
    desc.sampleSize = bits;
    desc.compressionID = compressionID;
    desc.sampleRate = rate << 16;
    Append(track.description, desc);
    return track;
}

TrackModel TrackModel::Flash()
{
    TrackModel track;
    track.type = QTFourCC("flsh");
    track.duration = 600;
    track.sampleCount = 1;
    track.sampleDuration = 600;
    return track;
}

OSErr FakeQuickTime::State::TakeFault(uint32_t selector)
{
    const auto found = faults.find(selector);
    if (found == faults.end())
        return noErr;
    const OSErr code = found->second.code;
    if (found->second.times > 0 && --found->second.times == 0)
        faults.erase(found);
    return code;
}

FakeQuickTime::State::MovieObject *FakeQuickTime::State::FindMovie(::Movie movie)
{
    for (const auto &object : movies)
        if (reinterpret_cast<::Movie>(object.get()) == movie && !object->disposed)
            return object.get();
    return nullptr;
}

FakeQuickTime::State::TrackObject *FakeQuickTime::State::FindTrack(::Track track)
{
    for (const auto &movie : movies)
        for (const auto &object : movie->tracks)
            if (reinterpret_cast<::Track>(object.get()) == track && !object->disposed)
                return object.get();
    return nullptr;
}

FakeQuickTime::State::MediaObject *FakeQuickTime::State::FindMedia(::Media media)
{
    for (const auto &movie : movies)
        for (const auto &object : movie->tracks)
            if (reinterpret_cast<::Media>(&object->media) == media && !object->media.disposed)
                return &object->media;
    return nullptr;
}

FakeQuickTime::State &FakeQuickTime::Installed()
{
    return *g_installed;
}

FakeQuickTime::FakeQuickTime() : m_state(new State), m_savedBinding(QuickTimeBinding)
{
    g_installed = m_state.get();
    QuickTimeBinding.preCallHook = nullptr;
    QuickTimeBinding.dispatcher = &QtsDispatcher;
    QuickTimeBinding.callComponent = reinterpret_cast<QuickTimeEntry>(&FakeCallComponent);
    QuickTimeBinding.callComponentWithStorage = reinterpret_cast<QuickTimeEntry>(&FakeCallComponent);
    QuickTimeBinding.libraryModule = nullptr;
    QuickTimeBinding.initCount = 1;
}

FakeQuickTime::~FakeQuickTime()
{
    QuickTimeBinding = m_savedBinding;
    g_installed = nullptr;
}

void FakeQuickTime::SetMovie(const MovieModel &movie)
{
    std::lock_guard<std::recursive_mutex> lock(m_state->lock);
    m_state->movieModel = movie;
}

void FakeQuickTime::SetGestalt(OSErr err, long qtimVersion)
{
    std::lock_guard<std::recursive_mutex> lock(m_state->lock);
    m_state->gestaltError = err;
    m_state->gestaltVersion = qtimVersion;
}

void FakeQuickTime::SetExtraction(const ExtractionModel &extraction)
{
    std::lock_guard<std::recursive_mutex> lock(m_state->lock);
    m_state->extraction = extraction;
}

void FakeQuickTime::SetConverter(const ConverterModel &converter)
{
    std::lock_guard<std::recursive_mutex> lock(m_state->lock);
    m_state->converter = converter;
}

void FakeQuickTime::Fail(uint32_t selector, OSErr code, int times)
{
    std::lock_guard<std::recursive_mutex> lock(m_state->lock);
    if (times == 0)
        m_state->faults.erase(selector);
    else
        m_state->faults[selector] = {code, times};
}

std::vector<Call> FakeQuickTime::Calls() const
{
    std::lock_guard<std::recursive_mutex> lock(m_state->lock);
    return m_state->calls;
}

std::vector<Call> FakeQuickTime::CallsTo(uint32_t selector) const
{
    std::lock_guard<std::recursive_mutex> lock(m_state->lock);
    std::vector<Call> found;
    for (const Call &call : m_state->calls)
        if (call.selector == selector)
            found.push_back(call);
    return found;
}

size_t FakeQuickTime::CountOf(uint32_t selector) const
{
    return CallsTo(selector).size();
}

void FakeQuickTime::ClearCalls()
{
    std::lock_guard<std::recursive_mutex> lock(m_state->lock);
    m_state->calls.clear();
}

::Movie FakeQuickTime::OpenedMovie() const
{
    std::lock_guard<std::recursive_mutex> lock(m_state->lock);
    return m_state->movies.empty() ? nullptr : reinterpret_cast<::Movie>(m_state->movies.back().get());
}

::Track FakeQuickTime::TrackAt(size_t index) const
{
    std::lock_guard<std::recursive_mutex> lock(m_state->lock);
    if (m_state->movies.empty() || index >= m_state->movies.back()->tracks.size())
        return nullptr;
    return reinterpret_cast<::Track>(m_state->movies.back()->tracks[index].get());
}

::Media FakeQuickTime::MediaAt(size_t index) const
{
    std::lock_guard<std::recursive_mutex> lock(m_state->lock);
    if (m_state->movies.empty() || index >= m_state->movies.back()->tracks.size())
        return nullptr;
    return reinterpret_cast<::Media>(&m_state->movies.back()->tracks[index]->media);
}

std::string FakeQuickTime::PathOf(const FSSpec &spec) const
{
    std::lock_guard<std::recursive_mutex> lock(m_state->lock);
    const size_t index = size_t(spec.parID) - 1;
    return index < m_state->paths.size() ? m_state->paths[index] : std::string();
}

TimeValue FakeQuickTime::MovieTime() const
{
    std::lock_guard<std::recursive_mutex> lock(m_state->lock);
    return m_state->movies.empty() ? 0 : m_state->movies.back()->time;
}

}  // namespace fakeqt
