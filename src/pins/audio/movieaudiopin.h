// CMovieAudioPin: the output pin of a sound track, delivering little-endian integer PCM.
//
// It obtains the PCM one of two ways, fixed by the filter's m_bQuickTime71:
// - movie-level (FillFromMovie): QuickTime's movie audio extraction yields the mixed sound of
//   the whole movie, which the standard audio component ('scdi'/'audi') converts to packed,
//   interleaved integer PCM written straight into the sample;
// - per track (FillFromTrack): the pin reads the track's media samples itself and a sound
//   converter decompresses them, one read per sample (constant bit rate), or pulled through the
//   converter's data callback (variable bit rate). The converter writes straight into the
//   sample, never more than the sample holds; what a variable-bit-rate conversion had no room
//   for stays in the converter and begins the next sample.
// The pin offers one media type: WAVEFORMATEX, or WAVEFORMATEXTENSIBLE for more than two
// channels or 24 and 32 bits; buffers hold two seconds. IMovieAudioInfo reports the source
// format and rate and takes an output-rate override, which the next set-up applies; a
// connected pin goes on delivering at its connection's rate, so type and data always agree.
//
// Units: positions are the base's pin units; on the per-track path media samples are read in
// media units (m_lMediaTimeScale), converted both ways without drift (see MediaTimeOf).
//
// Locks: the set-ups run with m_PinLock then m_csQuickTime held (at construction under the
// filter's m_csQuickTime only, before anything else can reach the pin); fills, the reader and
// both QuickTime callbacks run on the worker with m_PinLock held, the reposition with m_PinLock
// held and the worker stopped; the media type is built and the buffers decided under the
// filter's state lock. The override is a plain interlocked store.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "pins/movieinterfaces.h"
#include "pins/movieoutputpin.h"
#include "pins/pininfopart.h"
#include "quicktime/QuickTimeTypes.h"

class CMovieAudioPin : public CMovieOutputPin {
public:
    // Runs the path's set-up once and writes its result to *phr; the pin exists whatever it is.
    CMovieAudioPin(HRESULT *phr, CMovieSourceFilter *pFilter, LPCWSTR pPinName, Movie movie,
                   long lTrackIndex, int nChannels, int nSampleRate, int nBitsPerSample,
                   DWORD dwDataFormat);
    // Releases the converter or the component, session and buffers (pin lock, then the
    // QuickTime lock).
    ~CMovieAudioPin() override;

    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;

    // CMovieOutputPin: per-track path, movie-level path, the media type and the reposition.
    HRESULT FillFromTrack(IMediaSample *pSample, BYTE *pBuffer, long lSize) override;
    HRESULT FillFromMovie(IMediaSample *pSample, BYTE *pBuffer, long lSize) override;
    HRESULT PrepareTrackStreaming() override;
    HRESULT PrepareMovieStreaming() override;
    HRESULT BuildMediaType() override;
    HRESULT OnStartRepositioned() override;
    // A new pass reads the sound from the start position again, also without a seek between
    // (a player that stops and plays again).
    HRESULT OnThreadStartPlay() override;

    // One buffer of two seconds of the connection's format.
    HRESULT DecideBufferSize(IMemAllocator *pAlloc, ALLOCATOR_PROPERTIES *pProps) override;

private:
    // The private interface, a part of the pin that delegates IUnknown to the pin's owner.
    class CAudioInfo : public CPinInfoPart<IMovieAudioInfo, CMovieAudioPin> {
    public:
        explicit CAudioInfo(CMovieAudioPin *pPin) : CPinInfoPart(pPin) {}
        STDMETHODIMP GetSampleRate(LONG *pSampleRate) override;
        STDMETHODIMP IsMpeg4Audio() override;
        STDMETHODIMP SetOutputSampleRate(BOOL bSet, LONG nSampleRate) override;
    };

    // The rate the offered type carries: the override when set (1 Hz to kMaxOutputRate),
    // else the source rate.
    int RequestedRate() const;
    // The output rate the next set-up must produce: the connection's rate while connected (so
    // that the data always match the agreed type), else RequestedRate.
    int WantedOutputRate() const;
    // Bytes per second at the given rate of the current channels and bits.
    int BytesPerSecondAt(int nRate) const;

    // Per-track path.
    // Reads the chunk at lPosition into m_hSourceData, at most lMaxBytes (doubled up to
    // lGrowthLimit while a single sample does not fit, then no chunk). Describes it in m_sourceData and returns its
    // duration in pin units through *plDuration; false when there is none.
    bool ReadChunk(long lPosition, long lMaxBytes, long lGrowthLimit, long *plDuration);
    // The media time of pin position lPin (truncated), and the first pin position at or after
    // media time lMedia: reads advance exactly by whole media samples.
    long MediaTimeOf(long lPin) const;
    long PinTimeAtOrAfter(long lMedia) const;
    HRESULT FillConstantBitRate(BYTE *pBuffer, long lSize);
    HRESULT FillVariableBitRate(BYTE *pBuffer, long lSize);
    // The sample's length and duration from a conversion's result; nothing converted ends it.
    HRESULT TakeConverted(OSErr err, unsigned long lBytes, unsigned long cbRoom, long lDuration);
    static Boolean FillBufferDataProc(SoundComponentDataPtr *ppData, void *pRefCon);
    // (Re)allocates the locked source handle; false when out of memory.
    bool AllocateSourceData(long lBytes);
    void ReleaseConverter();

    // Movie-level path.
    static OSStatus InputDataProc(ComponentInstance ci, UInt32 *pPackets, AudioBufferList *pData,
                                  AudioStreamPacketDescription **ppDescriptions, void *pUser);
    HRESULT SetComponentOutput(int nRate);
    void SetExtractionTime(LONGLONG llTime);
    void ReleaseExtraction();

    CAudioInfo m_AudioInfo;

    // The output format. Channels and bits are final after the first set-up; the rate is the
    // source's (the extraction's on the movie-level path).
    int m_nChannels;
    int m_nSampleRate;
    int m_nBitsPerSample;
    int m_nBytesPerSecond;           // at m_nConfiguredRate; by the set-ups
    volatile LONG m_nOutputSampleRate;  // override; 0 = none; any thread (interlocked)
    int m_nConfiguredRate;           // the output rate the converter or component produces
    // The speakers of the channels where the movie-level path's layout names them in a channel
    // mask's order; 0 otherwise (the media type then names the first m_nChannels speakers).
    DWORD m_dwChannelMask;

    // Per-track path; set up and released under m_PinLock (or the construction's lock).
    SoundConverter m_soundConverter;
    BOOL m_bVariableBitRate;
    Handle m_hSourceData;            // locked; reused for every read
    long m_lSourceCapacity;          // bytes m_hSourceData holds
    ExtendedSoundComponentData m_sourceData;
    SoundConverterFillBufferDataUPP m_fillBufferDataProc;
    unsigned long m_nConverterFlags; // of the converter's last fill
    // The variable-bit-rate fill reads ahead of what it delivers (the converter keeps what a
    // sample had no room for), so its reads have a position of their own, and its clock counts
    // the output's frames from m_lVbrBase. m_lVbrClock is m_lCurrent as the last fill left it:
    // any other value means the clock was moved (a new segment or a quality message).
    long m_lReadPosition;
    long m_lVbrBase;
    LONGLONG m_llVbrFrames;
    long m_lVbrClock;
    bool m_bVbrSynced;

    // Movie-level path; same locks.
    ComponentInstance m_stdAudio;
    AudioStreamBasicDescription m_extractionFormat;
    MovieAudioExtractionRef m_extractionSession;
    UInt32 m_nExtractionBufferSize;
    BYTE *m_pExtractionBuffer;       // new[]; only grows
    bool m_bExtractionComplete;
    bool m_bExtractionRead;          // sound was taken since the extraction's time was set
};
