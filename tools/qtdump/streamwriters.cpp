#include "streamwriters.h"

#include <mmreg.h>

#include <cstdio>
#include <vector>

// A file written under NAME.partial and renamed by Commit; deleted if never committed.
class OutputFile {
public:
    explicit OutputFile(const std::wstring &path) : m_path(path), m_temp(path + L".partial") {}
    ~OutputFile()
    {
        Close();
        if (!m_bCommitted)
            DeleteFileW(m_temp.c_str());
    }
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    HRESULT Open()
    {
        m_h = CreateFileW(m_temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
        return m_h == INVALID_HANDLE_VALUE ? HRESULT_FROM_WIN32(GetLastError()) : S_OK;
    }
    HRESULT Write(const void *p, DWORD cb)
    {
        DWORD written = 0;
        if (!WriteFile(m_h, p, cb, &written, nullptr))
            return HRESULT_FROM_WIN32(GetLastError());
        return written == cb ? S_OK : HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    }
    HRESULT WriteAt(LONGLONG offset, const void *p, DWORD cb)
    {
        LARGE_INTEGER li;
        li.QuadPart = offset;
        if (!SetFilePointerEx(m_h, li, nullptr, FILE_BEGIN))
            return HRESULT_FROM_WIN32(GetLastError());
        return Write(p, cb);
    }
    HRESULT Commit()
    {
        if (!Close())
            return HRESULT_FROM_WIN32(GetLastError());
        if (!MoveFileExW(m_temp.c_str(), m_path.c_str(), MOVEFILE_REPLACE_EXISTING))
            return HRESULT_FROM_WIN32(GetLastError());
        m_bCommitted = true;
        return S_OK;
    }

private:
    bool Close()
    {
        if (m_h == INVALID_HANDLE_VALUE)
            return true;
        const BOOL ok = CloseHandle(m_h);
        m_h = INVALID_HANDLE_VALUE;
        return ok != FALSE;
    }
    std::wstring m_path, m_temp;
    HANDLE m_h = INVALID_HANDLE_VALUE;
    bool m_bCommitted = false;
};

namespace {

// Removes the frame files of a folder the dumper made, then the folder.
void RemoveFrameFolder(const std::wstring &dir)
{
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"\\frame-*.bmp").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            DeleteFileW((dir + L"\\" + fd.cFileName).c_str());
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(dir.c_str());
}

} // namespace

std::wstring FrameFileName(LONG iFrame)
{
    wchar_t name[32];
    swprintf(name, 32, L"frame-%06ld.bmp", static_cast<long>(iFrame));
    return name;
}

const char *PixelFormatName(int nBitCount)
{
    switch (nBitCount) {
    case 32: return "bgr0";
    case 24: return "bgr24";
    case 16: return "rgb555le";
    default: return "unknown";
    }
}

FrameWriter::FrameWriter(const std::wstring &outDir, const std::wstring &name, bool bRaw)
    : m_outDir(outDir), m_name(name), m_bRaw(bRaw)
{
}

FrameWriter::~FrameWriter()
{
    if (!m_bCommitted)
        Abandon();
}

std::wstring FrameWriter::FinalPath() const
{
    return m_outDir + L"\\" + m_name + (m_bRaw ? L".rgb" : L"");
}

HRESULT FrameWriter::Begin(const AM_MEDIA_TYPE &mt)
{
    if (mt.formattype != FORMAT_VideoInfo || !mt.pbFormat || mt.cbFormat < sizeof(VIDEOINFOHEADER))
        return VFW_E_INVALIDMEDIATYPE;
    const VIDEOINFOHEADER *pvi = reinterpret_cast<const VIDEOINFOHEADER *>(mt.pbFormat);
    m_bmi = pvi->bmiHeader;
    if (m_bmi.biCompression != BI_RGB || m_bmi.biWidth <= 0 || m_bmi.biHeight == 0)
        return VFW_E_INVALIDMEDIATYPE;
    const LONGLONG stride = ((LONGLONG(m_bmi.biWidth) * m_bmi.biBitCount + 31) / 32) * 4;
    const LONGLONG rows = m_bmi.biHeight < 0 ? -LONGLONG(m_bmi.biHeight) : m_bmi.biHeight;
    if (stride * rows > 0x7fffffff)
        return VFW_E_INVALIDMEDIATYPE;
    m_cbFrame = long(stride * rows);
    m_bmi.biSizeImage = DWORD(m_cbFrame);

    if (m_bRaw) {
        char text[160];
        const double fps = pvi->AvgTimePerFrame > 0 ? 1e7 / double(pvi->AvgTimePerFrame) : 0.0;
        snprintf(text, sizeof text, "width=%ld\nheight=%lld\npix_fmt=%s\nframe_size=%ld\nfps=%.6f\n",
                 static_cast<long>(m_bmi.biWidth), rows, PixelFormatName(m_bmi.biBitCount),
                 m_cbFrame, fps);
        m_format = text;
        m_raw.reset(new (std::nothrow) OutputFile(FinalPath()));
        if (!m_raw)
            return E_OUTOFMEMORY;
        return m_raw->Open();
    }
    const std::wstring partial = FinalPath() + L".partial";
    RemoveFrameFolder(partial);
    if (!CreateDirectoryW(partial.c_str(), nullptr))
        return HRESULT_FROM_WIN32(GetLastError());
    return S_OK;
}

HRESULT FrameWriter::Write(const BYTE *pData, long cbData)
{
    // A short frame would make a file that lies about its picture.
    if (cbData < m_cbFrame)
        return VFW_E_BUFFER_UNDERFLOW;
    if (m_bRaw) {
        const HRESULT hr = m_raw->Write(pData, DWORD(m_cbFrame));
        if (SUCCEEDED(hr))
            ++m_iFrame;
        return hr;
    }
    return WriteBitmap(pData, cbData);
}

HRESULT FrameWriter::WriteBitmap(const BYTE *pData, long)
{
    const std::wstring path = FinalPath() + L".partial\\" + FrameFileName(m_iFrame);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return HRESULT_FROM_WIN32(GetLastError());
    BITMAPFILEHEADER bfh{};
    bfh.bfType = 0x4d42; // "BM"
    bfh.bfOffBits = sizeof bfh + sizeof m_bmi;
    bfh.bfSize = bfh.bfOffBits + DWORD(m_cbFrame);
    DWORD written = 0;
    BOOL ok = WriteFile(h, &bfh, sizeof bfh, &written, nullptr) && written == sizeof bfh;
    ok = ok && WriteFile(h, &m_bmi, sizeof m_bmi, &written, nullptr) && written == sizeof m_bmi;
    ok = ok && WriteFile(h, pData, DWORD(m_cbFrame), &written, nullptr) &&
         written == DWORD(m_cbFrame);
    const DWORD error = ok ? 0 : GetLastError();
    CloseHandle(h);
    if (!ok)
        return error ? HRESULT_FROM_WIN32(error) : HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    ++m_iFrame;
    return S_OK;
}

HRESULT FrameWriter::Commit()
{
    if (m_bRaw) {
        if (!m_raw)
            return E_UNEXPECTED;
        OutputFile description(FinalPath() + L".txt");
        HRESULT hr = description.Open();
        if (SUCCEEDED(hr))
            hr = description.Write(m_format.data(), DWORD(m_format.size()));
        if (SUCCEEDED(hr))
            hr = m_raw->Commit();
        if (SUCCEEDED(hr))
            hr = description.Commit();
        m_bCommitted = SUCCEEDED(hr);
        return hr;
    }
    const std::wstring final = FinalPath();
    RemoveFrameFolder(final);
    if (!MoveFileW((final + L".partial").c_str(), final.c_str()))
        return HRESULT_FROM_WIN32(GetLastError());
    m_bCommitted = true;
    return S_OK;
}

void FrameWriter::Abandon()
{
    m_raw.reset();
    if (!m_bRaw)
        RemoveFrameFolder(FinalPath() + L".partial");
}

WaveWriter::WaveWriter(const std::wstring &outDir, const std::wstring &name)
    : m_outDir(outDir), m_name(name)
{
}

WaveWriter::~WaveWriter() = default;

std::wstring WaveWriter::FinalPath() const
{
    return m_outDir + L"\\" + m_name + L".wav";
}

HRESULT WaveWriter::Begin(const AM_MEDIA_TYPE &mt)
{
    if (mt.formattype != FORMAT_WaveFormatEx || !mt.pbFormat || mt.cbFormat < sizeof(WAVEFORMATEX))
        return VFW_E_INVALIDMEDIATYPE;
    const WAVEFORMATEX *pwfx = reinterpret_cast<const WAVEFORMATEX *>(mt.pbFormat);
    // The fmt chunk is the format block as the pin gave it, cbSize and all.
    m_cbFormat = sizeof(WAVEFORMATEX) + pwfx->cbSize;
    if (m_cbFormat > mt.cbFormat)
        return VFW_E_INVALIDMEDIATYPE;
    if (pwfx->wFormatTag == WAVE_FORMAT_PCM)
        m_cbFormat = 16 + (pwfx->cbSize ? 2 + pwfx->cbSize : 0);
    m_file.reset(new (std::nothrow) OutputFile(FinalPath()));
    if (!m_file)
        return E_OUTOFMEMORY;
    HRESULT hr = m_file->Open();
    if (FAILED(hr))
        return hr;
    const DWORD riffSize = 0, dataSize = 0;
    const DWORD fmtSize = m_cbFormat;
    hr = m_file->Write("RIFF", 4);
    if (SUCCEEDED(hr)) hr = m_file->Write(&riffSize, 4);
    if (SUCCEEDED(hr)) hr = m_file->Write("WAVEfmt ", 8);
    if (SUCCEEDED(hr)) hr = m_file->Write(&fmtSize, 4);
    if (SUCCEEDED(hr)) hr = m_file->Write(pwfx, m_cbFormat);
    if (SUCCEEDED(hr)) hr = m_file->Write("data", 4);
    if (SUCCEEDED(hr)) hr = m_file->Write(&dataSize, 4);
    return hr;
}

HRESULT WaveWriter::Write(const BYTE *pData, long cbData)
{
    if (!m_file)
        return E_UNEXPECTED;
    if (cbData <= 0)
        return S_OK;
    // RIFF sizes are 32 bits: refuse rather than write a header that wraps.
    if (m_cbData + ULONGLONG(cbData) > 0xFFFFFFFFull - 64)
        return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
    const HRESULT hr = m_file->Write(pData, DWORD(cbData));
    if (SUCCEEDED(hr))
        m_cbData += ULONGLONG(cbData);
    return hr;
}

HRESULT WaveWriter::Commit()
{
    if (!m_file)
        return E_UNEXPECTED;
    HRESULT hr = S_OK;
    if (m_cbData & 1) {
        const BYTE pad = 0;
        hr = m_file->Write(&pad, 1);
    }
    const DWORD dataSize = DWORD(m_cbData);
    const DWORD riffSize = 4 + 8 + m_cbFormat + 8 + dataSize + DWORD(m_cbData & 1);
    if (SUCCEEDED(hr)) hr = m_file->WriteAt(4, &riffSize, 4);
    if (SUCCEEDED(hr)) hr = m_file->WriteAt(20 + m_cbFormat + 4, &dataSize, 4);
    if (SUCCEEDED(hr)) hr = m_file->Commit();
    return hr;
}
