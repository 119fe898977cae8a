// Movie audio extraction: a session is the engine's extractor over the movie, mixing its
// sound tracks into the format last set; the 'xmov' and 'xaud' properties read and set it.
// The session's extractor locks itself, so a movie may be drawn while its sound is read.
#include <cstring>

#include "AudioFormats.h"
#include "MovieObjects.h"
#include "RoutineTable.h"

namespace {

constexpr QTPropertyClass kExtractionMovie = QTFourCC("xmov");
constexpr QTPropertyClass kExtractionAudio = QTFourCC("xaud");
constexpr QTPropertyID kDiscrete = QTFourCC("disc"), kFormat = QTFourCC("asbd"),
                       kMaxSampleSize = QTFourCC("mssz"), kLayout = QTFourCC("clay"),
                       kCurrentTime = QTFourCC("time");
constexpr UInt32 kCanGet = 1, kCanSet = 2;
constexpr UInt32 kExtractionComplete = 0x1;

struct QtsExtraction {
    std::shared_ptr<QtsMovie> movie;  // keeps the engine movie alive
    std::unique_ptr<qte::Extractor> extractor;
    std::atomic<bool> discrete{false};
};

QtsObjectTable<QtsExtraction> &Sessions()
{
    static QtsObjectTable<QtsExtraction> table(0x00A50010);
    return table;
}

struct PropertyInfo {
    QTPropertyValueType type;
    size_t size;  // 0: variable (the layout)
    UInt32 flags;
};

bool FindProperty(QTPropertyClass propClass, QTPropertyID id, PropertyInfo *info)
{
    if (propClass == kExtractionMovie && id == kDiscrete)
        *info = {QTFourCC("bool"), sizeof(Boolean), kCanGet | kCanSet};
    else if (propClass == kExtractionMovie && id == kCurrentTime)
        *info = {QTFourCC("timr"), sizeof(TimeRecord), kCanGet | kCanSet};
    else if (propClass == kExtractionAudio && id == kFormat)
        *info = {QTFourCC("asbd"), sizeof(AudioStreamBasicDescription), kCanGet | kCanSet};
    else if (propClass == kExtractionAudio && id == kMaxSampleSize)
        *info = {QTFourCC("uint"), sizeof(UInt32), kCanGet};
    else if (propClass == kExtractionAudio && id == kLayout)
        *info = {QTFourCC("clay"), 0, kCanGet};
    else
        return false;
    return true;
}

size_t LayoutSize(const QtsExtraction &session)
{
    const size_t channels = session.extractor->channelLabels().size();
    return channels ? QtsChannelLayoutSize(channels) : 0;
}

}  // namespace

extern "C" {

OSStatus MovieAudioExtractionBegin(Movie theMovie, UInt32, MovieAudioExtractionRef *outSession)
{
    if (!outSession)
        return paramErr;
    *outSession = nullptr;
    const std::shared_ptr<QtsMovie> movie = QtsMovies().Find(theMovie);
    if (!movie)
        return paramErr;
    std::shared_ptr<QtsExtraction> session;
    try {
        session = std::make_shared<QtsExtraction>();
    } catch (...) {
        return memFullErr;
    }
    session->movie = movie;
    const qte::Err err = qte::Extractor::create(movie->engine, session->extractor);
    if (err != qte::noErr)
        return QtsOSErr(err);
    return Sessions().Publish(session, outSession);
}

OSStatus MovieAudioExtractionEnd(MovieAudioExtractionRef session)
{
    return Sessions().Remove(session) ? noErr : paramErr;
}

OSStatus MovieAudioExtractionGetPropertyInfo(MovieAudioExtractionRef sessionRef,
                                             QTPropertyClass inPropClass, QTPropertyID inPropID,
                                             QTPropertyValueType *outPropType,
                                             ByteCount *outPropValueSize,
                                             UInt32 *outPropertyFlags)
{
    const std::shared_ptr<QtsExtraction> session = Sessions().Find(sessionRef);
    if (!session)
        return paramErr;
    PropertyInfo info;
    if (!FindProperty(inPropClass, inPropID, &info))
        return kQTPropertyNotSupportedErr;
    if (outPropType)
        *outPropType = info.type;
    if (outPropValueSize)
        *outPropValueSize = info.size ? info.size : LayoutSize(*session);
    if (outPropertyFlags)
        *outPropertyFlags = info.flags;
    return noErr;
}

OSStatus MovieAudioExtractionGetProperty(MovieAudioExtractionRef sessionRef,
                                         QTPropertyClass inPropClass, QTPropertyID inPropID,
                                         ByteCount inPropValueSize,
                                         QTPropertyValuePtr outPropValueAddress,
                                         ByteCount *outPropValueSizeUsed)
{
    const std::shared_ptr<QtsExtraction> session = Sessions().Find(sessionRef);
    if (!session || !outPropValueAddress)
        return paramErr;
    PropertyInfo info;
    if (!FindProperty(inPropClass, inPropID, &info))
        return kQTPropertyNotSupportedErr;
    const qte::Extractor &x = *session->extractor;
    std::vector<uint32_t> labels;
    size_t size = info.size;
    if (inPropID == kLayout) {
        try {
            labels = x.channelLabels();
        } catch (...) {
            return memFullErr;
        }
        size = labels.empty() ? 0 : QtsChannelLayoutSize(labels.size());
    }
    if (inPropValueSize < size || (size == 0 && inPropID == kLayout))
        return kQTPropertyBadValueSizeErr;
    if (inPropID == kDiscrete) {
        *static_cast<Boolean *>(outPropValueAddress) = session->discrete ? 1 : 0;
    } else if (inPropID == kCurrentTime) {
        const qte::AudioFormat f = x.format();
        TimeRecord record = {};
        const uint64_t frames = uint64_t(x.positionFrames());
        record.value.hi = UInt32(frames >> 32);
        record.value.lo = UInt32(frames);
        record.scale = TimeScale(f.sampleRate + 0.5);
        std::memcpy(outPropValueAddress, &record, sizeof record);
    } else if (inPropID == kFormat) {
        const AudioStreamBasicDescription asbd = QtsDescriptionFromFormat(x.format());
        std::memcpy(outPropValueAddress, &asbd, sizeof asbd);
    } else if (inPropID == kMaxSampleSize) {
        const UInt32 bits = x.maxSampleSize();
        std::memcpy(outPropValueAddress, &bits, sizeof bits);
    } else {
        QtsWriteChannelLayout(labels, static_cast<AudioChannelLayout *>(outPropValueAddress));
    }
    if (outPropValueSizeUsed)
        *outPropValueSizeUsed = size;
    return noErr;
}

OSStatus MovieAudioExtractionSetProperty(MovieAudioExtractionRef sessionRef,
                                         QTPropertyClass inPropClass, QTPropertyID inPropID,
                                         ByteCount inPropValueSize,
                                         ConstQTPropertyValuePtr inPropValueAddress)
{
    const std::shared_ptr<QtsExtraction> session = Sessions().Find(sessionRef);
    if (!session || !inPropValueAddress)
        return paramErr;
    PropertyInfo info;
    if (!FindProperty(inPropClass, inPropID, &info) || !(info.flags & kCanSet))
        return kQTPropertyNotSupportedErr;
    if (inPropValueSize != info.size)
        return kQTPropertyBadValueSizeErr;
    qte::Extractor &x = *session->extractor;
    if (inPropID == kDiscrete) {
        const bool on = *static_cast<const Boolean *>(inPropValueAddress) != 0;
        const qte::Err err = x.setAllChannelsDiscrete(on);
        if (err == qte::noErr)
            session->discrete = on;
        return QtsOSErr(err);
    }
    if (inPropID == kCurrentTime) {
        TimeRecord record;
        std::memcpy(&record, inPropValueAddress, sizeof record);
        const int64_t value = int64_t((uint64_t(record.value.hi) << 32) | record.value.lo);
        if (record.scale <= 0)
            return paramErr;
        return QtsOSErr(x.setTime(value, uint32_t(record.scale)));
    }
    AudioStreamBasicDescription asbd;
    std::memcpy(&asbd, inPropValueAddress, sizeof asbd);
    qte::AudioFormat format;
    if (!QtsFormatFromDescription(asbd, &format))
        return paramErr;
    return QtsOSErr(x.setFormat(format));
}

OSStatus MovieAudioExtractionFillBuffer(MovieAudioExtractionRef sessionRef, UInt32 *ioNumFrames,
                                        AudioBufferList *ioData, UInt32 *outFlags)
{
    if (outFlags)
        *outFlags = 0;
    const std::shared_ptr<QtsExtraction> session = Sessions().Find(sessionRef);
    if (!session || !ioNumFrames || !ioData)
        return paramErr;
    qte::Extractor &x = *session->extractor;
    const qte::AudioFormat format = x.format();
    const UInt32 planes = format.interleaved ? 1 : format.channels;
    if (ioData->mNumberBuffers < planes)
        return paramErr;
    const UInt32 bytesPerFrame = format.bytesPerFrame();
    UInt32 frames = *ioNumFrames;
    void *data[32];
    for (UInt32 i = 0; i < planes; ++i) {
        const AudioBuffer &buffer = QtsBuffer(*ioData, i);
        if (!buffer.mData)
            return paramErr;
        data[i] = buffer.mData;
        if (buffer.mDataByteSize / bytesPerFrame < frames)
            frames = buffer.mDataByteSize / bytesPerFrame;
    }
    UInt32 got = 0;
    bool done = false;
    const qte::Err err = x.fill(data, frames, &got, &done);
    *ioNumFrames = got;
    for (UInt32 i = 0; i < planes; ++i)
        QtsBuffer(*ioData, i).mDataByteSize = got * bytesPerFrame;
    if (err != qte::noErr)
        return QtsOSErr(err);
    if (done && outFlags)
        *outFlags = kExtractionComplete;
    return noErr;
}

}  // extern "C"

namespace {
const QtsRoutine kExtractionRoutines[] = {
    QTS_ROUTINE(MovieAudioExtractionBegin),
    QTS_ROUTINE(MovieAudioExtractionEnd),
    QTS_ROUTINE(MovieAudioExtractionFillBuffer),
    QTS_ROUTINE(MovieAudioExtractionGetPropertyInfo),
    QTS_ROUTINE(MovieAudioExtractionGetProperty),
    QTS_ROUTINE(MovieAudioExtractionSetProperty),
};
QTS_REGISTER_ROUTINES(kExtractionRoutines);
}  // namespace
