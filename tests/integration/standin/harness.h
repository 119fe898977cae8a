// What every stand-in routine test needs: the media folder, ffmpeg's references, and scoped
// owners of the runtime's objects (movies, handles, worlds over DIB sections) that give them
// back however a test ends.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "quicktime/QuickTime.h"

// A file of the media folder, as a Windows path.
std::string MediaPath(const std::string &name);
std::vector<uint8_t> ReadMedia(const std::string &name);
// The streams ffprobe reported for a movie (NAME.probe), and its format's entries.
std::vector<std::map<std::string, std::string>> ProbeStreams(const std::string &movie,
                                                             std::map<std::string, std::string> *format);

class ScopedHandle {
public:
    explicit ScopedHandle(Handle h = nullptr) : m_handle(h) {}
    ~ScopedHandle() { DisposeHandle(m_handle); }
    ScopedHandle(const ScopedHandle &) = delete;
    ScopedHandle &operator=(const ScopedHandle &) = delete;
    Handle get() const { return m_handle; }
    Handle *out() { return &m_handle; }
    template <typename T>
    T *as() const { return reinterpret_cast<T *>(*m_handle); }

private:
    Handle m_handle;
};

// A movie opened the way the filter opens one: read-write first, then read-only.
class ScopedMovie {
public:
    explicit ScopedMovie(const std::string &name);
    ~ScopedMovie();
    ScopedMovie(const ScopedMovie &) = delete;
    ScopedMovie &operator=(const ScopedMovie &) = delete;
    Movie get() const { return m_movie; }
    OSErr error() const { return m_error; }
    Media media(OSType type, long index) const;

private:
    Movie m_movie = nullptr;
    OSErr m_error = noErr;
};

// A DIB section (top-down unless asked otherwise) in a memory DC, wrapped in an offscreen
// world. row(y) is the picture's row y wherever it lies in memory.
class ScopedWorld {
public:
    ScopedWorld(int width, int height, int bits, bool topDown = true);
    ~ScopedWorld();
    ScopedWorld(const ScopedWorld &) = delete;
    ScopedWorld &operator=(const ScopedWorld &) = delete;
    GWorldPtr world() const { return m_world; }
    OSErr error() const { return m_error; }
    const uint8_t *row(int y) const
    {
        return m_bits + size_t(m_topDown ? y : m_height - 1 - y) * m_stride;
    }
    uint8_t *bits() const { return m_bits; }
    size_t stride() const { return m_stride; }

private:
    HBITMAP m_bitmap = nullptr;
    HDC m_dc = nullptr;
    HGDIOBJ m_old = nullptr;
    uint8_t *m_bits = nullptr;
    size_t m_stride = 0;
    int m_height = 0;
    bool m_topDown = true;
    GWorldPtr m_world = nullptr;
    OSErr m_error = paramErr;
};

// Runs a function on a thread of its own and waits for it, failing after a timeout.
bool RunOnThread(LPTHREAD_START_ROUTINE function, void *context, DWORD timeoutMs);
