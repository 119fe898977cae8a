#pragma once
// The files a dump leaves: a video pin's frames as BMP files in a folder of their own (or one
// raw file with a text file describing its format), an audio pin's PCM as a WAV file with the
// pin's own format block. Everything is written under a temporary name and only Commit gives
// it its real name, so a dump that fails half-way leaves nothing that looks complete; a
// writer destroyed without Commit removes what it wrote.

#include <windows.h>
#include <dshow.h>

#include <memory>
#include <string>

#include "writersink.h"

class OutputFile; // an open file under its temporary name

// Frames of one video pin: OUTDIR\NAME\frame-000000.bmp..., or OUTDIR\NAME.rgb and
// OUTDIR\NAME.rgb.txt when raw.
class FrameWriter : public StreamWriter {
public:
    FrameWriter(const std::wstring &outDir, const std::wstring &name, bool bRaw);
    ~FrameWriter() override;
    // The connection's media type: a VIDEOINFOHEADER of an uncompressed RGB type.
    HRESULT Begin(const AM_MEDIA_TYPE &mt);
    HRESULT Write(const BYTE *pData, long cbData) override;
    HRESULT Commit();
    std::wstring FinalPath() const; // the folder, or the raw file

private:
    HRESULT WriteBitmap(const BYTE *pData, long cbData);
    void Abandon();

    std::wstring m_outDir, m_name;
    bool m_bRaw;
    bool m_bCommitted = false;
    BITMAPINFOHEADER m_bmi{};
    std::string m_format; // the raw file's description
    long m_cbFrame = 0;
    LONG m_iFrame = 0;
    std::unique_ptr<OutputFile> m_raw;
};

// PCM of one audio pin: OUTDIR\NAME.wav.
class WaveWriter : public StreamWriter {
public:
    WaveWriter(const std::wstring &outDir, const std::wstring &name);
    ~WaveWriter() override;
    // The connection's media type: a WAVEFORMATEX, maybe extensible, kept as it is.
    HRESULT Begin(const AM_MEDIA_TYPE &mt);
    HRESULT Write(const BYTE *pData, long cbData) override;
    // Fills in the chunk sizes, then renames.
    HRESULT Commit();
    std::wstring FinalPath() const;

private:
    std::wstring m_outDir, m_name;
    std::unique_ptr<OutputFile> m_file;
    DWORD m_cbFormat = 0;
    ULONGLONG m_cbData = 0;
};

// "frame-000012.bmp"-style names share this; also used by the tests' expectations.
std::wstring FrameFileName(LONG iFrame);
// The pixel format name ffmpeg gives the layout of a bit count (bgr0, bgr24, rgb555le).
const char *PixelFormatName(int nBitCount);
