#include "harness.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include "testpaths.h"

std::string g_mediaDir;  // set by main, Linux form

std::string MediaPath(const std::string &name)
{
    return WindowsPathFromHost(g_mediaDir + "/" + name);
}

std::vector<uint8_t> ReadMedia(const std::string &name)
{
    std::ifstream in(MediaPath(name), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::map<std::string, std::string>> ProbeStreams(const std::string &movie,
                                                             std::map<std::string, std::string> *format)
{
    std::vector<std::map<std::string, std::string>> streams;
    std::ifstream in(MediaPath(movie + ".probe"));
    std::string line;
    while (std::getline(in, line)) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == "index")
            streams.emplace_back();
        if (key == "duration" && format)
            (*format)[key] = value;
        else if (!streams.empty())
            streams.back()[key] = value;
    }
    return streams;
}

ScopedMovie::ScopedMovie(const std::string &name)
{
    std::string path = MediaPath(name);
    FSSpec spec;
    NativePathNameToFSSpec(&path[0], &spec, 0);
    SInt16 ref = 0;
    m_error = OpenMovieFile(&spec, &ref, 3);
    if (m_error != noErr)
        m_error = OpenMovieFile(&spec, &ref, 1);
    if (m_error != noErr)
        return;
    SInt16 resId = 0;
    m_error = NewMovieFromFile(&m_movie, ref, &resId, nullptr, 1, nullptr);
    CloseMovieFile(ref);
}

ScopedMovie::~ScopedMovie()
{
    if (m_movie)
        DisposeMovie(m_movie);
}

Media ScopedMovie::media(OSType type, long index) const
{
    const Track track = GetMovieIndTrackType(m_movie, index, type, 1);
    return track ? GetTrackMedia(track) : nullptr;
}

ScopedWorld::ScopedWorld(int width, int height, int bits, bool topDown)
    : m_height(height), m_topDown(topDown)
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = topDown ? -height : height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = WORD(bits);
    info.bmiHeader.biCompression = BI_RGB;
    void *pixels = nullptr;
    m_bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
    if (!m_bitmap)
        return;
    m_bits = static_cast<uint8_t *>(pixels);
    m_stride = (size_t(width) * bits / 8 + 3) & ~size_t(3);
    HDC screen = GetDC(nullptr);
    m_dc = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    m_old = SelectObject(m_dc, m_bitmap);
    m_error = NewGWorldFromHBITMAP(&m_world, nullptr, nullptr, 0, m_bitmap, m_dc);
}

ScopedWorld::~ScopedWorld()
{
    if (m_world)
        DisposeGWorld(m_world);
    if (m_dc) {
        SelectObject(m_dc, m_old);
        DeleteDC(m_dc);
    }
    if (m_bitmap)
        DeleteObject(m_bitmap);
}

bool RunOnThread(LPTHREAD_START_ROUTINE function, void *context, DWORD timeoutMs)
{
    HANDLE thread = CreateThread(nullptr, 0, function, context, 0, nullptr);
    if (!thread)
        return false;
    const bool finished = WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return finished;
}
