// The pins' private information interfaces, for programs that know them: the track's format
// codes on every pin, the frame rate on video pins, the sample rate and an output-rate override
// on audio pins. The filter answers the video and audio ones by forwarding to one of its pins.
//
// The method order is the interfaces' binary layout: never reorder, only append.
#pragma once

#include <windows.h>
#include <unknwn.h>

// {23B6AAF9-5A94-4247-9E3B-C360F58E9694}
inline constexpr GUID IID_IMovieStreamInfo =
    {0x23b6aaf9, 0x5a94, 0x4247, {0x9e, 0x3b, 0xc3, 0x60, 0xf5, 0x8e, 0x96, 0x94}};
// {E6E1D6D9-7E5B-40A0-804C-A3CA6A0F8F34}
inline constexpr GUID IID_IMovieVideoInfo =
    {0xe6e1d6d9, 0x7e5b, 0x40a0, {0x80, 0x4c, 0xa3, 0xca, 0x6a, 0x0f, 0x8f, 0x34}};
// {73B1FAEA-FD6C-49D8-B222-9350A3548EEE}
inline constexpr GUID IID_IMovieAudioInfo =
    {0x73b1faea, 0xfd6c, 0x49d8, {0xb2, 0x22, 0x93, 0x50, 0xa3, 0x54, 0x8e, 0xee}};

// Every pin. Both codes are FourCCs (first character in the most significant byte); they take
// no lock.
struct IMovieStreamInfo : public IUnknown {
    // The track's format code (codec of the sample description, or what the audio set-up reads).
    virtual HRESULT STDMETHODCALLTYPE GetSourceFormat(DWORD *pCode) = 0;
    // The code of what the pin delivers ('NONE' for PCM audio; the source code for video).
    virtual HRESULT STDMETHODCALLTYPE GetOutputFormat(DWORD *pCode) = 0;
};

// Video pins.
struct IMovieVideoInfo : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetSourceFormat(DWORD *pCode) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetOutputFormat(DWORD *pCode) = 0;
    // The pin's frame rate, truncated toward zero.
    virtual HRESULT STDMETHODCALLTYPE GetFramesPerSecond(LONG *pFramesPerSecond) = 0;
};

// Audio pins.
struct IMovieAudioInfo : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetSourceFormat(DWORD *pCode) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetOutputFormat(DWORD *pCode) = 0;
    // The source sample rate in hertz (never the override).
    virtual HRESULT STDMETHODCALLTYPE GetSampleRate(LONG *pSampleRate) = 0;
    // S_OK for an 'mp4a' source, else S_FALSE.
    virtual HRESULT STDMETHODCALLTYPE IsMpeg4Audio() = 0;
    // Sets the output-rate override when the low byte of bSet is non-zero; S_OK in every case.
    virtual HRESULT STDMETHODCALLTYPE SetOutputSampleRate(BOOL bSet, LONG nSampleRate) = 0;
};
