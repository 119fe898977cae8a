// What the runtime's decoders share of Media Foundation and COM: the platform started once per
// process, a COM apartment for the calls that make objects, and finding a decoder by the
// format it takes (MFTEnumEx over the registered transforms, DMOEnum over the DMOs), never
// from a fixed list: every system registers its own.
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mftransform.h>
#include <mediaobj.h>

#include "codecs.h"

// Starts Media Foundation for the rest of the process; false when it is not there.
bool StartMediaFoundation();

// The calling thread in the multithreaded apartment for the scope, unless it is in one already.
class ComScope {
public:
    ComScope() : m_hr(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComScope()
    {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }
    ComScope(const ComScope &) = delete;
    ComScope &operator=(const ComScope &) = delete;

private:
    HRESULT m_hr;
};

// A COM reference released when it goes.
template <class T> class ComRef {
public:
    ComRef() = default;
    ~ComRef() { Reset(); }
    ComRef(const ComRef &) = delete;
    ComRef &operator=(const ComRef &) = delete;
    ComRef(ComRef &&other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
    ComRef &operator=(ComRef &&other) noexcept
    {
        if (this != &other) {
            Reset();
            m_p = other.m_p;
            other.m_p = nullptr;
        }
        return *this;
    }
    void Reset()
    {
        if (m_p)
            m_p->Release();
        m_p = nullptr;
    }
    T *operator->() const { return m_p; }
    T *Get() const { return m_p; }
    T **Out()
    {
        Reset();
        return &m_p;
    }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T *m_p = nullptr;
};

// The input subtypes under which the system's decoders take a codec, in the order to try them;
// none (the first null) for a codec this runtime does not give to the system. One table for
// video and sound.
struct SystemSubtypes {
    const GUID *subtypes[2];
};
SystemSubtypes SystemSubtypesOf(qte::CodecId id);

// The first synchronous decoder transform of `category` that takes `inputSubtype` of
// `inputMajor`, activated; E_NOINTERFACE (MF_E_TOPO_CODEC_NOT_FOUND) when there is none.
HRESULT FindDecoderTransform(const GUID &category, const GUID &inputMajor, const GUID &inputSubtype,
                             IMFTransform **out);

// The first DMO of `category` that takes `inputSubtype` of `inputMajor`, created.
HRESULT FindDecoderDmo(const GUID &category, const GUID &inputMajor, const GUID &inputSubtype,
                       IMediaObject **out);
