// A reference on a COM object, released however the scope ends.
#pragma once

#include <unknwn.h>

template <class T> class ComPtr {
public:
    ComPtr() = default;
    explicit ComPtr(T *p) : m_p(p) {} // takes over a reference
    ComPtr(const ComPtr &o) : m_p(o.m_p) { if (m_p) m_p->AddRef(); }
    ~ComPtr() { Reset(); }
    ComPtr &operator=(const ComPtr &o)
    {
        if (o.m_p)
            o.m_p->AddRef();
        Reset();
        m_p = o.m_p;
        return *this;
    }
    void Reset()
    {
        if (m_p) {
            T *p = m_p;
            m_p = nullptr;
            p->Release();
        }
    }
    T *Get() const { return m_p; }
    T *operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    T **Out() { Reset(); return &m_p; }
    void **OutVoid() { return reinterpret_cast<void **>(Out()); }
    template <class U> HRESULT As(REFIID iid, ComPtr<U> *out) const
    {
        if (!m_p)
            return E_POINTER;
        return m_p->QueryInterface(iid, out->OutVoid());
    }

private:
    T *m_p = nullptr;
};
