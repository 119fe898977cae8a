// The per-track path: the pin reads the track's media samples and a sound converter turns them
// into PCM, written straight into the sample and never more than it holds.
#include "pins/audio/movieaudiopin.h"

#include <algorithm>

#include "filter/moviesourcefilter.h"
#include "pins/pinarithmetic.h"
#include "quicktime/QuickTime.h"
#include "quicktime/QuickTimeHandle.h"

namespace {

constexpr SInt16 kVariableCompression = -2;
constexpr SInt32 kExtendedRecord = 0x4000;
constexpr SInt32 kBufferSizeValid = 3;        // sample count not valid, buffer size valid
constexpr SInt32 kCommonFrameSizeValid = 8;
constexpr unsigned long kConverterRanDry = 0x1;
constexpr unsigned long kConverterHoldsData = 0x2;
constexpr SInt16 kNextMediaSampleOrEdge = 0x4001;
constexpr Fixed kForward = 0x10000;
// A single sample may grow the source buffer to this many times one second of output.
constexpr long kSourceGrowthFactor = 4;

}  // namespace

HRESULT CMovieAudioPin::PrepareTrackStreaming()
{
    const int nRate = WantedOutputRate();
    if (m_soundConverter) {
        if (nRate == m_nConfiguredRate)
            return S_OK;
        ReleaseConverter();  // the rate changed: convert to the new one
    }
    if (!m_Media || m_lMediaTimeScale <= 0 || m_lTimeScale <= 0 || m_nChannels <= 0 ||
        m_nBitsPerSample <= 0 || m_nSampleRate <= 0 || BytesPerSecondAt(nRate) <= 0)
        return E_FAIL;

    CQuickTimeHandle description(NewHandle(0));
    if (!description.get())
        return E_FAIL;
    GetMediaSampleDescription(m_Media, 1, reinterpret_cast<SampleDescriptionHandle>(description.get()));
    if (GetMoviesError() != noErr || GetHandleSize(description.get()) < Size(sizeof(SoundDescription)))
        return E_FAIL;
    const SoundDescription sd = *reinterpret_cast<const SoundDescription *>(*description.get());
    CQuickTimeHandle extension(nullptr);
    if (GetSoundDescriptionExtension(reinterpret_cast<SoundDescriptionHandle>(description.get()),
                                     extension.Out(), QTFourCC("wave")) != noErr)
        *extension.Out() = nullptr;

    SoundComponentData theOutputFormat = {};
    theOutputFormat.format = QTFourCC("NONE");
    theOutputFormat.numChannels = SInt16(m_nChannels);
    theOutputFormat.sampleSize = SInt16(m_nBitsPerSample);
    theOutputFormat.sampleRate = UInt32(nRate) << 16;
    m_dwOutputFormat = QTFourCC("NONE");

    SoundComponentData theInputFormat = {};
    theInputFormat.format = sd.dataFormat;
    theInputFormat.numChannels = SInt16(m_nChannels);
    theInputFormat.sampleSize = SInt16(m_nBitsPerSample);
    theInputFormat.sampleRate = UInt32(m_nSampleRate) << 16;
    m_dwSourceFormat = sd.dataFormat;
    m_bVariableBitRate = sd.compressionID == kVariableCompression;

    // A converter that cannot be made is not a set-up failure: the fills then end the stream
    // at once, and the next start of streaming tries again.
    if (SoundConverterOpen(&theInputFormat, &theOutputFormat, &m_soundConverter) != noErr) {
        m_soundConverter = nullptr;
    } else {
        OSErr err = SoundConverterSetInfo(m_soundConverter, QTFourCC("cvbr"), reinterpret_cast<void *>(1));
        if (extension.get()) {
            // The converter takes the atom list as a pointer block, whose size bounds its
            // reading: a handle's bytes carry no size of their own.
            const Size size = GetHandleSize(extension.get());
            CQuickTimePtr atoms(NewPtr(size));
            if (atoms.get()) {
                HLock(extension.get());
                BlockMove(*extension.get(), atoms.get(), size);
                err = SoundConverterSetInfo(m_soundConverter, QTFourCC("wave"), atoms.get());
            }
        }
        if (err == siUnknownInfoType)
            err = noErr;
        if (err == noErr)
            SoundConverterBeginConversion(m_soundConverter);
    }
    m_nConfiguredRate = nRate;
    m_nBytesPerSecond = BytesPerSecondAt(nRate);

    if ((!m_hSourceData || m_lSourceCapacity < m_nBytesPerSecond) &&
        !AllocateSourceData(m_nBytesPerSecond)) {
        ReleaseConverter();
        return E_FAIL;
    }
    m_sourceData = ExtendedSoundComponentData();
    m_sourceData.desc = theInputFormat;
    m_sourceData.desc.flags = kExtendedRecord;
    m_sourceData.desc.buffer = reinterpret_cast<UInt8 *>(*m_hSourceData);
    m_sourceData.recordSize = sizeof m_sourceData;
    m_sourceData.extendedFlags = kBufferSizeValid | (m_bVariableBitRate ? kCommonFrameSizeValid : 0);
    m_sourceData.bufferSize = 0;
    if (!m_fillBufferDataProc)
        m_fillBufferDataProc = NewSoundConverterFillBufferDataUPP(&CMovieAudioPin::FillBufferDataProc);
    m_nConverterFlags = 0;
    m_bVbrSynced = false;  // a new converter holds nothing yet
    return S_OK;
}

bool CMovieAudioPin::AllocateSourceData(long lBytes)
{
    if (m_hSourceData) {
        HUnlock(m_hSourceData);
        DisposeHandle(m_hSourceData);
    }
    m_lSourceCapacity = 0;
    m_hSourceData = NewHandle(lBytes);
    if (!m_hSourceData || MemError() != noErr) {
        if (m_hSourceData)
            DisposeHandle(m_hSourceData);
        m_hSourceData = nullptr;
        return false;
    }
    MoveHHi(m_hSourceData);
    HLock(m_hSourceData);
    m_lSourceCapacity = lBytes;
    return true;
}

void CMovieAudioPin::ReleaseConverter()
{
    if (m_soundConverter) {
        SoundConverterClose(m_soundConverter);
        m_soundConverter = nullptr;
    }
    m_nConverterFlags = 0;
}

long CMovieAudioPin::MediaTimeOf(long lPin) const
{
    return long(LONGLONG(lPin) * m_lMediaTimeScale / m_lTimeScale);
}

long CMovieAudioPin::PinTimeAtOrAfter(long lMedia) const
{
    const LONGLONG llProduct = LONGLONG(lMedia) * m_lTimeScale;
    LONGLONG llPin = llProduct / m_lMediaTimeScale;
    if (llPin * m_lMediaTimeScale < llProduct)
        ++llPin;
    return long(std::min<LONGLONG>(llPin, MAXLONG));
}

bool CMovieAudioPin::ReadChunk(long lPosition, long lMaxBytes, long lGrowthLimit, long *plDuration)
{
    *plDuration = 0;
    bool bRead = false;
    long lSize = 0;
    long lSampleCount = 0;
    TimeValue durationPerSample = 0;
    if (lPosition < m_lStop && lMaxBytes > 0) {
        const long t = MediaTimeOf(lPosition);
        // A buffer grown for an earlier large sample is used whole, so it is not regrown.
        long lLimit = std::max(lMaxBytes, std::min(m_lSourceCapacity, lGrowthLimit));
        for (;;) {
            if ((!m_hSourceData || m_lSourceCapacity < lLimit) && !AllocateSourceData(lLimit))
                break;
            TimeValue sourceReturnedTime = 0;
            const OSErr err = GetMediaSample(m_Media, m_hSourceData, lLimit, &lSize, t,
                                             &sourceReturnedTime, &durationPerSample, nullptr,
                                             nullptr, 0, &lSampleCount, nullptr);
            if (err == maxSizeToGrowTooSmall && lLimit < lGrowthLimit) {
                // One sample is larger than the limit: allow more, up to the cap.
                lLimit = long(std::min<LONGLONG>(LONGLONG(lLimit) * 2, lGrowthLimit));
                continue;
            }
            bRead = err == noErr && lSampleCount > 0 && durationPerSample > 0 && lSize > 0 &&
                    lSize <= m_lSourceCapacity;
            break;
        }
    }
    if (!bRead) {
        m_sourceData.desc.buffer = nullptr;
        m_sourceData.desc.sampleCount = 0;
        m_sourceData.bufferSize = 0;
        m_sourceData.commonFrameSize = 0;
        return false;
    }
    const LONGLONG llMediaDuration = LONGLONG(lSampleCount) * durationPerSample;
    const long lEnd = PinTimeAtOrAfter(long(std::min<LONGLONG>(
        LONGLONG(MediaTimeOf(lPosition)) + llMediaDuration, MAXLONG)));
    m_sourceData.desc.buffer = reinterpret_cast<UInt8 *>(*m_hSourceData);
    m_sourceData.desc.sampleCount = SInt32(llMediaDuration);
    m_sourceData.bufferSize = lSize;
    m_sourceData.commonFrameSize = m_bVariableBitRate ? lSize / lSampleCount : 0;
    *plDuration = lEnd - lPosition;
    return true;
}

Boolean CMovieAudioPin::FillBufferDataProc(SoundComponentDataPtr *ppData, void *pRefCon)
{
    CMovieAudioPin *pPin = static_cast<CMovieAudioPin *>(pRefCon);
    long lDuration = 0;
    const bool bRead = pPin->ReadChunk(pPin->m_lReadPosition, pPin->m_nBytesPerSecond,
                                       kSourceGrowthFactor * pPin->m_nBytesPerSecond, &lDuration);
    if (ppData)
        *ppData = &pPin->m_sourceData.desc;
    if (bRead)
        pPin->m_lReadPosition += lDuration;
    return bRead;
}

HRESULT CMovieAudioPin::FillFromTrack(IMediaSample *, BYTE *pBuffer, long lSize)
{
    m_lChunkBytes = 0;
    m_lChunkDuration = 0;
    if (!m_soundConverter || m_nBytesPerSecond <= 0 || !pBuffer || lSize <= 0)
        return E_FAIL;
    return m_bVariableBitRate ? FillVariableBitRate(pBuffer, lSize) : FillConstantBitRate(pBuffer, lSize);
}

HRESULT CMovieAudioPin::FillConstantBitRate(BYTE *pBuffer, long lSize)
{
    unsigned long lInputFrames = 0;
    unsigned long lInputBytes = 0;
    unsigned long lOutputBytes = 0;
    if (SoundConverterGetBufferSizes(m_soundConverter, static_cast<unsigned long>(m_nBytesPerSecond),
                                     &lInputFrames, &lInputBytes, &lOutputBytes) != noErr ||
        lInputFrames == 0 || lInputBytes == 0 || lOutputBytes == 0)
        return E_FAIL;
    // Read no more than converts into the sample: compressed input and raised rates expand.
    const unsigned long cbRoom = static_cast<unsigned long>(lSize);
    LONGLONG llMaxRead = std::min<LONGLONG>(lInputBytes, m_nBytesPerSecond);
    if (lOutputBytes > cbRoom)
        llMaxRead = std::min<LONGLONG>(llMaxRead, ULONGLONG(lInputBytes) * cbRoom / lOutputBytes);
    long lDuration = 0;
    if (llMaxRead <= 0 || !ReadChunk(m_lCurrent, long(llMaxRead), long(llMaxRead), &lDuration))
        return S_FALSE;
    ULONGLONG ullFrames = ULONGLONG(ULONG(m_sourceData.bufferSize)) * lInputFrames / lInputBytes;
    ullFrames = std::min<ULONGLONG>(ullFrames, ULONGLONG(lInputFrames) * cbRoom / lOutputBytes);
    if (ullFrames == 0)
        return S_FALSE;
    unsigned long lOutputFrames = 0;
    lOutputBytes = 0;
    const OSErr err = SoundConverterConvertBuffer(m_soundConverter, *m_hSourceData,
                                                  static_cast<unsigned long>(ullFrames), pBuffer,
                                                  &lOutputFrames, &lOutputBytes);
    return TakeConverted(err, lOutputBytes, cbRoom, lDuration);
}

HRESULT CMovieAudioPin::TakeConverted(OSErr err, unsigned long lBytes, unsigned long cbRoom,
                                      long lDuration)
{
    if (err != noErr)
        return E_FAIL;
    if (lBytes == 0)
        return S_FALSE;  // nothing converted: the stream ends rather than repeat itself
    m_lChunkBytes = long(std::min(lBytes, cbRoom));
    m_lChunkDuration = lDuration;
    return S_OK;
}

HRESULT CMovieAudioPin::FillVariableBitRate(BYTE *pBuffer, long lSize)
{
    if (!m_fillBufferDataProc || m_nConfiguredRate <= 0)
        return E_FAIL;
    if (!m_bVbrSynced || m_lCurrent != m_lVbrClock) {
        // A new segment, or a quality message moved the clock: read from the clock, and what
        // the converter still holds belongs to the old position.
        if (m_nConverterFlags & kConverterHoldsData)
            SoundConverterBeginConversion(m_soundConverter);
        m_nConverterFlags = 0;
        m_lReadPosition = m_lCurrent;
        m_lVbrBase = m_lCurrent;
        m_llVbrFrames = 0;
        m_bVbrSynced = true;
    }
    if (m_nConverterFlags & kConverterRanDry) {
        // Everything read has been delivered; skip a gap in the media: go on at the next sample.
        TimeValue foundTime = 0;
        TimeValue duration = 0;
        GetMediaNextInterestingTime(m_Media, kNextMediaSampleOrEdge, MediaTimeOf(m_lReadPosition),
                                    kForward, &foundTime, &duration);
        if (foundTime < 0) {
            GetMoviesError();
            return S_FALSE;
        }
        // Reads and clock move by the gap alike.
        const long lNext = std::max(m_lReadPosition, PinTimeAtOrAfter(foundTime));
        m_lVbrBase = SaturateToLong(LONGLONG(m_lCurrent) + (lNext - m_lReadPosition));
        m_lReadPosition = lNext;
        m_llVbrFrames = 0;
        m_nConverterFlags = 0;
    }
    const unsigned long cbOut = static_cast<unsigned long>(std::min<long>(lSize, m_nBytesPerSecond));
    unsigned long lOutputBytes = 0;
    unsigned long lOutputFrames = 0;
    const OSErr err = SoundConverterFillBuffer(m_soundConverter, m_fillBufferDataProc, this, pBuffer,
                                               cbOut, &lOutputBytes, &lOutputFrames,
                                               &m_nConverterFlags);
    // The sample lasts as long as the sound it carries: the reads may be ahead of it by what
    // the converter keeps for the next fill. Counted from the base, so rounding never drifts.
    m_llVbrFrames += lOutputFrames;
    const long lEnd = SaturateToLong(LONGLONG(m_lVbrBase) +
                                     m_llVbrFrames * m_lTimeScale / m_nConfiguredRate);
    long lDuration = lEnd - m_lCurrent;
    if (lOutputBytes > 0 && lDuration <= 0)
        lDuration = 1;  // less than a pin unit of sound still moves the clock
    const HRESULT hr = TakeConverted(err, lOutputBytes, cbOut, lDuration);
    m_lVbrClock = hr == S_OK ? m_lCurrent + m_lChunkDuration : m_lCurrent;
    return hr;
}
