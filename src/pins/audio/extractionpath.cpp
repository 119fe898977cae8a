// The movie-level path: movie audio extraction feeds the standard audio component, which
// writes packed, interleaved, signed-integer PCM straight into each sample.
#include "pins/audio/movieaudiopin.h"

#include <mmreg.h>

#include <cstddef>
#include <memory>
#include <new>

#include "filter/moviesourcefilter.h"
#include "quicktime/QuickTime.h"

namespace {

constexpr UInt32 kFloat = 0x1;
constexpr UInt32 kSignedInteger = 0x4;
constexpr UInt32 kPacked = 0x8;
constexpr UInt32 kNonInterleaved = 0x20;
constexpr UInt32 kExtractionComplete = 0x1;

// The channel mask of a layout given by channel descriptions whose labels are each a speaker of
// a mask, in the mask's order (the order a WAVE format's channels take); 0 for any other.
DWORD MaskOfLayout(const BYTE *pLayout, ByteCount cbLayout, UInt32 nChannels)
{
    // kAudioChannelLabel_* and the SPEAKER_* bit of each: surround is the back pair (5.1's),
    // surround direct the side pair, vertical height the top front.
    static const struct { UInt32 label; DWORD speaker; } kSpeakers[] = {
        {1, SPEAKER_FRONT_LEFT}, {2, SPEAKER_FRONT_RIGHT}, {3, SPEAKER_FRONT_CENTER},
        {42, SPEAKER_FRONT_CENTER}, {4, SPEAKER_LOW_FREQUENCY}, {5, SPEAKER_BACK_LEFT},
        {6, SPEAKER_BACK_RIGHT}, {7, SPEAKER_FRONT_LEFT_OF_CENTER}, {8, SPEAKER_FRONT_RIGHT_OF_CENTER},
        {9, SPEAKER_BACK_CENTER}, {10, SPEAKER_SIDE_LEFT}, {11, SPEAKER_SIDE_RIGHT},
        {13, SPEAKER_TOP_FRONT_LEFT}, {14, SPEAKER_TOP_FRONT_CENTER}, {15, SPEAKER_TOP_FRONT_RIGHT},
    };
    const AudioChannelLayout *layout = reinterpret_cast<const AudioChannelLayout *>(pLayout);
    const size_t cbFixed = offsetof(AudioChannelLayout, mChannelDescriptions);
    if (cbLayout < cbFixed || layout->mChannelLayoutTag != 0 || layout->mNumberChannelDescriptions != nChannels ||
        (cbLayout - cbFixed) / sizeof(AudioChannelDescription) < nChannels)
        return 0;
    DWORD dwMask = 0;
    for (UInt32 i = 0; i < nChannels; i++) {
        DWORD dwSpeaker = 0;
        for (const auto &s : kSpeakers)
            if (s.label == layout->mChannelDescriptions[i].mChannelLabel)
                dwSpeaker = s.speaker;
        if (dwSpeaker <= dwMask)  // none, or not after the speakers before it
            return 0;
        dwMask |= dwSpeaker;
    }
    return dwMask;
}

}  // namespace

HRESULT CMovieAudioPin::PrepareMovieStreaming()
{
    if (m_stdAudio) {
        // Set up already; a new output rate only changes the component's output.
        const int nRate = WantedOutputRate();
        return nRate == m_nConfiguredRate ? S_OK : SetComponentOutput(nRate);
    }
    // Any failure leaves nothing half made, so that the next set-up starts afresh.
    struct Undo {
        CMovieAudioPin *pPin;
        ~Undo()
        {
            if (pPin)
                pPin->ReleaseExtraction();
        }
    } undo = {this};

    if (OpenADefaultComponent(QTFourCC("scdi"), QTFourCC("audi"), &m_stdAudio) != noErr) {
        m_stdAudio = nullptr;
        return E_FAIL;
    }
    if (MovieAudioExtractionBegin(m_Movie, 0, &m_extractionSession) != noErr) {
        m_extractionSession = nullptr;
        return E_FAIL;
    }
    const Boolean allChansDiscrete = 1;
    if (MovieAudioExtractionSetProperty(m_extractionSession, QTFourCC("xmov"), QTFourCC("disc"),
                                        sizeof allChansDiscrete, &allChansDiscrete) != noErr)
        return E_FAIL;
    if (MovieAudioExtractionGetProperty(m_extractionSession, QTFourCC("xaud"), QTFourCC("asbd"),
                                        sizeof m_extractionFormat, &m_extractionFormat,
                                        nullptr) != noErr)
        return E_FAIL;
    m_dwSourceFormat = m_extractionFormat.mFormatID;

    // Ask for integer samples of the sources' real width where it is known. Either way the
    // input procedure lends one buffer, so the extraction must be interleaved.
    AudioStreamBasicDescription &fmt = m_extractionFormat;
    UInt32 maxSampleSize = 0;
    const OSStatus msszErr = MovieAudioExtractionGetProperty(
        m_extractionSession, QTFourCC("xaud"), QTFourCC("mssz"), sizeof maxSampleSize,
        &maxSampleSize, nullptr);
    if (msszErr == noErr && maxSampleSize != 0) {
        fmt.mBitsPerChannel = maxSampleSize;
        if (maxSampleSize <= 32) {
            fmt.mFormatFlags = (fmt.mFormatFlags & ~(kFloat | kNonInterleaved)) | kSignedInteger;
            fmt.mBytesPerPacket = (maxSampleSize / 8) * fmt.mChannelsPerFrame;
            fmt.mBytesPerFrame = fmt.mBytesPerPacket;
        }
    } else {
        fmt.mFormatFlags &= ~kNonInterleaved;
        fmt.mBytesPerFrame = (fmt.mBitsPerChannel / 8) * fmt.mChannelsPerFrame;
        fmt.mBytesPerPacket = fmt.mBytesPerFrame * (fmt.mFramesPerPacket ? fmt.mFramesPerPacket : 1);
    }
    if (MovieAudioExtractionSetProperty(m_extractionSession, QTFourCC("xaud"), QTFourCC("asbd"),
                                        sizeof fmt, &fmt) != noErr)
        return E_FAIL;
    if (fmt.mChannelsPerFrame == 0 || fmt.mBitsPerChannel == 0 || !(fmt.mSampleRate >= 1.0) ||
        fmt.mSampleRate > double(MAXLONG))
        return E_FAIL;

    ByteCount layoutSize = 0;
    if (MovieAudioExtractionGetPropertyInfo(m_extractionSession, QTFourCC("xaud"),
                                            QTFourCC("clay"), nullptr, &layoutSize,
                                            nullptr) != noErr)
        return E_FAIL;
    std::unique_ptr<BYTE[]> layout;
    if (layoutSize != 0) {
        layout.reset(new (std::nothrow) BYTE[layoutSize]());
        if (!layout)
            return E_OUTOFMEMORY;
        if (MovieAudioExtractionGetProperty(m_extractionSession, QTFourCC("xaud"),
                                            QTFourCC("clay"), layoutSize, layout.get(),
                                            &layoutSize) != noErr)
            return E_FAIL;
    }
    if (QTSetComponentProperty(m_stdAudio, QTFourCC("scda"), QTFourCC("isbd"), sizeof fmt,
                               &fmt) != noErr)
        return E_FAIL;
    if (layout && QTSetComponentProperty(m_stdAudio, QTFourCC("scda"), QTFourCC("icly"),
                                         layoutSize, layout.get()) != noErr)
        return E_FAIL;

    m_nChannels = int(fmt.mChannelsPerFrame);
    m_dwChannelMask = layout ? MaskOfLayout(layout.get(), layoutSize, fmt.mChannelsPerFrame) : 0;
    m_nBitsPerSample = fmt.mBitsPerChannel < 16 ? 16 : int(fmt.mBitsPerChannel);
    m_nSampleRate = int(fmt.mSampleRate);
    const HRESULT hr = SetComponentOutput(WantedOutputRate());
    if (FAILED(hr))
        return hr;
    undo.pPin = nullptr;
    return S_OK;
}

HRESULT CMovieAudioPin::SetComponentOutput(int nRate)
{
    AudioStreamBasicDescription sOutBasicDesc = {};
    sOutBasicDesc.mSampleRate = double(nRate);
    sOutBasicDesc.mFormatID = QTFourCC("lpcm");
    sOutBasicDesc.mFormatFlags = kSignedInteger | kPacked;
    sOutBasicDesc.mBytesPerPacket = UInt32(m_nBitsPerSample) * UInt32(m_nChannels) / 8;
    sOutBasicDesc.mFramesPerPacket = 1;
    sOutBasicDesc.mBytesPerFrame = sOutBasicDesc.mBytesPerPacket;
    sOutBasicDesc.mChannelsPerFrame = UInt32(m_nChannels);
    sOutBasicDesc.mBitsPerChannel = UInt32(m_nBitsPerSample);
    if (QTSetComponentProperty(m_stdAudio, QTFourCC("scda"), QTFourCC("osbd"),
                               sizeof sOutBasicDesc, &sOutBasicDesc) != noErr)
        return E_FAIL;
    m_dwOutputFormat = QTFourCC("NONE");
    m_nConfiguredRate = nRate;
    m_nBytesPerSecond = BytesPerSecondAt(nRate);
    return m_nBytesPerSecond > 0 ? S_OK : E_FAIL;
}

HRESULT CMovieAudioPin::FillFromMovie(IMediaSample *, BYTE *pBuffer, long lSize)
{
    m_lChunkBytes = 0;
    m_lChunkDuration = 0;
    if (!m_stdAudio || !m_extractionSession || m_nBytesPerSecond <= 0)
        return E_FAIL;
    if (m_bExtractionComplete)
        return S_FALSE;
    m_bExtractionRead = true;
    // One buffer carries at most one second, in whole frames.
    const long cbFrame = long(m_nChannels) * m_nBitsPerSample / 8;
    const long cb = lSize < m_nBytesPerSecond ? lSize : m_nBytesPerSecond;
    UInt32 dwPacketsToGet = cbFrame > 0 && cb > 0 ? UInt32(cb / cbFrame) : 0;
    if (dwPacketsToGet == 0)
        return E_FAIL;
    AudioBufferList sBuffer = {1, {{UInt32(m_nChannels), dwPacketsToGet * UInt32(cbFrame), pBuffer}}};
    if (SCAudioFillBuffer(m_stdAudio, &CMovieAudioPin::InputDataProc, this, &dwPacketsToGet,
                          &sBuffer, nullptr) != noErr)
        return E_FAIL;
    const LONGLONG llBytes = LONGLONG(dwPacketsToGet) * cbFrame;
    if (llBytes <= 0 || llBytes > cb) {
        // Nothing produced (or a count the buffer cannot hold): there is no more sound.
        m_bExtractionComplete = true;
        return S_FALSE;
    }
    m_lChunkBytes = long(llBytes);
    m_lChunkDuration = long(LONGLONG(m_lTimeScale) * llBytes * 8 /
                            (LONGLONG(m_nChannels) * m_nBitsPerSample * m_nConfiguredRate));
    return S_OK;
}

OSStatus CMovieAudioPin::InputDataProc(ComponentInstance, UInt32 *pPackets, AudioBufferList *pData,
                                       AudioStreamPacketDescription **, void *pUser)
{
    CMovieAudioPin *pPin = static_cast<CMovieAudioPin *>(pUser);
    if (!pPin || !pPackets || !pData || pData->mNumberBuffers < 1)
        return paramErr;
    UInt32 pullPackets = *pPackets;
    *pPackets = 0;
    AudioBuffer &buffer = pData->mBuffers[0];
    if (pPin->m_bExtractionComplete) {
        buffer.mData = nullptr;
        buffer.mDataByteSize = 0;
        return noErr;
    }
    if (!buffer.mData) {
        // The component supplies no buffer: lend ours, grown to what this pull needs.
        const ULONGLONG needed = ULONGLONG(pullPackets) * pPin->m_extractionFormat.mBytesPerPacket;
        if (needed > MAXLONG) {
            buffer.mDataByteSize = 0;
            return paramErr;
        }
        if (pPin->m_nExtractionBufferSize < needed) {
            delete[] pPin->m_pExtractionBuffer;
            pPin->m_pExtractionBuffer = new (std::nothrow) BYTE[size_t(needed)];
            pPin->m_nExtractionBufferSize = pPin->m_pExtractionBuffer ? UInt32(needed) : 0;
            if (!pPin->m_pExtractionBuffer) {
                buffer.mDataByteSize = 0;
                return memFullErr;
            }
        }
        buffer.mDataByteSize = pPin->m_nExtractionBufferSize;
        buffer.mData = pPin->m_pExtractionBuffer;
    }
    UInt32 flags = 0;
    const OSStatus status = MovieAudioExtractionFillBuffer(pPin->m_extractionSession, &pullPackets,
                                                           pData, &flags);
    if (flags & kExtractionComplete)
        pPin->m_bExtractionComplete = true;
    *pPackets = pullPackets;
    return status;
}

HRESULT CMovieAudioPin::OnStartRepositioned()
{
    if (!m_pMovieFilter->m_bQuickTime71)
        return S_OK;
    // The extraction starts where the segment's stamps start; a position one sample interval
    // earlier would put sound before its time stamp.
    const LONGLONG lnPos = m_lStart;
    // After the end the session and the component are spent: make new ones.
    if (m_bExtractionComplete)
        ReleaseExtraction();
    if (!m_extractionSession)
        PrepareMovieStreaming();
    SetExtractionTime(lnPos);
    return S_OK;
}

HRESULT CMovieAudioPin::OnThreadStartPlay()
{
    const HRESULT hr = CMovieOutputPin::OnThreadStartPlay();
    CAutoLock lock(&m_PinLock);
    if (m_pMovieFilter->m_bQuickTime71 && m_bExtractionRead)
        OnStartRepositioned();
    return hr;
}

void CMovieAudioPin::SetExtractionTime(LONGLONG llTime)
{
    m_bExtractionRead = false;
    if (!m_extractionSession)
        return;
    TimeRecord timeRec = {};
    timeRec.value.hi = UInt32(ULONGLONG(llTime) >> 32);
    timeRec.value.lo = UInt32(ULONGLONG(llTime));
    timeRec.scale = m_lTimeScale;
    timeRec.base = nullptr;
    MovieAudioExtractionSetProperty(m_extractionSession, QTFourCC("xmov"), QTFourCC("time"),
                                    sizeof timeRec, &timeRec);
}

void CMovieAudioPin::ReleaseExtraction()
{
    if (m_extractionSession) {
        MovieAudioExtractionEnd(m_extractionSession);
        m_extractionSession = nullptr;
    }
    delete[] m_pExtractionBuffer;
    m_pExtractionBuffer = nullptr;
    m_nExtractionBufferSize = 0;
    if (m_stdAudio) {
        CloseComponent(m_stdAudio);
        m_stdAudio = nullptr;
    }
    m_bExtractionComplete = false;
    m_nConfiguredRate = 0;
}
