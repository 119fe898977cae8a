// A QuickTime Memory Manager handle owned by a scope: unlocked and disposed when it goes.
// Callers that fill it through an out-parameter (GetSoundDescriptionExtension) use Out().
// CQuickTimePtr does the same for a pointer block.
#pragma once

#include "quicktime/QuickTime.h"

class CQuickTimeHandle {
public:
    explicit CQuickTimeHandle(Handle h) : m_h(h) {}
    ~CQuickTimeHandle()
    {
        if (m_h) {
            HUnlock(m_h);
            DisposeHandle(m_h);
        }
    }
    CQuickTimeHandle(const CQuickTimeHandle &) = delete;
    CQuickTimeHandle &operator=(const CQuickTimeHandle &) = delete;


    Handle get() const { return m_h; }
    Handle *Out() { return &m_h; }
    template <class T> T **As() const { return reinterpret_cast<T **>(m_h); }

private:
    Handle m_h;
};

// A Memory Manager pointer block owned by a scope: disposed when it goes.
class CQuickTimePtr {
public:
    explicit CQuickTimePtr(Ptr p) : m_p(p) {}
    ~CQuickTimePtr()
    {
        if (m_p)
            DisposePtr(m_p);
    }
    CQuickTimePtr(const CQuickTimePtr &) = delete;
    CQuickTimePtr &operator=(const CQuickTimePtr &) = delete;

    Ptr get() const { return m_p; }

private:
    Ptr m_p;
};
