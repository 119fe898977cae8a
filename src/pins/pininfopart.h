// CPinInfoPart: a pin's private information interface as a part of the pin. Its IUnknown is
// the pin's owner's (pins count on their filter), and the two format codes every such
// interface starts with are the pin's IMovieStreamInfo answers. A media pin derives from it
// for its own interface and adds the rest.
#pragma once

#include <windows.h>

template <class TInterface, class TPin>
class CPinInfoPart : public TInterface {
public:
    explicit CPinInfoPart(TPin *pPin) : m_pPin(pPin) {}
    CPinInfoPart(const CPinInfoPart &) = delete;
    CPinInfoPart &operator=(const CPinInfoPart &) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        return m_pPin->GetOwner()->QueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return m_pPin->GetOwner()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return m_pPin->GetOwner()->Release(); }
    STDMETHODIMP GetSourceFormat(DWORD *pCode) override { return m_pPin->GetSourceFormat(pCode); }
    STDMETHODIMP GetOutputFormat(DWORD *pCode) override { return m_pPin->GetOutputFormat(pCode); }

protected:
    TPin *const m_pPin;  // the pin this is a part of
};
