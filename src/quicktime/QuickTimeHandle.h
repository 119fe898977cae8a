// A QuickTime Memory Manager handle owned by a scope: unlocked and disposed when it goes.
// Callers that fill it through an out-parameter (GetSoundDescriptionExtension) use Out().
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
