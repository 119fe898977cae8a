#include "MediaFoundation.h"

#include <dmoreg.h>
#include <mferror.h>

#include <mutex>

bool StartMediaFoundation()
{
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] { started = SUCCEEDED(MFStartup(MF_VERSION, MFSTARTUP_NOSOCKET)); });
    return started;
}

HRESULT FindDecoderTransform(const GUID &category, const GUID &inputMajor, const GUID &inputSubtype,
                             IMFTransform **out)
{
    *out = nullptr;
    if (!StartMediaFoundation())
        return MF_E_TOPO_CODEC_NOT_FOUND;
    const MFT_REGISTER_TYPE_INFO input = {inputMajor, inputSubtype};
    IMFActivate **activates = nullptr;
    UINT32 count = 0;
    HRESULT hr = MFTEnumEx(category,
                           MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_LOCALMFT | MFT_ENUM_FLAG_SORTANDFILTER,
                           &input, nullptr, &activates, &count);
    if (FAILED(hr))
        return hr;
    hr = MF_E_TOPO_CODEC_NOT_FOUND;
    for (UINT32 i = 0; i < count; ++i) {
        if (!*out && SUCCEEDED(activates[i]->ActivateObject(IID_IMFTransform, reinterpret_cast<void **>(out))))
            hr = S_OK;
        activates[i]->Release();
    }
    CoTaskMemFree(activates);
    return hr;
}

HRESULT FindDecoderDmo(const GUID &category, const GUID &inputMajor, const GUID &inputSubtype,
                       IMediaObject **out)
{
    *out = nullptr;
    DMO_PARTIAL_MEDIATYPE input = {inputMajor, inputSubtype};
    IEnumDMO *found = nullptr;
    HRESULT hr = DMOEnum(category, 0, 1, &input, 0, nullptr, &found);
    if (FAILED(hr) || !found)
        return FAILED(hr) ? hr : E_FAIL;
    hr = MF_E_TOPO_CODEC_NOT_FOUND;
    CLSID clsid;
    while (!*out && found->Next(1, &clsid, nullptr, nullptr) == S_OK) {
        if (SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMediaObject,
                                       reinterpret_cast<void **>(out))))
            hr = S_OK;
    }
    found->Release();
    return hr;
}

SystemSubtypes SystemSubtypesOf(qte::CodecId id)
{
    // MPEG audio is named by layer 3's subtype first; the MPEG-1 payload one takes layers I and II.
    switch (id) {
    case qte::CodecId::h264:
        return {{&MFVideoFormat_H264, nullptr}};
    case qte::CodecId::hevc:
        return {{&MFVideoFormat_HEVC, nullptr}};
    case qte::CodecId::mpeg4:
        return {{&MFVideoFormat_MP4V, nullptr}};
    case qte::CodecId::aac:
        return {{&MFAudioFormat_AAC, nullptr}};
    case qte::CodecId::mpegAudio:
        return {{&MFAudioFormat_MP3, &MFAudioFormat_MPEG}};
    default:
        return {{nullptr, nullptr}};
    }
}
