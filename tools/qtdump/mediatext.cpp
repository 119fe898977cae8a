#include "mediatext.h"

#include <mmreg.h>

#include <cstdio>

std::string FourCCText(DWORD code)
{
    std::string text = "'";
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = char((code >> shift) & 0xff);
        text += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return text + "'";
}

namespace {

std::string VideoText(const AM_MEDIA_TYPE &mt)
{
    if (mt.formattype != FORMAT_VideoInfo || mt.cbFormat < sizeof(VIDEOINFOHEADER) || !mt.pbFormat)
        return "video of an unknown format";
    const VIDEOINFOHEADER *pvi = reinterpret_cast<const VIDEOINFOHEADER *>(mt.pbFormat);
    const BITMAPINFOHEADER &bmi = pvi->bmiHeader;
    const char *kind = mt.subtype == MEDIASUBTYPE_RGB32   ? "RGB32"
                       : mt.subtype == MEDIASUBTYPE_RGB24 ? "RGB24"
                       : mt.subtype == MEDIASUBTYPE_RGB555 ? "RGB555"
                       : mt.subtype == MEDIASUBTYPE_RGB565 ? "RGB565"
                                                          : "RGB?";
    char text[128];
    const long height = bmi.biHeight < 0 ? -bmi.biHeight : bmi.biHeight;
    int n = snprintf(text, sizeof text, "%ldx%ld %s", static_cast<long>(bmi.biWidth), height, kind);
    if (pvi->AvgTimePerFrame > 0)
        snprintf(text + n, sizeof text - n, ", %.4g fps", 1e7 / double(pvi->AvgTimePerFrame));
    return text;
}

std::string AudioText(const AM_MEDIA_TYPE &mt)
{
    if (mt.formattype != FORMAT_WaveFormatEx || mt.cbFormat < sizeof(WAVEFORMATEX) || !mt.pbFormat)
        return "audio of an unknown format";
    const WAVEFORMATEX *pwfx = reinterpret_cast<const WAVEFORMATEX *>(mt.pbFormat);
    char text[160];
    int n = snprintf(text, sizeof text, "%s %lu Hz, %u channel%s, %u bits",
                     pwfx->wFormatTag == WAVE_FORMAT_EXTENSIBLE ? "extensible PCM" : "PCM",
                     static_cast<unsigned long>(pwfx->nSamplesPerSec), pwfx->nChannels,
                     pwfx->nChannels == 1 ? "" : "s", pwfx->wBitsPerSample);
    if (pwfx->wFormatTag == WAVE_FORMAT_EXTENSIBLE && mt.cbFormat >= sizeof(WAVEFORMATEXTENSIBLE)) {
        const WAVEFORMATEXTENSIBLE *pe = reinterpret_cast<const WAVEFORMATEXTENSIBLE *>(pwfx);
        snprintf(text + n, sizeof text - n, ", channel mask 0x%lx",
                 static_cast<unsigned long>(pe->dwChannelMask));
    }
    return text;
}

} // namespace

std::string MediaTypeText(const AM_MEDIA_TYPE &mt)
{
    if (mt.majortype == MEDIATYPE_Video)
        return VideoText(mt);
    if (mt.majortype == MEDIATYPE_Audio)
        return AudioText(mt);
    return "an unknown media type";
}

std::string Utf8(const std::wstring &text)
{
    if (text.empty())
        return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}
